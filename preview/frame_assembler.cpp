#include "preview/frame_assembler.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>

#include "protocol/media_datagram.h"

namespace nimbar::preview {

namespace {

using protocol::FRAGMENT_HEADER_SIZE;
using protocol::FRAGMENT_PAYLOAD;

// A frame still incomplete this long after its first fragment is given up: by then the host has
// sent several newer frames, and the preview shows only the newest.
constexpr auto FRAME_EXPIRY = std::chrono::milliseconds(100);
// At a completion, records more than PRUNE_DISTANCE ids behind it are erased once more than
// PRUNE_THRESHOLD records are held.
constexpr size_t PRUNE_THRESHOLD = 10;
constexpr uint32_t PRUNE_DISTANCE = 5;
// Most frames held at once. Each holds a whole frame buffer, so a burst of fragments naming new
// frame ids must not make one each; a host at 150 frames/s has at most 15 frames within the
// 100 ms expiry.
constexpr size_t MAX_PENDING_FRAMES = 16;
// Frame buffers kept for reuse. Frames that follow each other closely have three in use in turn:
// one waiting to be shown, one completing, one starting.
constexpr size_t SPARE_FRAMES = 3;

// Zeroes [from, to) of the frame, clipped to its size.
void zero_range(std::vector<uint8_t>& pixels, size_t from, size_t to) {
    to = std::min(to, pixels.size());
    if (from < to) {
        std::memset(pixels.data() + from, 0, to - from);
    }
}

// Makes the completed frame read as if its buffer had been zero-filled before the fragments were
// written: every byte that no fragment covered becomes zero. Each fragment covers a prefix of its
// own 1400-byte slot and, when longer, of the slots after it, so the covered part of each slot is
// a prefix; only what lies past it is cleared.
void clear_uncovered(PendingFrame& frame) {
    for (size_t slot = 0; slot < frame.covered.size(); ++slot) {
        zero_range(frame.pixels, slot * FRAGMENT_PAYLOAD + frame.covered[slot],
                   (slot + 1) * FRAGMENT_PAYLOAD);
    }
}

// Notes that `length` bytes from the start of `slot` were written.
void cover(PendingFrame& frame, size_t slot, size_t length) {
    for (; length > 0 && slot < frame.covered.size(); ++slot) {
        const auto here = static_cast<uint16_t>(std::min(length, FRAGMENT_PAYLOAD));
        frame.covered[slot] = std::max(frame.covered[slot], here);
        length -= here;
    }
}

}  // namespace

FrameAssembler::FrameAssembler(int width, int height)
    : frame_bytes(static_cast<size_t>(width > 0 ? width : 0) * (height > 0 ? height : 0) * 4),
      frame_fragments((frame_bytes + FRAGMENT_PAYLOAD - 1) / FRAGMENT_PAYLOAD) {}

void FrameAssembler::handle_datagram(const uint8_t* data, int length, protocol::Sender from,
                                     Clock::time_point now) {
    if (length < static_cast<int>(FRAGMENT_HEADER_SIZE)) {
        return;
    }
    const std::span<const uint8_t> datagram(data, static_cast<size_t>(length));
    const protocol::FragmentHeader header = *protocol::read_fragment_header(datagram);
    // A frame of nothing would show as a black picture; a fragment outside its own frame, or one
    // counting its frame otherwise than its frame does, says nothing true of it.
    if (header.frame_id == 0) {
        return;  // frames are numbered from 1
    }
    const protocol::SenderFrame key{from, header.frame_id};
    const auto known = pending.find(key);
    if (header.fragment_count == 0 ||
        !protocol::fragment_index_acceptable(header.fragment_index, header.fragment_count) ||
        (known != pending.end() && known->second.fragment_count != header.fragment_count)) {
        ++totals.fragments_malformed;
        return;
    }
    const auto verdict = senders.check(from, header.frame_id, now);
    if (verdict == protocol::FrameIdVerdict::Drop) {
        return;
    }
    const bool candidate = verdict == protocol::FrameIdVerdict::Candidate;

    PendingFrame* frame = find_or_insert(key, candidate);
    if (frame == nullptr) {
        return;
    }
    if (frame->fragment_count == 0 && !start_frame(*frame, header.fragment_count, now)) {
        pending.erase(key);
        return;
    }
    frame->candidate = candidate;  // as the stream stands now

    if (!frame->received_mask[header.fragment_index]) {
        const size_t offset = size_t{header.fragment_index} * FRAGMENT_PAYLOAD;
        const size_t room = offset < frame->pixels.size() ? frame->pixels.size() - offset : 0;
        const size_t copy = protocol::preview_payload_length(header, datagram.size(), room);
        if (copy > 0) {
            std::memcpy(frame->pixels.data() + offset, data + FRAGMENT_HEADER_SIZE, copy);
            cover(*frame, header.fragment_index, copy);
            frame->received_mask[header.fragment_index] = true;
            ++frame->received_count;
        }
    }

    if (is_complete(*frame)) {
        complete(key, *frame, now);
    }
    expire(now);
}

void FrameAssembler::release_frame() {
    keep_spare(std::move(latest_frame));
    latest_frame = std::vector<uint8_t>();
}

PendingFrame* FrameAssembler::find_or_insert(const protocol::SenderFrame& key, bool candidate) {
    if (auto found = pending.find(key); found != pending.end()) {
        return &found->second;
    }
    if (pending.size() >= MAX_PENDING_FRAMES) {
        // Other numberings' frames go first, then the farthest from the newest completed one:
        // far-off ids are long given up, while the frame the stream is completing sits just past
        // it.
        const auto rank = [&](bool other, uint32_t id) {
            return std::pair(other, std::abs(int64_t{id} - int64_t{last_completed_id}));
        };
        auto farthest =
            std::max_element(pending.begin(), pending.end(), [&](const auto& a, const auto& b) {
                return rank(a.second.candidate, a.first.frame_id) <
                       rank(b.second.candidate, b.first.frame_id);
            });
        if (rank(farthest->second.candidate, farthest->first.frame_id) <=
            rank(candidate, key.frame_id)) {
            return nullptr;  // the newcomer would be the first to go
        }
        erase_record(farthest);
    }
    return &pending[key];
}

bool FrameAssembler::start_frame(PendingFrame& frame, uint16_t fragment_count,
                                 Clock::time_point now) {
    try {
        if (!spare_pixels.empty()) {
            frame.pixels = std::move(spare_pixels.back());
            spare_pixels.pop_back();
        } else {
            frame.pixels.assign(frame_bytes, 0);
        }
        frame.covered.assign((frame_bytes + FRAGMENT_PAYLOAD - 1) / FRAGMENT_PAYLOAD, 0);
    } catch (const std::bad_alloc&) {
        return false;  // no memory for another frame now: drop the fragment
    }
    frame.fragment_count = fragment_count;
    frame.received_mask.assign(fragment_count, false);
    frame.first_seen = now;
    return true;
}

size_t FrameAssembler::preallocate() {
    try {
        while (spare_pixels.size() < SPARE_FRAMES) {
            spare_pixels.emplace_back(frame_bytes, uint8_t{0});
        }
    } catch (const std::bad_alloc&) {
    }
    return spare_pixels.size();
}

void FrameAssembler::complete(const protocol::SenderFrame& key, PendingFrame& frame,
                              Clock::time_point now) {
    const bool first_of_stream = !senders.stream_sender();
    switch (senders.frame_completed(key.sender, key.frame_id,
                                    frame.fragment_count == frame_fragments, now)) {
        case protocol::Completion::Held:
            erase_record(pending.find(key));  // not (yet) a numbering the stream follows
            return;
        case protocol::Completion::Switched:
            start_over(now);
            ++totals.restarts;
            break;
        case protocol::Completion::Stream:
            if (first_of_stream) {
                classify_records(now);  // other senders' frames under way are not the stream's
            }
            break;
    }
    const uint32_t frame_id = key.frame_id;
    clear_uncovered(frame);
    keep_spare(std::move(latest_frame));
    latest_frame = std::move(frame.pixels);
    frame.pixels = {};
    last_completed_id = frame_id;
    ++totals.frames_completed;
    if (pending.size() > PRUNE_THRESHOLD) {
        prune_behind_newest();
    }
}

void FrameAssembler::start_over(Clock::time_point now) {
    for (auto record = pending.begin(); record != pending.end();) {
        record = record->second.candidate ? std::next(record) : erase_record(record);
    }
    classify_records(now);
}

void FrameAssembler::classify_records(Clock::time_point now) {
    for (auto& [key, record] : pending) {
        record.candidate =
            senders.classify(key.sender, key.frame_id, now) == protocol::FrameIdVerdict::Candidate;
    }
}

void FrameAssembler::prune_behind_newest() {
    // Below PRUNE_DISTANCE the bound would wrap and erase the newer frames too.
    if (last_completed_id < PRUNE_DISTANCE) {
        return;
    }
    const uint32_t bound = last_completed_id - PRUNE_DISTANCE;
    for (auto record = pending.begin(); record != pending.end();) {
        const bool behind = record->first.frame_id < bound && !record->second.candidate;
        record = behind ? erase_record(record) : std::next(record);
    }
}

void FrameAssembler::expire(Clock::time_point now) {
    for (auto record = pending.begin(); record != pending.end();) {
        record = now - record->second.first_seen > FRAME_EXPIRY ? erase_record(record)
                                                                : std::next(record);
    }
}

FrameAssembler::Records::iterator FrameAssembler::erase_record(Records::iterator record) {
    if (!is_complete(record->second)) {
        ++totals.frames_expired;
    }
    keep_spare(std::move(record->second.pixels));
    return pending.erase(record);
}

void FrameAssembler::keep_spare(std::vector<uint8_t>&& pixels) {
    if (spare_pixels.size() < SPARE_FRAMES && pixels.size() == frame_bytes) {
        spare_pixels.push_back(std::move(pixels));
    }
}

}  // namespace nimbar::preview
