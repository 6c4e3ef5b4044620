#pragma once

// What the viewer received, completed, dropped, decoded and showed, and how long it took, once a
// second: for the "--stats" line and for the stats panel in the window.

#include <chrono>
#include <cstdint>
#include <string>

#include "audio/screen_audio_player.h"
#include "receiver/receiver_stats.h"

namespace nimbar::viewer {

// What the main loop counts itself.
struct LoopCounters {
    uint64_t datagrams = 0;
    uint64_t bytes = 0;
    uint64_t keyframe_requests_sent = 0;
};

// Where one interval's figures come from.
struct StatsSources {
    const client::ReceiverStats& receiver;   // totals
    client::ReceiverStats::Timings timings;  // of the interval
    const audio::ScreenAudioStats& audio;
    const LoopCounters& loop;
    double audio_queue_ms = 0;  // the playback queue now
};

// One interval's figures: rates and percentiles over the interval, the rest totals.
struct StatsSecond {
    double fps = 0;  // pictures presented a second
    double completed_per_second = 0;
    double mbps = 0;
    double datagrams_per_second = 0;
    uint64_t completed = 0;
    uint64_t dropped = 0;  // frames reported by the sweep
    uint64_t lost = 0;     // frames given up in any way, or dropped from the decode queue
    uint64_t keyframe_requests = 0;
    uint64_t skipped = 0;  // frames not decoded while waiting for a keyframe
    double decode_p50_ms = 0;
    double decode_p99_ms = 0;
    double latency_p50_ms = 0;  // a frame's last fragment to the present of its picture
    double latency_p99_ms = 0;
    double draw_p50_ms = 0;
    double draw_p99_ms = 0;
    double heal_p50_ms = 0;  // a lost frame to the next picture presented
    double heal_max_ms = 0;
    double audio_queue_ms = 0;
    double audio_depth_ms = 0;  // what a packet finds queued ahead of it, smoothed
    double audio_correction_ppm = 0;
    uint64_t audio_underruns = 0;
    uint64_t audio_skipped = 0;  // 20 ms frames not queued past the 200 ms bound
    uint64_t audio_device_lost = 0;
    uint64_t audio_device_reopened = 0;
    uint64_t malformed = 0;  // fragments dropped for what they say of themselves
};

class ViewerStatsReporter {
  public:
    using Clock = std::chrono::steady_clock;

    explicit ViewerStatsReporter(Clock::time_point start) : last_time(start) {}

    // True once a second or more has passed since the last take.
    bool due(Clock::time_point now) const;
    // The figures of the interval that ends at `now`; the next interval starts there.
    StatsSecond take(Clock::time_point now, const StatsSources& sources);

  private:
    Clock::time_point last_time;
    uint64_t last_presented = 0;
    uint64_t last_completed = 0;
    LoopCounters last_loop;
};

// The "[VideoPlayer] stats: ..." line, newline included: key=value pairs, the audio's last.
std::string format_stats_line(const StatsSecond& figures);

}  // namespace nimbar::viewer
