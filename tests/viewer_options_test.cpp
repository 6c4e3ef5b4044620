// The viewer's command line, its keyframe-request pacing and its stats line.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <cmath>

#include "viewer/display_scale.h"
#include "viewer/keyframe_pacing.h"
#include "viewer/stats_panel.h"
#include "viewer/viewer_options.h"
#include "viewer/viewer_stats.h"

namespace nimbar::viewer {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

struct Parsed {
    bool ok = false;
    ViewerOptions options;
    std::string errors;
};

Parsed parse(std::vector<const char*> args) {
    args.insert(args.begin(), "video_player");
    Parsed parsed;
    CaptureStderr();
    parsed.ok = parse_viewer_args(static_cast<int>(args.size()), args.data(), parsed.options);
    parsed.errors = GetCapturedStderr();
    return parsed;
}

TEST(ViewerOptions, EveryOptionAndTheDefaults) {
    auto parsed = parse({"--port", "5000"});
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.options.parent_port, 0);
    EXPECT_EQ(parsed.options.width, 1280);
    EXPECT_EQ(parsed.options.height, 720);
    EXPECT_EQ(parsed.options.username, "Unknown");
    EXPECT_FALSE(parsed.options.has_audio);
    EXPECT_FLOAT_EQ(parsed.options.audio_volume, 1.0f);
    EXPECT_EQ(parsed.options.video_codec, 0);

    parsed = parse({"--username", "Zoë", "--streamer-id", "-1", "--width", "1920", "--height",
                    "1080", "--parent-port", "6000", "--has-audio", "--audio-volume", "0.4",
                    "--audio-muted", "--codec", "1", "--port", "5001", "--stats"});
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.options.port, 5001);
    EXPECT_EQ(parsed.options.parent_port, 6000);
    EXPECT_EQ(parsed.options.streamer_id, 4294967295u);
    EXPECT_EQ(parsed.options.username, "Zoë");
    EXPECT_TRUE(parsed.options.has_audio);
    EXPECT_TRUE(parsed.options.audio_muted);
    EXPECT_FLOAT_EQ(parsed.options.audio_volume, 0.4f);
    EXPECT_EQ(parsed.options.video_codec, 1);
    EXPECT_TRUE(parsed.options.stats);
}

TEST(ViewerOptions, MissingPortFails) {
    for (auto args : std::vector<std::vector<const char*>>{{},
                                                           {"--port", "0"},
                                                           {"--port", "text"},
                                                           {"--port", "65536"},
                                                           {"--port"},
                                                           {"--port", "--has-audio"},
                                                           {"--username", "--help"}}) {
        const auto parsed = parse(args);
        EXPECT_FALSE(parsed.ok);
        EXPECT_FALSE(parsed.options.help);
        EXPECT_EQ(parsed.errors, "Error: --port is required\n");
    }
    for (const char* help : {"--help", "-h"}) {  // needs no port
        const auto parsed = parse({"--width", "640", help});
        EXPECT_TRUE(parsed.ok && parsed.options.help && parsed.errors.empty()) << help;
    }
    const auto value_eaten = parse({"--port", "--has-audio", "--port", "7"});
    EXPECT_TRUE(value_eaten.ok);
    EXPECT_FALSE(value_eaten.options.has_audio);
}

TEST(ViewerOptions, NumbersAreReadLeniently) {
    auto parsed = parse({"--port", "5000", "--port", "70000"});
    EXPECT_EQ(parsed.options.port, 4464);  // the later one, modulo 65536
    for (auto [text, volume] :
         {std::pair{"1.5", 1.0f}, std::pair{"-0.3", 0.0f}, std::pair{"loud", 0.0f},
          std::pair{"nan", 0.0f}, std::pair{"inf", 1.0f}, std::pair{"0.25", 0.25f}}) {
        parsed = parse({"--port", "1", "--audio-volume", text});
        EXPECT_FLOAT_EQ(parsed.options.audio_volume, volume) << text;
    }
    parsed = parse({"--port", "1", "--codec", "1", "--codec", "4", "--codec", "-1"});
    EXPECT_EQ(parsed.options.video_codec, 1);  // 4 and -1 leave it
    parsed = parse({"--port", "1", "--codec", "3"});
    EXPECT_EQ(parsed.options.video_codec, 3);
    parsed = parse({"--port", "1", "--bogus", "--width"});  // unknown and last-place: skipped
    EXPECT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.options.width, 1280);
    // Whole numbers that do not fit an int are refused, not wrapped (atoi would make this 1).
    for (auto [option, text] :
         {std::pair{"--width", "4294967297"}, std::pair{"--height", "-2147483649"},
          std::pair{"--parent-port", "99999999999999999999"}, std::pair{"--port", "2147483648"}}) {
        parsed = parse({"--port", "1", option, text});
        EXPECT_FALSE(parsed.ok);
        EXPECT_EQ(parsed.errors, std::string("[VideoPlayer] Error: ") + option + " " + text +
                                     " is out of range\n");
    }
    // The streamer id is any 32-bit number, never refused: atoi's 64-bit reading, its low 32 bits.
    // A codec beyond an int is ignored as 4 is, not refused nor read as atoi's 1.
    for (auto [text, id] :
         {std::pair{"3000000000", 3000000000u}, std::pair{"4294967296", 0u},
          std::pair{"-2147483649", 2147483647u}, std::pair{"99999999999999999999", 4294967295u}}) {
        parsed = parse({"--port", "1", "--streamer-id", text, "--codec", "4294967297"});
        EXPECT_TRUE(parsed.ok && parsed.errors.empty() && parsed.options.video_codec == 0) << text;
        EXPECT_EQ(parsed.options.streamer_id, id) << text;
    }
    parsed = parse({"--port", "1", "--height", "2147483647", "--width", "-2147483648"});
    EXPECT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.options.height, 2147483647);
    EXPECT_EQ(parsed.options.width, -2147483647 - 1);
}

TEST(ViewerOptions, UsageNamesTheProgram) {
    CaptureStderr();
    print_viewer_usage("/opt/host/video_player");
    EXPECT_EQ(GetCapturedStderr(),
              "Usage: /opt/host/video_player --port <PORT> [--streamer-id <ID>] [--width <W>] "
              "[--height <H>] [--username <NAME>] [--has-audio]\n");
}

TEST(KeyframeRequestPacing, AtMostOneRequestPer200Ms) {
    using std::chrono::milliseconds;
    const auto t0 = KeyframeRequestPacing::Clock::now();
    KeyframeRequestPacing pacing;
    EXPECT_TRUE(pacing.may_send(t0));
    pacing.sent(t0);
    EXPECT_FALSE(pacing.may_send(t0 + milliseconds(1)));
    EXPECT_FALSE(pacing.may_send(t0 + milliseconds(199)));
    EXPECT_TRUE(pacing.may_send(t0 + milliseconds(200)));
    // Past the 24.9 days at which 32-bit millisecond differences turn negative.
    const auto later = t0 + std::chrono::hours(24 * 25);
    EXPECT_TRUE(pacing.may_send(later));
    pacing.sent(later);
    EXPECT_FALSE(pacing.may_send(later + milliseconds(10)));
}

TEST(ViewerStats, OneLineASecondWithRatesOverTheSecond) {
    client::ReceiverStats receiver;
    audio::ScreenAudioStats audio;
    const auto t0 = ViewerStatsReporter::Clock::now();
    ViewerStatsReporter reporter(t0);
    LoopCounters loop;
    EXPECT_FALSE(reporter.due(t0 + std::chrono::milliseconds(500)));
    EXPECT_TRUE(reporter.due(t0 + std::chrono::seconds(1)));

    receiver.pictures_presented = 30;
    receiver.frames_completed = 31;
    receiver.frames_dropped = 1;
    receiver.decode_time.record(std::chrono::microseconds(3050));
    receiver.latency_to_present.record(std::chrono::microseconds(7000));
    receiver.draw_time.record(std::chrono::microseconds(1000));
    loop.datagrams = 2000;
    loop.bytes = 750'000;
    loop.keyframe_requests_sent = 2;
    receiver.frames_skipped = 4;
    receiver.heal_time.record(std::chrono::microseconds(40050));
    receiver.heal_time.record(std::chrono::microseconds(40050));
    receiver.heal_time.record(std::chrono::microseconds(95000));
    audio.depth_ms = 41.6;
    audio.correction_ppm = -1234.4;
    audio.underruns = 1;
    audio.frames_skipped = 3;
    audio.device_lost = 2;
    audio.device_reopened = 1;
    const StatsSecond first = reporter.take(t0 + std::chrono::seconds(1),
                                            {receiver, receiver.take_timings(), audio, loop, 42.4});
    EXPECT_EQ(format_stats_line(first),
              "[VideoPlayer] stats: fps=30.0 completed=31 dropped=1 Mbps=6.00 "
              "datagrams_per_s=2000 decode_p50_ms=3.1 decode_p99_ms=3.1 latency_p50_ms=7.1 "
              "latency_p99_ms=7.1 draw_p50_ms=1.1 draw_p99_ms=1.1 audio_queue_ms=42 "
              "keyframe_requests=2 skipped=4 heal_ms=40.1/95.1 audio_depth_ms=42 "
              "audio_correction_ppm=-1234 audio_underruns=1 audio_skipped=3 "
              "audio_device_lost=2 audio_device_reopened=1 malformed=0\n");
    // The panel says the same in its own words.
    EXPECT_EQ(stats_panel_lines(first, {1280, 720, "VP8", true}),
              (std::vector<std::string>{"1280x720 VP8, stretched", "30.0 fps shown, 31.0 completed",
                                        "decode  3.1 / 3.1 ms (p50 / p99)", "latency 7.1 / 7.1 ms",
                                        "6.00 Mbit/s, lost 0, keyframe requests 2",
                                        "audio 42 ms, -1234 ppm, underruns 1"}));
    // The next second starts from nothing: no pictures, fresh percentiles.
    EXPECT_FALSE(reporter.due(t0 + std::chrono::milliseconds(1999)));
    const StatsSecond second = reporter.take(t0 + std::chrono::seconds(2),
                                             {receiver, receiver.take_timings(), audio, loop, 0});
    const auto lines = stats_panel_lines(second, {640, 360, "H.264", false, true});
    EXPECT_EQ(lines.front(), "640x360 H.264, shape kept");
    EXPECT_EQ(lines.back(), "no audio");
    EXPECT_EQ(format_stats_line(second),
              "[VideoPlayer] stats: fps=0.0 completed=31 dropped=1 Mbps=0.00 "
              "datagrams_per_s=0 decode_p50_ms=0.0 decode_p99_ms=0.0 latency_p50_ms=0.0 "
              "latency_p99_ms=0.0 draw_p50_ms=0.0 draw_p99_ms=0.0 audio_queue_ms=0 "
              "keyframe_requests=2 skipped=4 heal_ms=0.0/0.0 audio_depth_ms=42 "
              "audio_correction_ppm=-1234 audio_underruns=1 audio_skipped=3 "
              "audio_device_lost=2 audio_device_reopened=1 malformed=0\n");
}

TEST(DisplayScale, QuarterStepsOfNinetySixDpiFromOneToFour) {
    for (const auto& [dpi, scale] : std::vector<std::pair<float, float>>{{96, 1.0f},
                                                                         {120, 1.25f},
                                                                         {144, 1.5f},
                                                                         {150, 1.5f},
                                                                         {192, 2.0f},
                                                                         {72, 1.0f},
                                                                         {1000, 4.0f},
                                                                         {0, 1.0f},
                                                                         {-5, 1.0f},
                                                                         {NAN, 1.0f}}) {
        EXPECT_FLOAT_EQ(ui_scale_for_dpi(dpi), scale) << dpi;
    }
}

TEST(DurationHistogram, PercentilesAreBucketEdgesToAMinuteThenTheLongestDuration) {
    using namespace std::chrono_literals;
    client::DurationHistogram histogram;
    EXPECT_EQ(histogram.snapshot().percentile_ms(0.5), 0.0);
    for (int i = 0; i < 98; ++i) {
        histogram.record(std::chrono::microseconds(2050));
    }
    histogram.record(std::chrono::milliseconds(250));
    histogram.record(std::chrono::seconds(30));
    const client::DurationCounts counts = histogram.snapshot();
    EXPECT_DOUBLE_EQ(counts.percentile_ms(0.5), 2.1);
    EXPECT_DOUBLE_EQ(counts.percentile_ms(0.99), 260.0);
    EXPECT_DOUBLE_EQ(counts.percentile_ms(1.0), 30100.0);
    EXPECT_EQ(histogram.take().count(), 100u);
    EXPECT_EQ(histogram.snapshot().count(), 0u);
    // Past 2 s in 100 ms buckets; past the last edge (60 s), the longest duration since the last
    // take, neither the edge nor an earlier interval's longest.
    for (auto [duration, edge] : {std::pair{2500ms, 2600.0}, std::pair{10000ms, 10100.0},
                                  std::pair{3600000ms, 3600000.0}, std::pair{75000ms, 75000.0}}) {
        histogram.record(duration);
        EXPECT_DOUBLE_EQ(histogram.take().percentile_ms(0.5), edge) << duration.count();
    }
}

}  // namespace
}  // namespace nimbar::viewer
