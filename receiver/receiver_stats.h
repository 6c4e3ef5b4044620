#pragma once

// Counters and timings of one VideoReceiver, for the viewer's "--stats" line and the benchmarks.
// Written by the thread that owns each event, read by anyone: relaxed atomics, no locks.

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace nimbar::client {

// Durations counted in fixed buckets: 0.1 ms wide up to 100 ms, then 10 ms wide up to 2 s; longer
// ones share the last bucket. A plain copy, to read percentiles from.
class DurationCounts {
  public:
    // 0.1 ms resolves a decode time; past 100 ms (three frame intervals) 10 ms is detail enough,
    // and 2 s is as far behind as a viewer that still means anything gets.
    static constexpr int64_t FINE_MICROSECONDS = 100;
    static constexpr size_t FINE_BUCKETS = 1000;
    static constexpr int64_t COARSE_MICROSECONDS = 10000;
    static constexpr size_t COARSE_BUCKETS = 190;
    static constexpr size_t BUCKETS = FINE_BUCKETS + COARSE_BUCKETS;
    static size_t bucket_of(std::chrono::steady_clock::duration duration);

    // The upper edge, in milliseconds, of the bucket that holds the `fraction` quantile (0.5 for
    // the median); 0 when nothing was counted.
    double percentile_ms(double fraction) const;
    uint64_t count() const;

    std::array<uint64_t, BUCKETS> buckets{};
};

// The same buckets, filled from any thread.
class DurationHistogram {
  public:
    void record(std::chrono::steady_clock::duration duration);
    // What was recorded so far.
    DurationCounts snapshot() const;
    // What was recorded since the last take; the histogram starts again from nothing.
    DurationCounts take();

  private:
    std::array<std::atomic<uint64_t>, DurationCounts::BUCKETS> buckets{};
};

struct ReceiverStats {
    std::atomic<uint64_t> fragments_stored{0};
    std::atomic<uint64_t> fragments_malformed{0};  // dropped for what they say of themselves
    std::atomic<uint64_t> frames_completed{0};
    std::atomic<uint64_t> frames_held_back{0};  // of a numbering the stream did not follow
    std::atomic<uint64_t> frames_dropped{0};    // reported by the sweep
    std::atomic<uint64_t> frames_lost{0};  // given up by reassembly: timed out, overtaken, purged
    std::atomic<uint64_t> frames_flushed{0};  // dropped from the full decode queue
    std::atomic<uint64_t> frames_skipped{0};  // not decoded while waiting for a keyframe
    std::atomic<uint64_t> keyframe_waits{0};  // losses after which a keyframe was waited for
    std::atomic<uint64_t> keyframe_waits_given_up{0};  // waits ended by the time limit
    std::atomic<uint64_t> frames_decoded{0};           // pictures the decoder delivered
    std::atomic<uint64_t> decoder_frame_threads{0};    // 1 while decoding with frame threads
    std::atomic<uint64_t> decoder_thread_switches{0};  // between slice and frame threads
    std::atomic<uint64_t> decode_errors{0};
    std::atomic<uint64_t> pictures_published{0};  // converted and handed to the presentation
    std::atomic<uint64_t> pictures_presented{0};  // uploaded and presented by update()
    DurationHistogram decode_time;         // a batch's decoding plus the conversion of its picture
    DurationHistogram latency_to_publish;  // last fragment of a frame to its picture published
    DurationHistogram latency_to_present;  // last fragment of a frame to its picture presented
    DurationHistogram draw_time;           // one update() that drew: upload, draw, overlay, present
    DurationHistogram heal_time;           // a frame lost to the next picture presented

    // The timings of one reporting interval.
    struct Timings {
        DurationCounts decode_time;
        DurationCounts latency_to_present;
        DurationCounts draw_time;
        DurationCounts heal_time;
    };
    // The timings recorded since the last take; their histograms start again from nothing.
    Timings take_timings();
};

}  // namespace nimbar::client
