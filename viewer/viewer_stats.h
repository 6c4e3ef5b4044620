#pragma once

// The "--stats" line: what the viewer received, completed, dropped, decoded and showed, and how
// long it took, once a second.

#include <chrono>
#include <cstdint>
#include <string>

#include "receiver/receiver_stats.h"

namespace nimbar::viewer {

// What the main loop counts itself.
struct LoopCounters {
    uint64_t datagrams = 0;
    uint64_t bytes = 0;
    uint64_t keyframe_requests_sent = 0;
};

class ViewerStatsReporter {
  public:
    using Clock = std::chrono::steady_clock;

    explicit ViewerStatsReporter(Clock::time_point start) : last_time(start) {}

    // The line when a second or more has passed since the last one, else empty. Rates are over
    // that interval; percentiles over the pictures of that interval (the histograms are reset);
    // completed, dropped, keyframe requests and skipped frames are totals. heal_ms is the time
    // from a lost frame to the next picture presented, p50/max over the interval. Then the screen
    // audio: what a packet finds queued ahead of it, smoothed, as the resampling sees it, the
    // correction it applies now, and the totals of underruns and of 20 ms frames skipped past the
    // 200 ms bound.
    std::string poll(Clock::time_point now, client::ReceiverStats& receiver,
                     const LoopCounters& loop, double audio_queue_ms);

  private:
    Clock::time_point last_time;
    uint64_t last_presented = 0;
    LoopCounters last_loop;
};

}  // namespace nimbar::viewer
