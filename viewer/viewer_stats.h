#pragma once

// The "--stats" line: what the viewer received, completed, dropped, decoded and showed, and how
// long it took, once a second.

#include <chrono>
#include <cstdint>
#include <string>

#include "receiver/receiver_stats.h"
#include "receiver/screen_audio_player.h"

namespace nimbar::viewer {

// What the main loop counts itself.
struct LoopCounters {
    uint64_t datagrams = 0;
    uint64_t bytes = 0;
    uint64_t keyframe_requests_sent = 0;
};

// What one line reports.
struct ViewerFigures {
    const client::ReceiverStats& receiver;   // totals
    client::ReceiverStats::Timings timings;  // of the interval
    const client::ScreenAudioStats& audio;
    const LoopCounters& loop;
    double audio_queue_ms = 0;  // the playback queue now
};

class ViewerStatsReporter {
  public:
    using Clock = std::chrono::steady_clock;

    explicit ViewerStatsReporter(Clock::time_point start) : last_time(start) {}

    // True once a second or more has passed since the last line.
    bool due(Clock::time_point now) const;

    // The line for the interval that ends at `now`; the next interval starts there. Rates are over
    // the interval, percentiles over its timings; completed, dropped, keyframe requests and
    // skipped frames are totals. heal_ms is the time from a lost frame to the next picture
    // presented, p50/max. Then the screen audio: what a packet finds queued ahead of it, smoothed,
    // as the resampling sees it, the correction it applies now, and the totals of underruns and of
    // 20 ms frames skipped past the 200 ms bound.
    std::string report(Clock::time_point now, const ViewerFigures& figures);

  private:
    Clock::time_point last_time;
    uint64_t last_presented = 0;
    LoopCounters last_loop;
};

}  // namespace nimbar::viewer
