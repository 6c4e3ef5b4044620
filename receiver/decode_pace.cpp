#include "receiver/decode_pace.h"

namespace nimbar::client {

namespace {

double milliseconds(DecodePace::Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

// Moves the average `average` a step of `weight` towards `sample`; the first sample sets it.
void smooth(double& average, double sample, double weight) {
    average = average == 0 ? sample : average + weight * (sample - average);
}

}  // namespace

void DecodePace::frame_arrived(Clock::time_point completed_at) {
    if (last_arrival && completed_at > *last_arrival) {
        smooth(interval_ms, milliseconds(completed_at - *last_arrival), SMOOTHING);
    }
    last_arrival = completed_at;
}

void DecodePace::frames_decoded(Clock::duration spent, size_t frames, Clock::time_point now) {
    if (frames == 0) {
        return;
    }
    const double per_frame = milliseconds(spent) / static_cast<double>(frames);
    for (size_t i = 0; i < frames; ++i) {
        smooth(cost_ms, per_frame, SMOOTHING);
    }
    const bool behind = interval_ms > 0 && cost_ms > BEHIND_SHARE * interval_ms;
    const bool light =
        interval_ms > 0 && cost_ms * FRAME_THREAD_SPEEDUP < LIGHT_SHARE * interval_ms;
    if (!behind) {
        behind_since.reset();
    } else if (!behind_since) {
        behind_since = now;
    }
    if (!light) {
        light_since.reset();
    } else if (!light_since) {
        light_since = now;
    }
}

DecoderThreads DecodePace::choose(DecoderThreads current, Clock::time_point now) {
    const bool to_frame =
        current == DecoderThreads::Slice && behind_since && now - *behind_since >= BEHIND_FOR;
    const bool to_slice =
        current == DecoderThreads::Frame && light_since && now - *light_since >= LIGHT_FOR;
    if (!to_frame && !to_slice) {
        return current;
    }
    // The time per frame means something else with the other threads: measure it anew.
    cost_ms = 0;
    behind_since.reset();
    light_since.reset();
    return to_frame ? DecoderThreads::Frame : DecoderThreads::Slice;
}

}  // namespace nimbar::client
