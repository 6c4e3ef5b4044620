#include "receiver/receiver_stats.h"

#include <algorithm>

namespace nimbar::client {

size_t DurationHistogram::bucket_of(int64_t micros) {
    const int64_t fine_end = FINE_MICROSECONDS * static_cast<int64_t>(FINE_BUCKETS);
    if (micros < fine_end) {
        return static_cast<size_t>(std::max<int64_t>(micros, 0) / FINE_MICROSECONDS);
    }
    const auto coarse = static_cast<size_t>((micros - fine_end) / COARSE_MICROSECONDS);
    return FINE_BUCKETS + std::min(coarse, COARSE_BUCKETS - 1);
}

double DurationHistogram::upper_edge_ms(size_t bucket) {
    if (bucket < FINE_BUCKETS) {
        return static_cast<double>((bucket + 1) * FINE_MICROSECONDS) / 1000.0;
    }
    const int64_t fine_end = FINE_MICROSECONDS * static_cast<int64_t>(FINE_BUCKETS);
    return static_cast<double>(fine_end + static_cast<int64_t>(bucket - FINE_BUCKETS + 1) *
                                              COARSE_MICROSECONDS) /
           1000.0;
}

void DurationHistogram::record(std::chrono::steady_clock::duration duration) {
    const int64_t micros = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
    buckets[bucket_of(micros)].fetch_add(1, std::memory_order_relaxed);
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
            return upper_edge_ms(i);
        }
    }
    return upper_edge_ms(BUCKETS - 1);
}

void DurationHistogram::reset() {
    for (auto& bucket : buckets) {
        bucket.store(0, std::memory_order_relaxed);
    }
}

}  // namespace nimbar::client
