#pragma once

// Which frame ids a reader takes. Ids grow by one a frame, with gaps where the host skipped one.
// A frame not newer than the newest completed one is stale. A frame id far beyond it is no
// frame of this stream either: taken, a single stray datagram would become the newest completed
// frame and make every real frame after it look stale, freezing the stream for good. Those are
// dropped like stale ones. Yet a host may take a stream over with numbering of its own, higher or
// lower: when nothing has completed for RESYNC_AFTER while such ids arrive, the reader starts
// over from them. Pure logic: the caller gives the time.

#include <chrono>
#include <cstdint>
#include <optional>

namespace nimbar::protocol {

enum class [[nodiscard]] FrameIdVerdict{
    Take,     // a frame of the stream
    Drop,     // stale, or implausibly far ahead
    Restart,  // the stream is stuck and this id is where it goes on: forget everything, then take
};

class FrameIdWindow {
  public:
    using Clock = std::chrono::steady_clock;

    // Ids further ahead than this of the newest completed frame are implausible: over half an hour
    // at 30 frames/s, more than any host skips.
    static constexpr uint32_t MAX_AHEAD = 65536;
    // How long a stream may complete nothing while out-of-window ids arrive before it follows
    // them: several frame intervals of any real stream, short enough for a takeover to look like a
    // brief stall.
    static constexpr auto RESYNC_AFTER = std::chrono::seconds(1);

    // `first_id`: the lowest id taken before any frame completed (the preview starts at 1, the
    // viewer also takes 0).
    explicit FrameIdWindow(uint32_t first_id) : lowest(first_id) {}

    FrameIdVerdict check(uint32_t frame_id, Clock::time_point now);
    // A frame completed; later ones must be newer. Also counts as the stream's progress.
    void completed(uint32_t frame_id, Clock::time_point now);
    // After a Restart verdict: the stream goes on from `frame_id`; progress counts from `now`.
    void restart(uint32_t frame_id, Clock::time_point now);

  private:
    uint32_t lowest;  // the oldest id still taken: one past the newest completed frame
    std::optional<Clock::time_point> last_progress;  // the last completion, or the first look
};

}  // namespace nimbar::protocol
