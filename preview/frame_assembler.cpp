#include "preview/frame_assembler.h"

#include <algorithm>
#include <cstring>
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

}  // namespace

FrameAssembler::FrameAssembler(int width, int height)
    : width(width),
      height(height),
      frame_bytes(static_cast<size_t>(width > 0 ? width : 0) * (height > 0 ? height : 0) * 4) {}

void FrameAssembler::handle_datagram(const uint8_t* data, int length) {
    handle_datagram(data, length, Clock::now());
}

void FrameAssembler::handle_datagram(const uint8_t* data, int length, Clock::time_point now) {
    if (length < static_cast<int>(FRAGMENT_HEADER_SIZE)) {
        return;
    }
    const std::span<const uint8_t> datagram(data, static_cast<size_t>(length));
    const protocol::FragmentHeader header = *protocol::read_fragment_header(datagram);
    if (!protocol::preview_frame_id_acceptable(header.frame_id, last_completed_id)) {
        return;
    }

    PendingFrame* frame = find_or_insert(header.frame_id);
    if (frame == nullptr) {
        return;
    }
    if (frame->fragment_count == 0) {
        frame->fragment_count = header.fragment_count;
        frame->pixels.assign(frame_bytes, 0);
        frame->received_mask.assign(header.fragment_count, false);
        frame->first_seen = now;
    }

    if (protocol::fragment_index_acceptable(header.fragment_index, frame->fragment_count) &&
        !frame->received_mask[header.fragment_index]) {
        const size_t offset = size_t{header.fragment_index} * FRAGMENT_PAYLOAD;
        const size_t room = offset < frame->pixels.size() ? frame->pixels.size() - offset : 0;
        const size_t copy = protocol::preview_payload_length(header, datagram.size(), room);
        if (copy > 0) {
            std::memcpy(frame->pixels.data() + offset, data + FRAGMENT_HEADER_SIZE, copy);
            frame->received_mask[header.fragment_index] = true;
            ++frame->received_count;
        }
    }

    if (is_complete(*frame)) {
        complete(header.frame_id, *frame);
    }
    expire(now);
}

void FrameAssembler::release_frame() {
    latest_frame = {};
}

PendingFrame* FrameAssembler::find_or_insert(uint32_t frame_id) {
    if (auto found = pending.find(frame_id); found != pending.end()) {
        return &found->second;
    }
    if (pending.size() >= MAX_PENDING_FRAMES) {
        auto oldest =
            std::min_element(pending.begin(), pending.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
        if (oldest->first > frame_id) {
            return nullptr;  // the newcomer would be the oldest of all
        }
        if (!is_complete(oldest->second)) {
            ++totals.frames_expired;
        }
        pending.erase(oldest);
    }
    return &pending[frame_id];
}

void FrameAssembler::complete(uint32_t frame_id, PendingFrame& frame) {
    latest_frame = std::move(frame.pixels);
    frame.pixels = {};
    last_completed_id = frame_id;
    ++totals.frames_completed;
    if (pending.size() > PRUNE_THRESHOLD) {
        prune_behind_newest();
    }
}

void FrameAssembler::prune_behind_newest() {
    // Below PRUNE_DISTANCE the bound would wrap and erase the newer frames too.
    if (last_completed_id < PRUNE_DISTANCE) {
        return;
    }
    const uint32_t bound = last_completed_id - PRUNE_DISTANCE;
    std::erase_if(pending, [&](const auto& entry) {
        if (entry.first >= bound) {
            return false;
        }
        if (!is_complete(entry.second)) {
            ++totals.frames_expired;
        }
        return true;
    });
}

void FrameAssembler::expire(Clock::time_point now) {
    std::erase_if(pending, [&](const auto& entry) {
        if (now - entry.second.first_seen <= FRAME_EXPIRY) {
            return false;
        }
        if (!is_complete(entry.second)) {
            ++totals.frames_expired;
        }
        return true;
    });
}

}  // namespace nimbar::preview
