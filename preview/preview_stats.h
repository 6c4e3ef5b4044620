#pragma once

// The "--stats" line: what the preview received, completed, showed and gave up, once a second.

#include <chrono>
#include <cstdint>
#include <string>

namespace nimbar::preview {

struct PreviewTotals {
    uint64_t datagrams = 0;  // datagrams read from the socket
    uint64_t bytes = 0;      // their bytes, headers included
    uint64_t frames_completed = 0;
    uint64_t frames_shown = 0;
    uint64_t frames_expired = 0;  // erased before they completed
    uint64_t fragments_malformed = 0;
};

// "[Preview] stats: datagrams=.. completed=.. shown=.. expired=.. MBps=.. malformed=..": totals
// since start and the receive rate in 10^6 bytes a second over the last interval.
std::string format_preview_stats(const PreviewTotals& totals, double megabytes_per_second);

// Decides when a line is due and measures the rate since the last one.
class StatsInterval {
  public:
    using Clock = std::chrono::steady_clock;

    explicit StatsInterval(Clock::time_point start) : last_time(start) {}

    // The line when a second or more has passed since the last one, else empty.
    std::string poll(Clock::time_point now, const PreviewTotals& totals);
    // The line now, whatever the time: the last one at shutdown.
    std::string flush(Clock::time_point now, const PreviewTotals& totals);

  private:
    Clock::time_point last_time;
    uint64_t last_bytes = 0;
};

}  // namespace nimbar::preview
