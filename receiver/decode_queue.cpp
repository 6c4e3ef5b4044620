#include "receiver/decode_queue.h"

namespace nimbar::client {

size_t DecodeQueue::push(CompressedFrame&& frame, Clock::time_point now) {
    size_t dropped = 0;
    {
        std::lock_guard lock(mutex);
        if (aborted) {
            return 0;
        }
        if (frames.size() >= DECODE_QUEUE_SLOTS) {
            dropped = frames.size();
            frames.clear();
            frames_done += dropped;
            frame.mark_loss(now);
        }
        if (frames.capacity() < DECODE_QUEUE_SLOTS) {
            frames.reserve(DECODE_QUEUE_SLOTS);
        }
        frames.push_back(std::move(frame));
        ++frames_pushed;
    }
    changed.notify_one();
    return dropped;
}

DecodeQueue::Taken DecodeQueue::take_all(std::vector<CompressedFrame>& batch,
                                         std::optional<Clock::duration> limit) {
    std::unique_lock lock(mutex);
    const auto ready = [&] { return !frames.empty() || aborted; };
    if (!limit) {
        changed.wait(lock, ready);
    } else if (!changed.wait_for(lock, *limit, ready)) {
        return Taken::Nothing;
    }
    if (aborted) {
        return Taken::Aborted;
    }
    for (CompressedFrame& frame : frames) {
        batch.push_back(std::move(frame));
    }
    frames.clear();
    return Taken::Frames;
}

void DecodeQueue::finished(size_t count) {
    frames_done += count;
}

void DecodeQueue::abort() {
    {
        std::lock_guard lock(mutex);
        aborted = true;
        frames_done += frames.size();
    }
    changed.notify_all();
}

void DecodeQueue::clear() {
    std::lock_guard lock(mutex);
    frames = {};
}

size_t DecodeQueue::size() {
    std::lock_guard lock(mutex);
    return frames.size();
}

}  // namespace nimbar::client
