#include "receiver/receiver_stats.h"

#include <algorithm>

namespace nimbar::client {

void DurationHistogram::record(std::chrono::steady_clock::duration duration) {
    const int64_t micros = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
    const size_t bucket = static_cast<size_t>(
        std::clamp<int64_t>(micros / BUCKET_MICROSECONDS, 0, static_cast<int64_t>(BUCKETS) - 1));
    buckets[bucket].fetch_add(1, std::memory_order_relaxed);
}

uint64_t DurationHistogram::count() const {
    uint64_t total = 0;
    for (const auto& bucket : buckets) {
        total += bucket.load(std::memory_order_relaxed);
    }
    return total;
}

double DurationHistogram::percentile_ms(double fraction) const {
    const uint64_t total = count();
    if (total == 0) {
        return 0.0;
    }
    const auto rank = static_cast<uint64_t>(fraction * static_cast<double>(total - 1)) + 1;
    uint64_t seen = 0;
    for (size_t i = 0; i < BUCKETS; ++i) {
        seen += buckets[i].load(std::memory_order_relaxed);
        if (seen >= rank) {
            return static_cast<double>((i + 1) * BUCKET_MICROSECONDS) / 1000.0;
        }
    }
    return static_cast<double>(BUCKETS * BUCKET_MICROSECONDS) / 1000.0;
}

void DurationHistogram::reset() {
    for (auto& bucket : buckets) {
        bucket.store(0, std::memory_order_relaxed);
    }
}

}  // namespace nimbar::client
