#pragma once

// Keeps the host's frames on the clock: frame k (from 0) is due k / rate seconds after the start.
// A late frame goes out at once; the schedule does not slip, so the average rate holds.

#include <chrono>
#include <cstdint>
#include <thread>

namespace nimbar::host {

class Pacer {
  public:
    using Clock = std::chrono::steady_clock;

    explicit Pacer(double rate_hz) : Pacer(rate_hz, Clock::now()) {}
    // A clock of its own rate that started with another, so that their schedules can be merged.
    Pacer(double rate_hz, Clock::time_point start) : start(start), period_seconds(1.0 / rate_hz) {}

    // When `fraction` (0 to 1) of frame k's interval has passed.
    Clock::time_point due(uint64_t k, double fraction = 0.0) const {
        const std::chrono::duration<double> offset((static_cast<double>(k) + fraction) *
                                                   period_seconds);
        return start + std::chrono::duration_cast<Clock::duration>(offset);
    }

    void wait_until(uint64_t k, double fraction = 0.0) const {
        std::this_thread::sleep_until(due(k, fraction));
    }

    Clock::time_point start_time() const { return start; }

    double elapsed_seconds() const {
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

  private:
    Clock::time_point start;
    double period_seconds;
};

}  // namespace nimbar::host
