// The preview's command line: what it accepts, how it reads numbers, and the exact error lines.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "preview/preview_options.h"
#include "preview/preview_stats.h"

namespace nimbar::preview {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

struct Parsed {
    bool ok = false;
    PreviewOptions options;
    std::string errors;
};

Parsed parse(std::vector<const char*> args) {
    args.insert(args.begin(), "stream_preview");
    Parsed parsed;
    CaptureStderr();
    parsed.ok = parse_preview_args(static_cast<int>(args.size()), args.data(), parsed.options);
    parsed.errors = GetCapturedStderr();
    return parsed;
}

TEST(PreviewOptions, DefaultsAndEveryOption) {
    auto parsed = parse({"--port", "5000"});
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.errors, "");
    EXPECT_EQ(parsed.options.port, 5000);
    EXPECT_EQ(parsed.options.parent_port, 0);
    EXPECT_EQ(parsed.options.width, 1280);
    EXPECT_EQ(parsed.options.height, 720);
    EXPECT_EQ(parsed.options.title, "Stream Preview");
    EXPECT_FALSE(parsed.options.stats);

    parsed = parse({"--title", "Ana's screen ✓", "--width", "1281", "--parent-port", "7000",
                    "--height", "721", "--port", "5001", "--stats"});
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.options.port, 5001);
    EXPECT_EQ(parsed.options.parent_port, 7000);
    EXPECT_EQ(parsed.options.width, 1281);
    EXPECT_EQ(parsed.options.height, 721);
    EXPECT_EQ(parsed.options.title, "Ana's screen ✓");
    EXPECT_TRUE(parsed.options.stats);
}

TEST(PreviewOptions, MissingPort) {
    for (auto args : std::vector<std::vector<const char*>>{{},
                                                           {"--port"},
                                                           {"--port", "0"},
                                                           {"--port", "abc"},
                                                           {"--port", "65536"},
                                                           {"--title", "--port", "5000"},
                                                           {"--title", "--help"}}) {
        const auto parsed = parse(args);
        EXPECT_FALSE(parsed.ok);
        EXPECT_FALSE(parsed.options.help);
        EXPECT_EQ(parsed.errors, "[Preview] Error: --port is required\n");
    }
    for (const char* help : {"--help", "-h"}) {  // needs no port, nor a valid size
        const auto parsed = parse({"--width", "0", help});
        EXPECT_TRUE(parsed.ok && parsed.options.help && parsed.errors.empty()) << help;
    }
}

TEST(PreviewOptions, NumbersReadAsAtoiAndPortsWrap) {
    auto parsed = parse({"--port", "70000"});
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.options.port, 4464);
    parsed = parse({"--port", " 5000xyz", "--width", "+640", "--bogus", "--height", "480px"});
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.options.port, 5000);
    EXPECT_EQ(parsed.options.width, 640);
    EXPECT_EQ(parsed.options.height, 480);
    parsed = parse({"--title", "--port", "--port", "6000"});
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.options.title, "--port");
    EXPECT_EQ(parsed.options.port, 6000);
}

TEST(PreviewOptions, InvalidDimensions) {
    const auto check = [](std::vector<const char*> args, const std::string& line) {
        const auto parsed = parse(args);
        EXPECT_FALSE(parsed.ok);
        EXPECT_EQ(parsed.errors, line);
    };
    check({"--port", "5000", "--width", "0"}, "[Preview] Error: Invalid dimensions 0x720\n");
    check({"--port", "5000", "--height", "-4"}, "[Preview] Error: Invalid dimensions 1280x-4\n");
    check({"--port", "5000", "--width", "x"}, "[Preview] Error: Invalid dimensions 0x720\n");
    // 32768 x 16384 x 4 is 2^31: one byte past the largest positive 32-bit int.
    check({"--port", "5000", "--width", "32768", "--height", "16384"},
          "[Preview] Error: Invalid dimensions 32768x16384\n");
    EXPECT_TRUE(parse({"--port", "5000", "--width", "32767", "--height", "16384"}).ok);
    // Numbers too large for an int are refused, not wrapped (4294967297 would read as 1).
    check({"--port", "5000", "--width", "4294967297"},
          "[Preview] Error: --width 4294967297 is out of range\n");
    check({"--port", "99999999999999999999", "--help"},
          "[Preview] Error: --port 99999999999999999999 is out of range\n");
}

TEST(PreviewOptions, UsageLineNamesTheProgram) {
    CaptureStderr();
    print_preview_usage("/opt/host/stream_preview");
    EXPECT_EQ(GetCapturedStderr(),
              "Usage: /opt/host/stream_preview --port <port> [--parent-port <port>] --width <w> "
              "--height <h> [--title <title>]\n");
}

TEST(PreviewStats, LineIsDueOnceASecondWithTheRateOfThatSecond) {
    const auto t0 = StatsInterval::Clock::now();
    StatsInterval interval(t0);
    PreviewTotals totals;
    totals.datagrams = 1000;
    totals.bytes = 3'000'000;
    totals.frames_completed = 12;
    totals.frames_shown = 11;
    totals.frames_expired = 2;
    totals.fragments_malformed = 3;
    EXPECT_EQ(interval.poll(t0 + std::chrono::milliseconds(999), totals), "");
    EXPECT_EQ(interval.poll(t0 + std::chrono::milliseconds(2000), totals),
              "[Preview] stats: datagrams=1000 completed=12 shown=11 expired=2 MBps=1.50 "
              "malformed=3\n");
    totals.bytes += 500'000;
    EXPECT_EQ(interval.flush(t0 + std::chrono::milliseconds(2500), totals),
              "[Preview] stats: datagrams=1000 completed=12 shown=11 expired=2 MBps=1.00 "
              "malformed=3\n");
}

}  // namespace
}  // namespace nimbar::preview
