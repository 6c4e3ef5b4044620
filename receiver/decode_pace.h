#pragma once

// Whether the decoder keeps up with the stream, and so which kind of threads it should decode
// with. Slice threads add no delay, but a VP8 stream cut into one partition decodes on one core
// whatever the thread count: at 100 Mbit/s on this kind of machine that is 29 ms a frame, with 33
// ms between frames and the conversion still to come. Frame threads decode two frames at once,
// nearly twice as fast, for one frame of delay. So a decoder that stays behind switches to frame
// threads, and back once the stream has become light enough for slice threads again; the switch
// itself waits for a keyframe, where a new decoder can start. Pure logic: the caller gives the
// times.

#include <chrono>
#include <cstddef>
#include <optional>

namespace nimbar::client {

enum class DecoderThreads { Slice, Frame };

class DecodePace {
  public:
    using Clock = std::chrono::steady_clock;

    // Behind: the decoder's time per frame above this share of the time between frames.
    static constexpr double BEHIND_SHARE = 0.9;
    // Light again: the time per frame that slice threads would take (frame threads' time times
    // FRAME_THREAD_SPEEDUP) below this share, so that they would keep up with room to spare.
    static constexpr double LIGHT_SHARE = 0.6;
    static constexpr double FRAME_THREAD_SPEEDUP = 1.8;
    // How long either state must last before it counts: a keyframe or a busy second alone is no
    // reason to switch.
    static constexpr auto BEHIND_FOR = std::chrono::seconds(2);
    static constexpr auto LIGHT_FOR = std::chrono::seconds(5);

    // A complete frame came at `completed_at`.
    void frame_arrived(Clock::time_point completed_at);
    // The decoder spent `spent` on `frames` frames, in wall time, finished at `now`.
    void frames_decoded(Clock::duration spent, size_t frames, Clock::time_point now);
    // At a keyframe: the threads to decode with from it on.
    DecoderThreads choose(DecoderThreads current, Clock::time_point now);

  private:
    // Averages over about a second of a 30 frames/s stream.
    static constexpr double SMOOTHING = 1.0 / 30;

    std::optional<Clock::time_point> last_arrival;
    double interval_ms = 0;  // between frames
    double cost_ms = 0;      // the decoder's wall time per frame
    std::optional<Clock::time_point> behind_since;
    std::optional<Clock::time_point> light_since;
};

}  // namespace nimbar::client
