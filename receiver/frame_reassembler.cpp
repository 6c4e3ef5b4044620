#include "receiver/frame_reassembler.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <tuple>
#include <utility>

#include "protocol/media_datagram.h"

namespace nimbar::client {

namespace {

using protocol::Completion;
using protocol::FrameIdVerdict;

// A new frame finding this many slots, or this many bytes in them, starts a purge: a flood of
// distinct frame ids must not hold more than 60 frames of up to 1.4 MB each.
constexpr size_t PURGE_TRIGGER_SLOTS = 60;
constexpr uint64_t PURGE_TRIGGER_BYTES = 50ull * 1024 * 1024;
// A purge removes slots until no more than this many remain.
constexpr size_t PURGE_TARGET_SLOTS = 30;
// A frame still incomplete this long after its first fragment is given up: by then several newer
// frames have come, and only a keyframe can repair the stream.
constexpr auto SLOT_TIMEOUT = std::chrono::milliseconds(250);
// Held frames older than this are not worth decoding when their numbering is confirmed: a run of
// three frames of a one frame a second stream, with room for jitter.
constexpr auto HELD_FRAME_AGE = std::chrono::seconds(3);

}  // namespace

FragmentResult FrameReassembler::add(std::span<const uint8_t> datagram, protocol::Sender from,
                                     Clock::time_point now) {
    FragmentResult result;
    const auto header = protocol::read_fragment_header(datagram);
    if (!header || !protocol::video_fragment_acceptable(*header, datagram.size()) ||
        !protocol::fragment_index_acceptable(header->fragment_index, header->fragment_count)) {
        result.malformed = true;
        return result;
    }
    const auto verdict = senders.check(from, header->frame_id, now);
    if (verdict == FrameIdVerdict::Drop) {
        return result;  // stale: its frame, or a newer one, is done with
    }
    const SlotKey key{from, header->frame_id};
    const auto existing = slots.find(key);
    if (existing != slots.end() && existing->second.fragment_count != header->fragment_count) {
        result.malformed = true;  // the frame's own fragments all carry its count
        return result;
    }
    if (existing == slots.end() &&
        (slots.size() >= PURGE_TRIGGER_SLOTS || slot_bytes >= PURGE_TRIGGER_BYTES)) {
        const uint32_t purged = purge(now);
        result.frames_lost += purged;
        lost_since_last_completed += purged;
        if (purged > 0) {
            note_loss(now);
        }
    }
    FrameSlot& slot = slots[key];
    if (slot.fragment_count == 0) {
        slot_bytes += start_slot(slot, header->fragment_count, now);
    }
    slot.candidate = verdict == FrameIdVerdict::Candidate;  // as the stream stands now
    if (!store_fragment(slot, header->fragment_index,
                        datagram.subspan(protocol::FRAGMENT_HEADER_SIZE, header->payload_size))) {
        return result;  // a duplicate
    }
    result.stored = true;
    if (slot_complete(slot)) {
        complete_frame(key, slot, now, result);
    }

    // Frames given up now are newer than anything completed: the next completed frame follows them.
    const FragmentResult timed_out = sweep(now);
    result.frames_lost += timed_out.frames_lost;
    result.frames_timed_out = timed_out.frames_timed_out;
    return result;
}

FragmentResult FrameReassembler::sweep(Clock::time_point now) {
    FragmentResult result;
    result.frames_timed_out = time_out(now);
    if (result.frames_timed_out > 0) {
        result.frames_lost = result.frames_timed_out;
        lost_since_last_completed += result.frames_timed_out;
        note_loss(now);
    }
    return result;
}

void FrameReassembler::complete_frame(const SlotKey& key, FrameSlot& slot, Clock::time_point now,
                                      FragmentResult& result) {
    CompressedFrame frame;
    frame.bytes = join_fragments(slot, frame.length);
    frame.frame_id = key.frame_id;
    frame.set_traits(frame_traits(codec, {frame.bytes.data(), frame.length}));
    frame.completed_at = now;
    const bool first_of_stream = !senders.stream_sender();
    switch (senders.frame_completed(key.sender, key.frame_id, frame.keyframe, now)) {
        case Completion::Held:
            slot_bytes -= slot.buffer.size();
            slots.erase(key);
            hold(key.sender, std::move(frame));
            result.held_back = true;
            return;
        case Completion::Switched:
            slot_bytes -= slot.buffer.size();
            slots.erase(key);
            start_over(key.sender, std::move(frame), now, result);
            return;
        case Completion::Stream:
            break;
    }
    if (first_of_stream) {
        classify_slots(now);  // other senders' frames under way are not the stream's after all
    }
    const uint32_t overtaken = erase_up_to(key, now);
    result.frames_lost += overtaken;
    // Ids between the previous completed frame and this one that were not given up already:
    // frames lost with every fragment (a one-fragment frame of a still screen often is).
    const uint32_t skipped = last_completed ? key.frame_id - *last_completed - 1 : 0;
    const uint32_t given_up = lost_since_last_completed + overtaken;
    if (skipped > given_up) {
        result.frames_lost += skipped - given_up;
    }
    if (result.frames_lost > 0 || skipped > 0) {
        note_loss(now);
    }
    last_completed = key.frame_id;
    lost_since_last_completed = 0;
    if (loss_since_last_completed) {
        frame.mark_loss(*loss_since_last_completed);
        loss_since_last_completed.reset();
    }
    frame.keyframe_lost_at = keyframe_lost_since_last_completed;
    keyframe_lost_since_last_completed.reset();
    result.completed.push_back(std::move(frame));
}

void FrameReassembler::start_over(protocol::Sender sender, CompressedFrame&& frame,
                                  Clock::time_point now, FragmentResult& result) {
    // What is left of the old stream is lost, and nothing before the new numbering is known to the
    // decoder: its first frame follows a loss, and so does each after a gap in its ids.
    result.frames_lost += erase_stream(now);
    classify_slots(now);
    std::optional<uint32_t> previous;
    const auto hand_on = [&](CompressedFrame&& next) {
        if (!previous || next.frame_id != *previous + 1) {
            next.mark_loss(now);
        }
        previous = next.frame_id;
        result.completed.push_back(std::move(next));
    };
    for (auto entry = held.begin(); entry != held.end();) {
        if (entry->sender != sender) {
            ++entry;
            continue;
        }
        if (now - entry->frame.completed_at <= HELD_FRAME_AGE &&
            entry->frame.frame_id < frame.frame_id) {
            hand_on(std::move(entry->frame));
        }
        entry = held.erase(entry);
    }
    last_completed = frame.frame_id;
    hand_on(std::move(frame));
    lost_since_last_completed = 0;
    loss_since_last_completed.reset();
    keyframe_lost_since_last_completed.reset();
    result.restarted = true;
}

void FrameReassembler::hold(protocol::Sender sender, CompressedFrame&& frame) {
    // A sender that numbers afresh starts a new numbering: what it sent before is not its past.
    std::erase_if(held, [&](const HeldFrame& entry) {
        return entry.sender == sender && entry.frame.frame_id >= frame.frame_id;
    });
    held.push_back({sender, std::move(frame)});
    while (held.size() > HELD_FRAMES) {
        held.pop_front();
    }
}

void FrameReassembler::classify_slots(Clock::time_point now) {
    for (auto& [key, slot] : slots) {
        slot.candidate =
            senders.classify(key.sender, key.frame_id, now) == FrameIdVerdict::Candidate;
    }
}

void FrameReassembler::clear() {
    slots.clear();
    held.clear();
    last_completed.reset();
    lost_since_last_completed = 0;
    slot_bytes = 0;
    loss_since_last_completed.reset();
    keyframe_lost_since_last_completed.reset();
}

void FrameReassembler::note_lost_slot(const FrameSlot& slot, Clock::time_point now) {
    // A keyframe lost on its way: one of several fragments, whose first arrived and could begin a
    // keyframe. (A whole frame that only claims to be one says nothing.)
    if (!keyframe_lost_since_last_completed && slot.fragment_count > 1 && slot.received_mask[0] &&
        is_keyframe(codec, {slot.buffer.data(), slot.fragment_sizes[0]})) {
        keyframe_lost_since_last_completed = now;
    }
}

void FrameReassembler::note_loss(Clock::time_point now) {
    if (!loss_since_last_completed) {
        loss_since_last_completed = now;
    }
}

uint32_t FrameReassembler::purge(Clock::time_point now) {
    // Other numberings' frames first, then the farthest from the newest completed frame: far-off
    // ids are long given up, while the frame the stream is completing sits just past it.
    const int64_t newest = last_completed ? int64_t{*last_completed} : 0;
    std::vector<std::tuple<bool, int64_t, SlotKey>> by_distance;
    by_distance.reserve(slots.size());
    for (const auto& [key, slot] : slots) {
        by_distance.emplace_back(slot.candidate, std::abs(int64_t{key.frame_id} - newest), key);
    }
    const size_t excess = slots.size() - std::min(slots.size(), PURGE_TARGET_SLOTS);
    const auto farther = [](const auto& a, const auto& b) {
        return std::tie(std::get<0>(a), std::get<1>(a)) > std::tie(std::get<0>(b), std::get<1>(b));
    };
    std::partial_sort(by_distance.begin(), by_distance.begin() + static_cast<ptrdiff_t>(excess),
                      by_distance.end(), farther);
    uint32_t lost = 0;
    for (size_t i = 0; i < excess; ++i) {
        const auto slot = slots.find(std::get<2>(by_distance[i]));
        if (!slot->second.candidate) {
            note_lost_slot(slot->second, now);
            ++lost;  // a complete frame never stays in a slot
        }
        slot_bytes -= slot->second.buffer.size();
        slots.erase(slot);
    }
    return lost;
}

uint32_t FrameReassembler::erase_up_to(const SlotKey& completed, Clock::time_point now) {
    uint32_t lost = 0;
    std::erase_if(slots, [&](const auto& entry) {
        const SlotKey& key = entry.first;
        if (key.sender != completed.sender || key.frame_id > completed.frame_id ||
            entry.second.candidate) {
            return false;
        }
        slot_bytes -= entry.second.buffer.size();
        if (key.frame_id < completed.frame_id) {
            note_lost_slot(entry.second, now);
            ++lost;
        }
        return true;
    });
    return lost;
}

uint32_t FrameReassembler::erase_stream(Clock::time_point now) {
    uint32_t lost = 0;
    std::erase_if(slots, [&](const auto& entry) {
        if (entry.second.candidate) {
            return false;
        }
        slot_bytes -= entry.second.buffer.size();
        note_lost_slot(entry.second, now);
        ++lost;
        return true;
    });
    return lost;
}

uint32_t FrameReassembler::time_out(Clock::time_point now) {
    uint32_t dropped = 0;
    std::erase_if(slots, [&](const auto& entry) {
        const FrameSlot& slot = entry.second;
        if (now - slot.first_seen <= SLOT_TIMEOUT) {
            return false;
        }
        const int missing = slot.fragment_count - slot.received_count;
        if (missing > 0 && !slot.candidate) {
            const float loss =
                static_cast<float>(missing) * 100.0f / static_cast<float>(slot.fragment_count);
            fprintf(stderr,
                    "[VideoReceiver] Dropped frame %u: %d/%d fragments received (%.1f%% loss)\n",
                    entry.first.frame_id, static_cast<int>(slot.received_count),
                    static_cast<int>(slot.fragment_count), static_cast<double>(loss));
            note_lost_slot(slot, now);
            ++dropped;
        }
        slot_bytes -= slot.buffer.size();
        return true;
    });
    return dropped;
}

}  // namespace nimbar::client
