#pragma once

// Counters and timings of one VideoReceiver, for the viewer's "--stats" line and the benchmarks.
// Written by the thread that owns each event, read by anyone: relaxed atomics, no locks.

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace nimbar::client {

// Durations counted in fixed buckets: 0.1 ms wide up to 100 ms, 10 ms wide up to 2 s, 100 ms wide
// up to 60 s; longer ones share one last bucket, and the longest duration counted is kept beside
// the buckets. A plain copy, to read percentiles from.
class DurationCounts {
  public:
    // 0.1 ms resolves a decode time; past 100 ms (three frame intervals) 10 ms is detail enough;
    // past 2 s the picture was frozen (a heal that waited for a keyframe, a window hidden for a
    // while), and 100 ms, a twentieth of it or less, still tells a 2.5 s freeze from a 10 s one.
    static constexpr int64_t FINE_MICROSECONDS = 100;
    static constexpr size_t FINE_BUCKETS = 1000;
    static constexpr int64_t COARSE_MICROSECONDS = 10000;
    static constexpr size_t COARSE_BUCKETS = 190;
    static constexpr int64_t LONG_MICROSECONDS = 100000;
    static constexpr size_t LONG_BUCKETS = 580;
    // Everything from the last edge (60 s) on.
    static constexpr size_t BEYOND_BUCKET = FINE_BUCKETS + COARSE_BUCKETS + LONG_BUCKETS;
    static constexpr size_t BUCKETS = BEYOND_BUCKET + 1;
    static size_t bucket_of(std::chrono::steady_clock::duration duration);

    // An upper bound, in milliseconds, of the `fraction` quantile (0.5 for the median): the upper
    // edge of the bucket that holds it, or for the last bucket the longest duration counted (never
    // less than the last edge), so that a minute's freeze reads as a minute and not as the edge.
    // 0 when nothing was counted.
    double percentile_ms(double fraction) const;
    uint64_t count() const;

    std::array<uint64_t, BUCKETS> buckets{};
    int64_t longest_microseconds = 0;
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
    std::atomic<int64_t> longest_microseconds{0};
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
