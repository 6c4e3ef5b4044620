#include "host/pauses.h"

#include <cmath>
#include <cstdio>

namespace nimbar::host {

namespace {

// Slot times are computed in floating point: a slot that falls on a spell's edge (150 / 30 = 5 s)
// must land on the same side whatever the rounding, so edges are this much wide.
constexpr double EDGE_SECONDS = 1e-9;

}  // namespace

PauseSchedule::PauseSchedule(const HostOptions& options)
    : fps(options.fps),
      active_seconds(options.pause_active_seconds),
      cycle_seconds(
          options.has_pauses() ? options.pause_active_seconds + options.pause_still_seconds : 0.0) {
}

bool PauseSchedule::still(uint64_t slot) const {
    if (cycle_seconds <= 0.0) {
        return false;
    }
    const double time = static_cast<double>(slot) / fps;
    double phase = time - cycle_seconds * std::floor(time / cycle_seconds);
    if (cycle_seconds - phase < EDGE_SECONDS) {
        phase = 0.0;  // the next cycle's first slot
    }
    return phase >= active_seconds - EDGE_SECONDS;
}

void PauseSchedule::begin_still_spell(Pacer& video_clock, uint64_t slot) const {
    const auto now = Pacer::Clock::now();
    const auto due = video_clock.due(slot);
    if (now > due) {
        video_clock = Pacer(fps, video_clock.start_time() + (now - due));
    }
}

void print_still_line(std::optional<uint32_t> last_frame_id, std::optional<uint32_t> picture) {
    if (!last_frame_id) {
        printf("[Host] Still before any frame\n");
    } else if (picture) {
        printf("[Host] Still after frame %u (picture %u)\n", *last_frame_id, *picture);
    } else {
        printf("[Host] Still after frame %u\n", *last_frame_id);
    }
    fflush(stdout);  // read as it comes by whoever waits for the spell
}

}  // namespace nimbar::host
