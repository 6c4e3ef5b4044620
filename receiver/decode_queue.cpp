#include "receiver/decode_queue.h"

namespace nimbar::client {

bool push_decode_frame(std::vector<QueuedFrame>& queue, uint64_t& read, uint64_t& write,
                       uint64_t& count, QueuedFrame&& frame) {
    if (queue.size() < DECODE_QUEUE_SLOTS) {
        queue.resize(DECODE_QUEUE_SLOTS);
    }
    const bool overwrite = count == DECODE_QUEUE_SLOTS;
    if (overwrite) {
        read = (read + 1) % DECODE_QUEUE_SLOTS;
    } else {
        ++count;
    }
    queue[write] = std::move(frame);
    write = (write + 1) % DECODE_QUEUE_SLOTS;
    return overwrite;
}

void take_decode_frames(std::vector<QueuedFrame>& queue, uint64_t& read, uint64_t& count,
                        std::vector<QueuedFrame>& batch) {
    batch.reserve(batch.size() + count);
    while (count > 0) {
        batch.push_back(std::move(queue[read]));
        read = (read + 1) % DECODE_QUEUE_SLOTS;
        --count;
    }
}

}  // namespace nimbar::client
