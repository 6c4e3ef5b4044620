#include "receiver/frame_reassembler.h"

#include <algorithm>
#include <cstdio>

#include "protocol/media_datagram.h"

namespace nimbar::client {

namespace {

// A new frame finding this many slots, or this many bytes in them, starts a purge: a flood of
// distinct frame ids must not hold more than 60 frames of up to 1.4 MB each.
constexpr size_t PURGE_TRIGGER_SLOTS = 60;
constexpr uint64_t PURGE_TRIGGER_BYTES = 50ull * 1024 * 1024;
// A purge removes slots until no more than this many remain.
constexpr size_t PURGE_TARGET_SLOTS = 30;
// A frame still incomplete this long after its first fragment is given up: by then several newer
// frames have come, and only a keyframe can repair the stream.
constexpr auto SLOT_TIMEOUT = std::chrono::milliseconds(250);

}  // namespace

FragmentResult FrameReassembler::add(std::span<const uint8_t> datagram, Clock::time_point now) {
    FragmentResult result;
    const auto header = protocol::read_fragment_header(datagram);
    if (!header || !protocol::video_fragment_acceptable(*header, datagram.size())) {
        return result;
    }
    switch (ids.check(header->frame_id, now)) {
        case protocol::FrameIdVerdict::Drop:
            return result;  // stale (its frame, or a newer one, is on its way), or far ahead
        case protocol::FrameIdVerdict::Restart:
            result.frames_lost += erase_up_to(UINT32_MAX, now);
            ids.restart(header->frame_id, now);
            last_completed.reset();
            lost_since_last_completed = 0;
            note_loss(now);
            break;
        case protocol::FrameIdVerdict::Take:
            break;
    }
    if (!slots.contains(header->frame_id) &&
        (slots.size() >= PURGE_TRIGGER_SLOTS || held_bytes >= PURGE_TRIGGER_BYTES)) {
        const uint32_t purged = purge(now);
        result.frames_lost += purged;
        lost_since_last_completed += purged;
        note_loss(now);
    }
    FrameSlot& slot = slots[header->frame_id];
    if (slot.fragment_count == 0) {
        held_bytes += start_slot(slot, header->fragment_count, now);
    }
    if (!protocol::fragment_index_acceptable(header->fragment_index, slot.fragment_count) ||
        slot.received_mask[header->fragment_index]) {
        return result;
    }
    store_fragment(slot, header->fragment_index,
                   datagram.subspan(protocol::FRAGMENT_HEADER_SIZE, header->payload_size));
    result.stored = true;

    if (slot_complete(slot)) {
        CompressedFrame frame;
        frame.bytes = join_fragments(slot, frame.length);
        frame.frame_id = header->frame_id;
        frame.keyframe = is_keyframe(codec, {frame.bytes.data(), frame.length});
        frame.completed_at = now;
        ids.completed(header->frame_id, now);
        const uint32_t overtaken = erase_up_to(header->frame_id, now);
        result.frames_lost += overtaken;
        // Ids between the previous completed frame and this one that were not given up already:
        // frames lost with every fragment (a one-fragment frame of a still screen often is).
        const uint32_t skipped = last_completed ? header->frame_id - *last_completed - 1 : 0;
        const uint32_t given_up = lost_since_last_completed + overtaken;
        if (skipped > given_up) {
            result.frames_lost += skipped - given_up;
        }
        if (result.frames_lost > 0 || skipped > 0) {
            note_loss(now);
        }
        last_completed = header->frame_id;
        lost_since_last_completed = 0;
        if (loss_since_last_completed) {
            frame.mark_loss(*loss_since_last_completed);
            loss_since_last_completed.reset();
        }
        frame.keyframe_lost_at = keyframe_lost_since_last_completed;
        keyframe_lost_since_last_completed.reset();
        result.completed = std::move(frame);
    }

    // Frames given up now are newer than anything completed: the next completed frame follows them.
    result.frames_timed_out = sweep(now);
    if (result.frames_timed_out > 0) {
        result.frames_lost += result.frames_timed_out;
        lost_since_last_completed += result.frames_timed_out;
        note_loss(now);
    }
    return result;
}

void FrameReassembler::clear() {
    slots.clear();
    last_completed.reset();
    lost_since_last_completed = 0;
    held_bytes = 0;
    loss_since_last_completed.reset();
    keyframe_lost_since_last_completed.reset();
}

void FrameReassembler::note_lost_slot(const FrameSlot& slot, Clock::time_point now) {
    if (!keyframe_lost_since_last_completed && slot.fragment_count > 0 && slot.received_mask[0] &&
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
    uint32_t lost = 0;
    while (slots.size() > PURGE_TARGET_SLOTS) {
        const auto first = slots.begin();
        note_lost_slot(first->second, now);
        held_bytes -= first->second.buffer.size();
        slots.erase(first);
        ++lost;  // a complete frame never stays in a slot
    }
    return lost;
}

uint32_t FrameReassembler::erase_up_to(uint32_t frame_id, Clock::time_point now) {
    uint32_t lost = 0;
    std::erase_if(slots, [&](const auto& entry) {
        if (entry.first > frame_id) {
            return false;
        }
        held_bytes -= entry.second.buffer.size();
        if (entry.first < frame_id) {
            note_lost_slot(entry.second, now);
            ++lost;
        }
        return true;
    });
    return lost;
}

uint32_t FrameReassembler::sweep(Clock::time_point now) {
    uint32_t dropped = 0;
    std::erase_if(slots, [&](const auto& entry) {
        const FrameSlot& slot = entry.second;
        if (now - slot.first_seen <= SLOT_TIMEOUT) {
            return false;
        }
        const int missing = slot.fragment_count - slot.received_count;
        if (missing > 0) {
            const float loss =
                static_cast<float>(missing) * 100.0f / static_cast<float>(slot.fragment_count);
            fprintf(stderr,
                    "[VideoReceiver] Dropped frame %u: %d/%d fragments received (%.1f%% loss)\n",
                    entry.first, static_cast<int>(slot.received_count),
                    static_cast<int>(slot.fragment_count), static_cast<double>(loss));
            note_lost_slot(slot, now);
            ++dropped;
        }
        held_bytes -= slot.buffer.size();
        return true;
    });
    return dropped;
}

}  // namespace nimbar::client
