#pragma once

// One compressed video frame under reassembly, and the operations on it that need no lock and no
// receiver: creating its buffers, storing a fragment, joining the stored payloads into the frame
// the decoder takes.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "receiver/compressed_frame.h"

namespace nimbar::client {

struct FrameSlot {
    uint16_t fragment_count = 0;  // from the frame's first fragment; 0 only in a fresh slot
    uint16_t received_count = 0;  // distinct fragments stored
    std::vector<uint8_t> buffer;  // fragment_count * 1400 bytes; fragment i at i * 1400
    std::vector<bool> received_mask;
    std::vector<uint16_t> fragment_sizes;  // payload_size of each stored fragment, 0 until stored
    std::chrono::steady_clock::time_point first_seen{};
    // Of another numbering than the stream's (protocol::FrameIdWindow): counts only if confirmed,
    // and goes without a word if not.
    bool candidate = false;
};

// Fills in a fresh slot for a frame of `fragment_count` fragments first seen at `now`. Returns the
// bytes its buffer holds.
size_t start_slot(FrameSlot& slot, uint16_t fragment_count,
                  std::chrono::steady_clock::time_point now);

// Stores a fragment's payload. False, storing nothing, when the index is outside the frame or the
// fragment is already stored. The payload must be 1 to 1400 bytes.
bool store_fragment(FrameSlot& slot, uint16_t fragment_index, std::span<const uint8_t> payload);

bool slot_complete(const FrameSlot& slot);

// The complete frame: every fragment's payload back to back in index order, followed by
// DECODER_INPUT_PADDING zero bytes. `length` receives the frame's own length.
std::vector<uint8_t> join_fragments(const FrameSlot& slot, size_t& length);

}  // namespace nimbar::client
