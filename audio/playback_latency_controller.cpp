#include "audio/playback_latency_controller.h"

#include <algorithm>
#include <cmath>

namespace nimbar::audio {

namespace {

// The depth swings by a device buffer within every packet and dips while a late packet is awaited;
// half a second of averaging sees through both, yet lags a 1 % clock difference (10 ms a second of
// drift) by only a few milliseconds.
constexpr double SMOOTHING_SECONDS = 0.5;
// A depth error of 1 ms asks for 1000 ppm: an error is worked off within a few seconds.
constexpr double PROPORTIONAL_PER_SECOND = 1.0;
// With the proportional term a damping of about 0.9: a clock difference of 1 % is learnt in about
// 3 s, with the depth off by less than 10 ms on the way, and without overshooting after.
constexpr double INTEGRAL_PER_SECOND_SQUARED = 0.3;
// The correction glides, never jumps (the dead band's edge aside): from nothing to 1 % in a second,
// too slow a change of pitch to be heard as one.
constexpr double SLEW_PPM_PER_SECOND = 10000.0;
// A longer step means the queue ran dry in between: it must not weigh as a long stretch of error.
constexpr double MAX_STEP_SECONDS = 0.1;

constexpr double PPM_PER_MS_PER_SECOND = 1000.0;  // 1 ms of depth a second is 1000 ppm

}  // namespace

double PlaybackLatencyController::update(double depth_ms, double elapsed_seconds) {
    const double step = std::clamp(elapsed_seconds, 0.0, MAX_STEP_SECONDS);
    if (!measured) {
        smoothed = depth_ms;  // the first look is the best guess there is
        measured = true;
    }
    smoothed += (depth_ms - smoothed) * (1.0 - std::exp(-step / SMOOTHING_SECONDS));
    const double error_ms = TARGET_QUEUE_MS - smoothed;
    integral_ppm = std::clamp(
        integral_ppm + INTEGRAL_PER_SECOND_SQUARED * error_ms * PPM_PER_MS_PER_SECOND * step,
        -MAX_CORRECTION_PPM, MAX_CORRECTION_PPM);
    const double wanted =
        std::clamp(PROPORTIONAL_PER_SECOND * error_ms * PPM_PER_MS_PER_SECOND + integral_ppm,
                   -MAX_CORRECTION_PPM, MAX_CORRECTION_PPM);
    const double slew = SLEW_PPM_PER_SECOND * step;
    ratio_ppm = std::clamp(wanted, ratio_ppm - slew, ratio_ppm + slew);
    applied = std::abs(ratio_ppm) < DEAD_BAND_PPM ? 0.0 : ratio_ppm;
    return applied;
}

void PlaybackLatencyController::ran_dry() {
    integral_ppm = std::max(integral_ppm, 0.0);
    ratio_ppm = std::max(ratio_ppm, 0.0);
    applied = std::max(applied, 0.0);
}

}  // namespace nimbar::audio
