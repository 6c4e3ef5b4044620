#include "receiver/receiver_stats.h"

#include <algorithm>

namespace nimbar::client {

namespace {

constexpr int64_t FINE_END_MICROSECONDS =
    DurationCounts::FINE_MICROSECONDS * static_cast<int64_t>(DurationCounts::FINE_BUCKETS);

double upper_edge_ms(size_t bucket) {
    if (bucket < DurationCounts::FINE_BUCKETS) {
        return static_cast<double>((bucket + 1) * DurationCounts::FINE_MICROSECONDS) / 1000.0;
    }
    const auto coarse = static_cast<int64_t>(bucket - DurationCounts::FINE_BUCKETS + 1);
    return static_cast<double>(FINE_END_MICROSECONDS +
                               coarse * DurationCounts::COARSE_MICROSECONDS) /
           1000.0;
}

}  // namespace

size_t DurationCounts::bucket_of(std::chrono::steady_clock::duration duration) {
    const int64_t micros = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
    if (micros < FINE_END_MICROSECONDS) {
        return static_cast<size_t>(std::max<int64_t>(micros, 0) / FINE_MICROSECONDS);
    }
    const auto coarse = static_cast<size_t>((micros - FINE_END_MICROSECONDS) / COARSE_MICROSECONDS);
    return FINE_BUCKETS + std::min(coarse, COARSE_BUCKETS - 1);
}

uint64_t DurationCounts::count() const {
    uint64_t total = 0;
    for (const uint64_t bucket : buckets) {
        total += bucket;
    }
    return total;
}

double DurationCounts::percentile_ms(double fraction) const {
    const uint64_t total = count();
    if (total == 0) {
        return 0.0;
    }
    const auto rank = static_cast<uint64_t>(fraction * static_cast<double>(total - 1)) + 1;
    uint64_t seen = 0;
    for (size_t i = 0; i < BUCKETS; ++i) {
        seen += buckets[i];
        if (seen >= rank) {
            return upper_edge_ms(i);
        }
    }
    return upper_edge_ms(BUCKETS - 1);
}

void DurationHistogram::record(std::chrono::steady_clock::duration duration) {
    buckets[DurationCounts::bucket_of(duration)].fetch_add(1, std::memory_order_relaxed);
}

DurationCounts DurationHistogram::snapshot() const {
    DurationCounts counts;
    for (size_t i = 0; i < buckets.size(); ++i) {
        counts.buckets[i] = buckets[i].load(std::memory_order_relaxed);
    }
    return counts;
}

DurationCounts DurationHistogram::take() {
    DurationCounts counts;
    for (size_t i = 0; i < buckets.size(); ++i) {
        counts.buckets[i] = buckets[i].exchange(0, std::memory_order_relaxed);
    }
    return counts;
}

ReceiverStats::Timings ReceiverStats::take_timings() {
    return {decode_time.take(), latency_to_present.take(), draw_time.take(), heal_time.take()};
}

}  // namespace nimbar::client
