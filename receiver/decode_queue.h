#pragma once

// The ring of complete frames between the main thread and the decode thread. It never blocks the
// main thread: when all DECODE_QUEUE_SLOTS frames wait, a new frame overwrites the oldest. The
// caller holds the receiver's queue_mutex around every call.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace nimbar::client {

// Frames that may wait for the decoder. A decoder this far behind shows a stale picture anyway;
// beyond it, the oldest waiting frame is given up.
inline constexpr size_t DECODE_QUEUE_SLOTS = 6;

struct QueuedFrame {
    std::vector<uint8_t> bytes;  // the frame, then DECODER_INPUT_PADDING zero bytes
    size_t length = 0;           // the frame's own length
    std::chrono::steady_clock::time_point completed_at{};  // arrival of its last fragment
};

// Puts `frame` at `write`, growing `queue` to DECODE_QUEUE_SLOTS entries on first use. True when
// the queue was full and its oldest frame was overwritten.
bool push_decode_frame(std::vector<QueuedFrame>& queue, uint64_t& read, uint64_t& write,
                       uint64_t& count, QueuedFrame&& frame);

// Moves every waiting frame into `batch`, oldest first, leaving the queue empty.
void take_decode_frames(std::vector<QueuedFrame>& queue, uint64_t& read, uint64_t& count,
                        std::vector<QueuedFrame>& batch);

}  // namespace nimbar::client
