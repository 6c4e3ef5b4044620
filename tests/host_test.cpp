// The substitute host's pieces that tests elsewhere rely on: a pattern whose pixels can be
// predicted, frames read from a file, reproducible impairments and a strict command line.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <set>

#include "host/frame_source.h"
#include "host/host_options.h"
#include "host/impairments.h"
#include "host/test_pattern.h"

namespace nimbar::host {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

Rgb pixel_at(const std::vector<uint8_t>& bgra, int width, int x, int y) {
    const size_t at = (static_cast<size_t>(y) * width + x) * 4;
    EXPECT_EQ(bgra[at + 3], 255);
    return {bgra[at + 2], bgra[at + 1], bgra[at]};
}

TEST(TestPattern, EveryPixelIsWhatThePredictionSays) {
    for (auto [width, height] :
         {std::pair{64, 48}, std::pair{1280, 720}, std::pair{7, 3}, std::pair{1, 1}}) {
        std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 4);
        for (uint32_t n : {1u, 2u, 300u, 4000000000u}) {
            draw_test_pattern(frame, width, height, n);
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x) {
                    ASSERT_EQ(pixel_at(frame, width, x, y),
                              pattern_colour_at(x, y, width, height, n))
                        << width << "x" << height << " frame " << n << " at " << x << "," << y;
                    ASSERT_NE(pixel_at(frame, width, x, y), Rgb{}) << "black at " << x << "," << y;
                }
            }
        }
    }
}

TEST(TestPattern, BarsInOrderAndTheBlockMovesWithTheFrame) {
    const int width = 1280;
    const int height = 720;
    for (int bar = 0; bar < PATTERN_BAR_COUNT; ++bar) {
        const int x = width * bar / PATTERN_BAR_COUNT + width / 14;
        EXPECT_EQ(pattern_colour_at(x, 10, width, height, 1), PATTERN_BARS[bar]);
    }
    const PatternLayout layout = pattern_layout(width, height);
    EXPECT_EQ(layout.bars_height, 480);
    const int y = layout.block_top + layout.block_size / 2;
    const int left1 = pattern_block_left(width, height, 1);
    const int left2 = pattern_block_left(width, height, 2);
    EXPECT_EQ(left2 - left1, layout.block_step);
    EXPECT_EQ(pattern_colour_at(left2 + layout.block_size - 1, y, width, height, 2), PATTERN_BLOCK);
    EXPECT_EQ(pattern_colour_at(left1, y, width, height, 2), PATTERN_BAND);
    EXPECT_LE(pattern_block_left(width, height, 1'000'000) + layout.block_size, width);
}

TEST(FrameSource, FileFramesComeInOrderAndLoop) {
    const auto path = std::filesystem::temp_directory_path() / "nimbar_host_test_frames.bgra";
    {
        std::ofstream file(path, std::ios::binary);
        for (char frame = 1; frame <= 2; ++frame) {
            file.write(std::string(2 * 2 * 4, frame).data(), 16);
        }
        file.write("partial", 7);  // not a whole frame: skipped
    }
    FrameSource source(2, 2, path.string());
    ASSERT_TRUE(source.ok());
    std::vector<uint8_t> frame;
    for (uint8_t expected : {1, 2, 1, 2, 1}) {
        ASSERT_TRUE(source.next(0, frame));
        EXPECT_EQ(frame, std::vector<uint8_t>(16, expected));
    }

    CaptureStderr();
    FrameSource too_small(4, 4, path.string());
    EXPECT_FALSE(too_small.ok());
    FrameSource missing(2, 2, (path.string() + ".missing"));
    EXPECT_FALSE(missing.ok());
    const std::string errors = GetCapturedStderr();
    EXPECT_NE(errors.find("holds no whole 4x4 BGRA frame"), std::string::npos);
    EXPECT_NE(errors.find("[Host] Error: cannot open"), std::string::npos);
    std::filesystem::remove(path);
}

TEST(Impairments, NoneSendsEveryFragmentInOrder) {
    Impairments none({});
    const auto& sends = none.schedule(5);
    EXPECT_EQ(sends, (std::vector<uint32_t>{0, 1, 2, 3, 4}));
}

TEST(Impairments, FractionsHoldAndTheSeedRepeatsThem) {
    ImpairmentSettings settings;
    settings.loss = 0.1;
    settings.duplicate = 0.05;
    settings.reorder = true;
    settings.seed = 42;
    Impairments first(settings);
    Impairments second(settings);
    std::vector<uint32_t> all_first;
    for (int frame = 0; frame < 100; ++frame) {
        const auto a = first.schedule(1000);
        const auto b = second.schedule(1000);
        ASSERT_EQ(a, b);
        all_first.insert(all_first.end(), a.begin(), a.end());
    }
    const auto& counts = first.counters();
    EXPECT_NEAR(static_cast<double>(counts.lost) / 100000, 0.1, 0.01);
    EXPECT_NEAR(static_cast<double>(counts.duplicated) / (100000 - counts.lost), 0.05, 0.01);
    EXPECT_EQ(all_first.size(), 100000 - counts.lost + counts.duplicated);

    settings.loss = 0;
    settings.duplicate = 0;
    Impairments shuffled(settings);
    auto order = shuffled.schedule(1000);
    EXPECT_FALSE(std::is_sorted(order.begin(), order.end()));
    std::sort(order.begin(), order.end());
    std::vector<uint32_t> every(1000);
    std::iota(every.begin(), every.end(), 0u);
    EXPECT_EQ(order, every);  // a permutation: nothing lost, nothing twice
}

bool parse(std::vector<const char*> args, HostOptions& options, std::string& errors) {
    args.insert(args.begin(), "stream_host");
    CaptureStderr();
    const bool ok = parse_host_args(static_cast<int>(args.size()), args.data(), options);
    errors = GetCapturedStderr();
    return ok;
}

TEST(HostOptions, AcceptsTheFullLine) {
    HostOptions options;
    std::string errors;
    ASSERT_TRUE(
        parse({"--port",    "5000",      "--width", "64",       "--height", "48",          "--fps",
               "59.94",     "--seconds", "2",       "--loss",   "0.25",     "--duplicate", "0.5",
               "--reorder", "--seed",    "7",       "--spread", "--input",  "x.bgra"},
              options, errors))
        << errors;
    EXPECT_EQ(options.port, 5000);
    EXPECT_EQ(options.width, 64);
    EXPECT_DOUBLE_EQ(options.fps, 59.94);
    EXPECT_EQ(options.frame_total(), 120);
    EXPECT_DOUBLE_EQ(options.impairments.loss, 0.25);
    EXPECT_DOUBLE_EQ(options.impairments.duplicate, 0.5);
    EXPECT_TRUE(options.impairments.reorder);
    EXPECT_EQ(options.impairments.seed, 7u);
    EXPECT_TRUE(options.spread);
    EXPECT_EQ(options.input, "x.bgra");
    ASSERT_TRUE(parse({"--port", "5000", "--frames", "3", "--seconds", "100"}, options, errors));
    EXPECT_EQ(options.frame_total(), 3);
}

TEST(HostOptions, RejectsWhatItCannotUse) {
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
        {{}, "[Host] Error: --port is required\n"},
        {{"--port", "0"}, "[Host] Error: --port takes a port from 1 to 65535, not '0'\n"},
        {{"--port", "70000"}, "[Host] Error: --port takes a port from 1 to 65535, not '70000'\n"},
        {{"--port", "5000", "--fps", "0"},
         "[Host] Error: --fps takes a frame rate above 0 and at most 1000, not '0'\n"},
        {{"--port", "5000", "--loss", "1.5"},
         "[Host] Error: --loss takes a fraction from 0 to 1, not '1.5'\n"},
        {{"--port", "5000", "--width", "12x"},
         "[Host] Error: --width takes a size from 1 to 16384, not '12x'\n"},
        {{"--port", "5000", "--fps"}, "[Host] Error: unknown option or missing value: --fps\n"},
        {{"--port", "5000", "--colour", "red"}, "[Host] Error: unknown option: --colour\n"},
        {{"--port", "5000", "--first-frame-id", "4294967200", "--frames", "97"},
         "[Host] Error: 97 frames from --first-frame-id 4294967200 would pass frame id "
         "4294967295\n"},
        {{"--port", "5000", "--width", "16384", "--height", "16384"},
         "[Host] Error: a 16384x16384 frame needs more than 65535 fragments\n"},
    };
    for (const auto& [args, line] : cases) {
        HostOptions options;
        std::string errors;
        EXPECT_FALSE(parse(args, options, errors));
        EXPECT_EQ(errors, line);
    }
    HostOptions last;  // the last frame may take the last id
    std::string errors;
    EXPECT_TRUE(parse({"--port", "5000", "--first-frame-id", "4294967200", "--frames", "96"}, last,
                      errors));
}

}  // namespace
}  // namespace nimbar::host
