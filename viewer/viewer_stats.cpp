#include "viewer/viewer_stats.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace nimbar::viewer {

namespace {

constexpr auto REPORT_PERIOD = std::chrono::seconds(1);

uint64_t total(const std::atomic<uint64_t>& counter) {
    return counter.load(std::memory_order_relaxed);
}

}  // namespace

bool ViewerStatsReporter::due(Clock::time_point now) const {
    return now - last_time >= REPORT_PERIOD;
}

StatsSecond ViewerStatsReporter::take(Clock::time_point now, const StatsSources& sources) {
    const client::ReceiverStats& receiver = sources.receiver;
    const client::ReceiverStats::Timings& timings = sources.timings;
    const audio::ScreenAudioStats& audio = sources.audio;
    const LoopCounters& loop = sources.loop;
    const double seconds = std::max(std::chrono::duration<double>(now - last_time).count(), 1e-9);
    const uint64_t presented = total(receiver.pictures_presented);

    StatsSecond figures;
    figures.completed = total(receiver.frames_completed);
    figures.fps = static_cast<double>(presented - last_presented) / seconds;
    figures.completed_per_second =
        static_cast<double>(figures.completed - last_completed) / seconds;
    figures.mbps = static_cast<double>(loop.bytes - last_loop.bytes) * 8 / seconds / 1e6;
    figures.datagrams_per_second =
        static_cast<double>(loop.datagrams - last_loop.datagrams) / seconds;
    figures.dropped = total(receiver.frames_dropped);
    figures.lost = total(receiver.frames_lost) + total(receiver.frames_flushed);
    figures.keyframe_requests = loop.keyframe_requests_sent;
    figures.skipped = total(receiver.frames_skipped);
    figures.decode_p50_ms = timings.decode_time.percentile_ms(0.5);
    figures.decode_p99_ms = timings.decode_time.percentile_ms(0.99);
    figures.latency_p50_ms = timings.latency_to_present.percentile_ms(0.5);
    figures.latency_p99_ms = timings.latency_to_present.percentile_ms(0.99);
    figures.draw_p50_ms = timings.draw_time.percentile_ms(0.5);
    figures.draw_p99_ms = timings.draw_time.percentile_ms(0.99);
    figures.heal_p50_ms = timings.heal_time.percentile_ms(0.5);
    figures.heal_max_ms = timings.heal_time.percentile_ms(1.0);
    figures.audio_queue_ms = sources.audio_queue_ms;
    figures.audio_depth_ms = audio.depth_ms.load(std::memory_order_relaxed);
    figures.audio_correction_ppm = audio.correction_ppm.load(std::memory_order_relaxed);
    figures.audio_underruns = total(audio.underruns);
    figures.audio_skipped = total(audio.frames_skipped);
    figures.audio_device_lost = total(audio.device_lost);
    figures.audio_device_reopened = total(audio.device_reopened);
    figures.malformed = total(receiver.fragments_malformed);

    last_time = now;
    last_presented = presented;
    last_completed = figures.completed;
    last_loop = loop;
    return figures;
}

std::string format_stats_line(const StatsSecond& f) {
    char line[640];
    std::snprintf(line, sizeof line,
                  "[VideoPlayer] stats: fps=%.1f completed=%" PRIu64 " dropped=%" PRIu64
                  " Mbps=%.2f datagrams_per_s=%.0f decode_p50_ms=%.1f decode_p99_ms=%.1f"
                  " latency_p50_ms=%.1f latency_p99_ms=%.1f draw_p50_ms=%.1f draw_p99_ms=%.1f"
                  " audio_queue_ms=%.0f keyframe_requests=%" PRIu64 " skipped=%" PRIu64
                  " heal_ms=%.1f/%.1f audio_depth_ms=%.0f audio_correction_ppm=%.0f"
                  " audio_underruns=%" PRIu64 " audio_skipped=%" PRIu64
                  " audio_device_lost=%" PRIu64 " audio_device_reopened=%" PRIu64
                  " malformed=%" PRIu64 "\n",
                  f.fps, f.completed, f.dropped, f.mbps, f.datagrams_per_second, f.decode_p50_ms,
                  f.decode_p99_ms, f.latency_p50_ms, f.latency_p99_ms, f.draw_p50_ms, f.draw_p99_ms,
                  f.audio_queue_ms, f.keyframe_requests, f.skipped, f.heal_p50_ms, f.heal_max_ms,
                  f.audio_depth_ms, f.audio_correction_ppm, f.audio_underruns, f.audio_skipped,
                  f.audio_device_lost, f.audio_device_reopened, f.malformed);
    return line;
}

}  // namespace nimbar::viewer
