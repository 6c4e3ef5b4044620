#pragma once

// Which frame ids of one sender belong to its numbering. A host numbers its frames upward, with
// gaps of any size (frames lost whole, a still screen, a viewer that stood still for seconds), and
// starts again from 1 when it restarts:
// - An id past the newest completed frame is the numbering's next frame (Take); so is any id
//   before the first frame completed.
// - An id at or a little behind it is stale: its frame, or a newer one, is done with (Drop).
// - An id farther behind, or any older one once the numbering has completed nothing for
//   RESYNC_AFTER, may be a restart (Candidate). Its frame counts only once the restart is
//   confirmed: CONFIRM_RUN frames completing in sequence, each within RESTART_GAP of the one
//   before; or, after RESYNC_AFTER of silence, one frame that stands on its own (a keyframe, a
//   whole raw frame). A late copy of an old frame confirms nothing.
// The window also counts the run: frames completed in sequence since the numbering began, the
// standing of its sender (see StreamSenders). Pure logic: the caller gives the time.

#include <chrono>
#include <cstdint>
#include <optional>

namespace nimbar::protocol {

enum class [[nodiscard]] FrameIdVerdict{
    Take,       // a frame of the stream
    Drop,       // stale
    Candidate,  // of another numbering, maybe: assembled, but confirmed before it counts
};

class FrameIdWindow {
  public:
    using Clock = std::chrono::steady_clock;

    // How far behind the newest completed frame an id is stale rather than a restart: two seconds
    // of frames at 30 frames/s, far more than any fragment is late.
    static constexpr uint32_t NEAR_BEHIND = 64;
    // Frames of a restarted numbering that must complete in sequence, each within RESTART_GAP of
    // the one before, before the window follows it: three frames of any stream of at least one
    // frame a second (with room for jitter), which no late copy of old frames makes.
    static constexpr uint32_t CONFIRM_RUN = 3;
    static constexpr auto RESTART_GAP = std::chrono::milliseconds(1500);
    // How long the numbering may complete nothing before its own old ids may start it again: a
    // host that restarts after a pause is followed from its first keyframe.
    static constexpr auto RESYNC_AFTER = std::chrono::seconds(1);

    FrameIdVerdict check(uint32_t frame_id, Clock::time_point now) const;
    // A frame of the numbering completed at `now`: an id past the newest continues the run, any
    // other starts a new one (a sender that numbers afresh).
    void completed(uint32_t frame_id, Clock::time_point now);
    // A candidate frame completed at `now`; `stands_alone`: it needs no frame before it. True when
    // it confirms the restart: the window then goes on from it, as if it had been taken.
    bool candidate_completed(uint32_t frame_id, bool stands_alone, Clock::time_point now);

    std::optional<uint32_t> newest_completed() const { return newest; }
    // Frames completed in sequence in the current numbering, and when the first of them did.
    uint32_t run() const { return run_length; }
    Clock::time_point run_started() const { return run_start; }

  private:
    bool silent(Clock::time_point now) const;

    std::optional<uint32_t> newest;  // the newest completed frame
    Clock::time_point last_progress{};
    uint32_t run_length = 0;
    Clock::time_point run_start{};
    std::optional<uint32_t> candidate;  // the newest candidate frame completed
    Clock::time_point candidate_at{};
    uint32_t candidate_run = 0;  // candidate frames completed in sequence, it included
    Clock::time_point candidate_run_start{};
};

}  // namespace nimbar::protocol
