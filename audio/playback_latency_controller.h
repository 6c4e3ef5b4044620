#pragma once

// Turns how deep a playback queue runs into the resampling correction that holds it at its target
// depth, when the clock that fills the queue (the sender's sound card) and the one that drains it
// (ours) run at slightly different rates. Pure arithmetic: the caller measures the depth and
// applies the correction.
//
// The depth is smoothed, then a proportional term works off the error and an integral term learns
// the two clocks' difference. The correction is clamped, changes gradually, and below a dead band
// is not applied at all, so that matched clocks play the samples untouched.

namespace nimbar::audio {

// What a packet should find queued ahead of it when it arrives, two 20 ms packets: one that comes
// up to 20 ms late (a sender that sends in bursts) may cost the queue one of the device's 20 ms
// buffers before it lands, and the other keeps the device fed meanwhile. Any deeper only puts the
// sound further behind the picture.
inline constexpr double TARGET_QUEUE_MS = 40.0;
// The largest correction, either way: a third of a semitone at most, and far more than any sound
// card is off.
inline constexpr double MAX_CORRECTION_PPM = 20000.0;
// Corrections smaller than this are not applied: the samples then play untouched. Matched clocks
// stay inside it, and the queue then drifts by at most 0.5 ms a second, which the proportional term
// takes back within seconds.
inline constexpr double DEAD_BAND_PPM = 500.0;

class PlaybackLatencyController {
  public:
    // Takes the depth measured over the `elapsed_seconds` since the last call (steps longer than a
    // tenth of a second count as that; the first depth is taken as it is) and returns the
    // correction for the audio that follows, in parts per million: positive plays it longer (the
    // queue is too shallow), negative shorter; 0 inside the dead band.
    double update(double depth_ms, double elapsed_seconds);

    // The queue ran dry: the sender is not ahead of us, whatever was learnt. Any shortening, learnt
    // or under way, stops. (A refill after running dry makes the queue deep for a while; taken
    // for a sender running ahead, it would shorten the sound further and run it dry again.)
    void ran_dry();

    // The depth as the controller sees it, smoothed, in milliseconds.
    double smoothed_depth_ms() const { return smoothed; }
    // The correction last returned, in parts per million.
    double correction_ppm() const { return applied; }

  private:
    bool measured = false;
    double smoothed = TARGET_QUEUE_MS;
    double integral_ppm = 0.0;
    double ratio_ppm = 0.0;  // before the dead band
    double applied = 0.0;
};

}  // namespace nimbar::audio
