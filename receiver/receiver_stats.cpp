#include "receiver/receiver_stats.h"

#include <algorithm>

namespace nimbar::client {

namespace {

constexpr int64_t FINE_END_MICROSECONDS =
    DurationCounts::FINE_MICROSECONDS * static_cast<int64_t>(DurationCounts::FINE_BUCKETS);
constexpr int64_t COARSE_END_MICROSECONDS =
    FINE_END_MICROSECONDS +
    DurationCounts::COARSE_MICROSECONDS * static_cast<int64_t>(DurationCounts::COARSE_BUCKETS);
constexpr int64_t LONG_END_MICROSECONDS =
    COARSE_END_MICROSECONDS +
    DurationCounts::LONG_MICROSECONDS * static_cast<int64_t>(DurationCounts::LONG_BUCKETS);

int64_t upper_edge_microseconds(size_t bucket) {
    const auto index = static_cast<int64_t>(bucket);
    constexpr auto FINE = static_cast<int64_t>(DurationCounts::FINE_BUCKETS);
    constexpr auto COARSE = static_cast<int64_t>(DurationCounts::COARSE_BUCKETS);
    if (index < FINE) {
        return (index + 1) * DurationCounts::FINE_MICROSECONDS;
    }
    if (index < FINE + COARSE) {
        return FINE_END_MICROSECONDS + (index - FINE + 1) * DurationCounts::COARSE_MICROSECONDS;
    }
    return COARSE_END_MICROSECONDS +
           (index - FINE - COARSE + 1) * DurationCounts::LONG_MICROSECONDS;
}

}  // namespace

size_t DurationCounts::bucket_of(std::chrono::steady_clock::duration duration) {
    const int64_t micros = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
    if (micros < FINE_END_MICROSECONDS) {
        return static_cast<size_t>(std::max<int64_t>(micros, 0) / FINE_MICROSECONDS);
    }
    if (micros < COARSE_END_MICROSECONDS) {
        return FINE_BUCKETS +
               static_cast<size_t>((micros - FINE_END_MICROSECONDS) / COARSE_MICROSECONDS);
    }
    if (micros < LONG_END_MICROSECONDS) {
        return FINE_BUCKETS + COARSE_BUCKETS +
               static_cast<size_t>((micros - COARSE_END_MICROSECONDS) / LONG_MICROSECONDS);
    }
    return BEYOND_BUCKET;
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
    for (size_t i = 0; i < BEYOND_BUCKET; ++i) {
        seen += buckets[i];
        if (seen >= rank) {
            return static_cast<double>(upper_edge_microseconds(i)) / 1000.0;
        }
    }
    // The longest is read apart from the buckets, so a take between the two may leave it behind.
    return static_cast<double>(std::max(longest_microseconds, LONG_END_MICROSECONDS)) / 1000.0;
}

void DurationHistogram::record(std::chrono::steady_clock::duration duration) {
    buckets[DurationCounts::bucket_of(duration)].fetch_add(1, std::memory_order_relaxed);
    const int64_t micros = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
    int64_t longest = longest_microseconds.load(std::memory_order_relaxed);
    while (micros > longest && !longest_microseconds.compare_exchange_weak(
                                   longest, micros, std::memory_order_relaxed)) {
    }
}

DurationCounts DurationHistogram::snapshot() const {
    DurationCounts counts;
    for (size_t i = 0; i < buckets.size(); ++i) {
        counts.buckets[i] = buckets[i].load(std::memory_order_relaxed);
    }
    counts.longest_microseconds = longest_microseconds.load(std::memory_order_relaxed);
    return counts;
}

DurationCounts DurationHistogram::take() {
    DurationCounts counts;
    for (size_t i = 0; i < buckets.size(); ++i) {
        counts.buckets[i] = buckets[i].exchange(0, std::memory_order_relaxed);
    }
    counts.longest_microseconds = longest_microseconds.exchange(0, std::memory_order_relaxed);
    return counts;
}

ReceiverStats::Timings ReceiverStats::take_timings() {
    return {decode_time.take(), latency_to_present.take(), draw_time.take(), heal_time.take()};
}

}  // namespace nimbar::client
