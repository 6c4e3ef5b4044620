#pragma once

// The complete frames waiting between the main thread and the decode thread, with its own lock,
// wake-up and abort. The main thread never waits on it: a frame that finds all
// DECODE_QUEUE_SLOTS places taken empties the queue first, so that the decoder skips to what is
// newest instead of working through a backlog that would only show stale pictures.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "receiver/compressed_frame.h"

namespace nimbar::client {

// Frames that may wait for the decoder. A decoder this far behind shows a stale picture anyway.
inline constexpr size_t DECODE_QUEUE_SLOTS = 6;

class DecodeQueue {
  public:
    using Clock = std::chrono::steady_clock;

    // Appends `frame`. When the queue is full, the waiting frames are dropped first and the new
    // one is marked as following a loss noticed at `now`. Returns how many frames were dropped.
    // Does nothing once aborted.
    size_t push(CompressedFrame&& frame, Clock::time_point now);

    enum class Taken { Frames, Nothing, Aborted };
    // Waits until frames wait or the queue is aborted, but no longer than `limit` when one is
    // given, then moves every waiting frame into `batch`, oldest first. Nothing when the limit
    // passed first; Aborted, taking nothing, once aborted.
    [[nodiscard]] Taken take_all(std::vector<CompressedFrame>& batch,
                                 std::optional<Clock::duration> limit = std::nullopt);

    // The taker is done with `count` frames it took.
    void finished(size_t count);
    // True when every frame pushed has been decoded or dropped.
    bool idle() const { return frames_done.load() == frames_pushed.load(); }

    // Wakes the taker; from now on take_all returns Aborted and push drops what it gets.
    void abort();
    // Frees every waiting frame.
    void clear();
    size_t size();

  private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<CompressedFrame> frames;  // oldest first; at most DECODE_QUEUE_SLOTS
    bool aborted = false;
    // Frames handed to the queue, and frames done with: decoded (or failed) by the taker, dropped
    // from a full queue, or given up by an abort.
    std::atomic<uint64_t> frames_pushed{0};
    std::atomic<uint64_t> frames_done{0};
};

}  // namespace nimbar::client
