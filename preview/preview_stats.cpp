#include "preview/preview_stats.h"

#include <cinttypes>
#include <cstdio>

namespace nimbar::preview {

namespace {

constexpr auto REPORT_PERIOD = std::chrono::seconds(1);

}  // namespace

std::string format_preview_stats(const PreviewTotals& totals, double megabytes_per_second) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "[Preview] stats: datagrams=%" PRIu64 " completed=%" PRIu64 " shown=%" PRIu64
                  " expired=%" PRIu64 " MBps=%.2f malformed=%" PRIu64 "\n",
                  totals.datagrams, totals.frames_completed, totals.frames_shown,
                  totals.frames_expired, megabytes_per_second, totals.fragments_malformed);
    return line;
}

std::string StatsInterval::poll(Clock::time_point now, const PreviewTotals& totals) {
    if (now - last_time < REPORT_PERIOD) {
        return {};
    }
    return flush(now, totals);
}

std::string StatsInterval::flush(Clock::time_point now, const PreviewTotals& totals) {
    const double seconds = std::chrono::duration<double>(now - last_time).count();
    const double rate =
        seconds > 0 ? static_cast<double>(totals.bytes - last_bytes) / seconds / 1e6 : 0.0;
    last_time = now;
    last_bytes = totals.bytes;
    return format_preview_stats(totals, rate);
}

}  // namespace nimbar::preview
