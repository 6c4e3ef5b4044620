#pragma once

// Decides, frame by frame in stream order, which frames the decoder may see. After a loss (a frame
// before this one never reached the decoder, or the decoder failed one) every frame until the next
// keyframe refers to a picture the decoder does not have: decoded, it would show a damaged picture
// as if it were true. Those frames are skipped, and the last true picture stays up until a
// keyframe comes. A host that never sends one does not freeze the stream for good: after
// KEYFRAME_WAIT_LIMIT without a keyframe even starting to arrive, frames are decoded again, damaged
// or not. A keyframe that began to arrive and was lost shows that the host answers, and the wait
// goes on; one that arrives but does not decode was none, and the wait goes on as if it had not
// come, still timed from the loss. An H.264 stream with periodic intra refresh has no keyframes
// after its first: a frame with a recovery point starts a refresh instead, and from it every frame
// is decoded (the decoder, flushed there, hands out only pictures the refresh has made whole)
// until the first picture comes out, which ends the wait. Pure logic: the caller gives the time.

#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>

#include "receiver/compressed_frame.h"

namespace nimbar::client {

// Longest wait for a keyframe after a loss: long enough for a keyframe request to be answered even
// when the first one or its answer is lost, short enough that a host that never answers costs a
// frozen picture only briefly.
inline constexpr auto KEYFRAME_WAIT_LIMIT = std::chrono::seconds(2);
// While waiting, the keyframe is asked for again this often, and at once when one was seen lost on
// its way (the viewer paces what it sends).
inline constexpr auto KEYFRAME_ASK_AGAIN = std::chrono::milliseconds(500);

class KeyframeGate {
  public:
    using Clock = std::chrono::steady_clock;

    struct [[nodiscard]] Verdict {
        bool decode = false;
        bool ask_for_keyframe = false;  // a keyframe is wanted from the host
        // A refresh starts at this frame: the decoder is to forget what it holds before taking it,
        // so that only pictures the refresh makes whole come out.
        bool start_refresh = false;
    };

    // For the next frame in stream order (its keyframe and loss marks are what count), at `now`.
    Verdict admit(const CompressedFrame& frame, Clock::time_point now);
    // The decoder failed the frame it was given (before the next admit): what follows may refer
    // to it.
    void decoder_failed(Clock::time_point now);
    // The decoder handed out a picture: a refresh under way is complete.
    void picture_delivered();
    // The decoder was started anew with nothing lost: it takes a keyframe next. The wait for one
    // starts at the next frame that is none, so that a pause in the stream does not count.
    void decoder_restarted() { restart_pending = true; }

    // The loss that the next true picture repairs, if any; cleared as it is read.
    std::optional<Clock::time_point> take_loss_to_heal();

    bool waiting() const { return wait_started.has_value(); }
    uint64_t frames_skipped() const { return skipped; }
    uint64_t waits() const { return wait_count; }
    uint64_t waits_given_up() const { return given_up; }

  private:
    void start_wait(Clock::time_point now);
    void note_loss(Clock::time_point when);

    std::optional<Clock::time_point> wait_started;
    Clock::time_point wait_renewed{};  // the wait's start, or the last keyframe lost since
    Clock::time_point last_ask{};
    std::optional<Clock::time_point> unhealed_loss;
    // The keyframe just let through ended a wait (its start and renewal), until the decoder has
    // shown it can take it.
    std::optional<std::pair<Clock::time_point, Clock::time_point>> keyframe_on_trial;
    bool restart_pending = false;
    bool refreshing = false;  // frames since a recovery point are decoded, awaiting a picture
    uint64_t skipped = 0;
    uint64_t wait_count = 0;
    uint64_t given_up = 0;
};

}  // namespace nimbar::client
