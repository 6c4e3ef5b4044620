#include "receiver/frame_slot.h"

#include <cstring>

#include "protocol/media_datagram.h"

namespace nimbar::client {

using protocol::FRAGMENT_PAYLOAD;

size_t start_slot(FrameSlot& slot, uint16_t fragment_count,
                  std::chrono::steady_clock::time_point now) {
    slot.fragment_count = fragment_count;
    slot.received_count = 0;
    slot.buffer.assign(size_t{fragment_count} * FRAGMENT_PAYLOAD, 0);
    slot.received_mask.assign(fragment_count, false);
    slot.fragment_sizes.assign(fragment_count, 0);
    slot.first_seen = now;
    return slot.buffer.size();
}

bool store_fragment(FrameSlot& slot, uint16_t fragment_index, std::span<const uint8_t> payload) {
    if (fragment_index >= slot.fragment_count || slot.received_mask[fragment_index] ||
        payload.empty() || payload.size() > FRAGMENT_PAYLOAD) {
        return false;
    }
    std::memcpy(slot.buffer.data() + size_t{fragment_index} * FRAGMENT_PAYLOAD, payload.data(),
                payload.size());
    slot.received_mask[fragment_index] = true;
    slot.fragment_sizes[fragment_index] = static_cast<uint16_t>(payload.size());
    ++slot.received_count;
    return true;
}

bool slot_complete(const FrameSlot& slot) {
    return slot.fragment_count > 0 && slot.received_count == slot.fragment_count;
}

std::vector<uint8_t> join_fragments(const FrameSlot& slot, size_t& length) {
    length = 0;
    for (const uint16_t size : slot.fragment_sizes) {
        length += size;
    }
    std::vector<uint8_t> frame(length + DECODER_INPUT_PADDING, 0);
    size_t at = 0;
    for (size_t i = 0; i < slot.fragment_sizes.size(); ++i) {
        std::memcpy(frame.data() + at, slot.buffer.data() + i * FRAGMENT_PAYLOAD,
                    slot.fragment_sizes[i]);
        at += slot.fragment_sizes[i];
    }
    return frame;
}

}  // namespace nimbar::client
