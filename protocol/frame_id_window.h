#pragma once

// Which frame ids a reader takes. The host numbers its frames upward, skipping a few where frames
// were lost whole. Any local process can send to the reader's port, and nothing in a datagram tells
// it from the host, so only the stream's own numbering moves the reader on:
// - An id just past the newest completed frame belongs to the stream (Take).
// - An id at or a little behind it is stale: its frame, or a newer one, is done with (Drop).
// - Any other id may be a stray sender's, or a host taking the stream over with numbering of its
//   own (Candidate). Its frame is assembled, but counts only once the new numbering is confirmed:
//   CONFIRM_RUN frames completing in sequence, each soon after the one before; or, once the stream
//   has been silent for RESYNC_AFTER, one frame that stands on its own (a keyframe, a whole raw
//   frame). A trickle of far-off frames, or junk after a pause, moves nothing.
// Pure logic: the caller gives the time.

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

    // Ids the stream may skip between two frames that arrive (frames lost with every fragment)
    // and still be itself. Small, so that a stray frame a little ahead costs the stream no more
    // than a few frames.
    static constexpr uint32_t NEAR_AHEAD = 8;
    // How far behind the newest completed frame an id is stale rather than another numbering: two
    // seconds of frames at 30 frames/s, far more than any fragment is late.
    static constexpr uint32_t NEAR_BEHIND = 64;
    // Frames of a new numbering that must complete in sequence, each within CONFIRM_GAP of the one
    // before (a stream of at least 5 frames/s), before it takes over from a stream still sending.
    static constexpr int CONFIRM_RUN = 3;
    static constexpr auto CONFIRM_GAP = std::chrono::milliseconds(200);
    // How long the stream may complete nothing before it counts as gone: several frame intervals of
    // any real stream, short enough for a takeover to look like a brief stall.
    static constexpr auto RESYNC_AFTER = std::chrono::seconds(1);

    // `first_id`: the lowest id taken before any frame completed (the preview starts at 1, the
    // viewer also takes 0).
    explicit FrameIdWindow(uint32_t first_id) : first(first_id) {}

    // Also notes the first datagram's time: a stream that never completed a frame counts as
    // silent from then on.
    FrameIdVerdict check(uint32_t frame_id, Clock::time_point now);
    // A frame taken completed; later ones must be newer.
    void completed(uint32_t frame_id, Clock::time_point now);
    // A candidate frame completed at `now`; `stands_alone`: it needs no frame before it. True when
    // it confirms the new numbering: the window then goes on from it, as if it had been taken, and
    // the caller forgets the old stream's frames.
    bool candidate_completed(uint32_t frame_id, bool stands_alone, Clock::time_point now);

    std::optional<uint32_t> newest_completed() const { return newest; }

  private:
    bool silent(Clock::time_point now) const;

    uint32_t first;
    std::optional<uint32_t> newest;                  // the stream's newest completed frame
    std::optional<Clock::time_point> last_progress;  // when it completed, or the first look
    std::optional<uint32_t> candidate;               // the newest candidate frame completed
    Clock::time_point candidate_at{};
    int candidate_run = 0;  // candidate frames completed in sequence, it included
};

}  // namespace nimbar::protocol
