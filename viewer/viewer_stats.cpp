#include "viewer/viewer_stats.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace nimbar::viewer {

namespace {

constexpr auto REPORT_PERIOD = std::chrono::seconds(1);

}  // namespace

bool ViewerStatsReporter::due(Clock::time_point now) const {
    return now - last_time >= REPORT_PERIOD;
}

std::string ViewerStatsReporter::report(Clock::time_point now, const ViewerFigures& figures) {
    const client::ReceiverStats& receiver = figures.receiver;
    const client::ReceiverStats::Timings& timings = figures.timings;
    const client::ScreenAudioStats& audio = figures.audio;
    const LoopCounters& loop = figures.loop;
    const double seconds = std::max(std::chrono::duration<double>(now - last_time).count(), 1e-9);
    const uint64_t presented = receiver.pictures_presented.load(std::memory_order_relaxed);
    const double fps = static_cast<double>(presented - last_presented) / seconds;
    const double mbps = static_cast<double>(loop.bytes - last_loop.bytes) * 8 / seconds / 1e6;
    const double datagram_rate =
        static_cast<double>(loop.datagrams - last_loop.datagrams) / seconds;

    char line[512];
    std::snprintf(line, sizeof line,
                  "[VideoPlayer] stats: fps=%.1f completed=%" PRIu64 " dropped=%" PRIu64
                  " Mbps=%.2f datagrams_per_s=%.0f decode_p50_ms=%.1f decode_p99_ms=%.1f"
                  " latency_p50_ms=%.1f latency_p99_ms=%.1f draw_p50_ms=%.1f draw_p99_ms=%.1f"
                  " audio_queue_ms=%.0f keyframe_requests=%" PRIu64 " skipped=%" PRIu64
                  " heal_ms=%.1f/%.1f audio_depth_ms=%.0f audio_correction_ppm=%.0f"
                  " audio_underruns=%" PRIu64 " audio_skipped=%" PRIu64 "\n",
                  fps, receiver.frames_completed.load(std::memory_order_relaxed),
                  receiver.frames_dropped.load(std::memory_order_relaxed), mbps, datagram_rate,
                  timings.decode_time.percentile_ms(0.5), timings.decode_time.percentile_ms(0.99),
                  timings.latency_to_present.percentile_ms(0.5),
                  timings.latency_to_present.percentile_ms(0.99),
                  timings.draw_time.percentile_ms(0.5), timings.draw_time.percentile_ms(0.99),
                  figures.audio_queue_ms, loop.keyframe_requests_sent,
                  receiver.frames_skipped.load(std::memory_order_relaxed),
                  timings.heal_time.percentile_ms(0.5), timings.heal_time.percentile_ms(1.0),
                  audio.depth_ms.load(std::memory_order_relaxed),
                  audio.correction_ppm.load(std::memory_order_relaxed),
                  audio.underruns.load(std::memory_order_relaxed),
                  audio.frames_skipped.load(std::memory_order_relaxed));
    last_time = now;
    last_presented = presented;
    last_loop = loop;
    return line;
}

}  // namespace nimbar::viewer
