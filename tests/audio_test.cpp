// The volume rule at its edges, the resampling that holds the playback queue (the controller on a
// simulated queue, the resampler on a tone), and the playback device through SDL's disk audio
// driver, hung in a pipe that nobody reads.

#include <gtest/gtest.h>

#include <SDL.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <numbers>
#include <vector>

#include "audio/audio_device.h"
#include "audio/bounded_close.h"
#include "audio/drift_resampler.h"
#include "audio/gain.h"
#include "audio/opus_decoder_handle.h"
#include "audio/playback_latency_controller.h"
#include "tests/support/opus_stream.h"

namespace nimbar::audio {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

std::vector<int16_t> gained(std::vector<int16_t> samples, float gain) {
    apply_gain(samples.data(), samples.size(), gain);
    return samples;
}

TEST(Gain, ExactlyOneLeavesSamplesAloneAndOtherGainsTruncateTowardZero) {
    const std::vector<int16_t> samples = {0, 1, -1, 3, -3, 32767, -32768};
    EXPECT_EQ(gained(samples, 1.0f), samples);
    EXPECT_EQ(gained(samples, 0.5f), (std::vector<int16_t>{0, 0, 0, 1, -1, 16383, -16384}));
    EXPECT_EQ(gained(samples, 0.0f), std::vector<int16_t>(samples.size(), 0));
    // Just below one is not one: 32767 * 0.9999999 truncates to 32766.
    EXPECT_EQ(gained({32767}, 0.9999999f), std::vector<int16_t>{32766});
}

TEST(Gain, ProductsBeyond16BitsAreClamped) {
    EXPECT_EQ(gained({20000, -20000, 16384, -16384}, 2.0f),
              (std::vector<int16_t>{32767, -32768, 32767, -32768}));
    EXPECT_EQ(gained({-32768, 32767}, -1.0f), (std::vector<int16_t>{32767, -32767}));
    EXPECT_EQ(gained({5, -5}, 1e30f), (std::vector<int16_t>{32767, -32768}));
    EXPECT_EQ(gained({5, -5}, std::numeric_limits<float>::infinity()),
              (std::vector<int16_t>{32767, -32768}));
    EXPECT_EQ(gained({5, -5, 0}, std::numeric_limits<float>::quiet_NaN()),
              (std::vector<int16_t>{0, 0, 0}));
}

TEST(OpusDecoderHandle, DecodesTwentyMillisecondsAndConcealsWithoutAPacket) {
    OpusDecoderHandle decoder;
    int16_t pcm[1920];
    const auto packet = testing::encode_tone_packet(20);
    EXPECT_EQ(decoder.decode(packet.data(), static_cast<int>(packet.size()), pcm, 960), -1);
    EXPECT_EQ(decoder.conceal(pcm, 960), -1);
    ASSERT_TRUE(decoder.create(48000, 2));
    EXPECT_EQ(decoder.decode(packet.data(), static_cast<int>(packet.size()), pcm, 960), 960);
    EXPECT_EQ(decoder.conceal(pcm, 960), 960);
    const auto long_packet = testing::encode_tone_packet(40);
    EXPECT_LT(decoder.decode(long_packet.data(), static_cast<int>(long_packet.size()), pcm, 960),
              0);
    EXPECT_FALSE(decoder.create(44444, 2));  // not a rate libopus takes
    EXPECT_FALSE(decoder.present());
    decoder.destroy();
}

// A queue fed every 20 ms by a sender `drift_ppm` fast, through the controller's corrections, and
// drained at exactly 20 ms a packet; from the depth a packet more than the target, as playback
// starts. What the last `judged` seconds of `seconds` looked like.
struct Regulated {
    double lowest_ms = 1e9;
    double highest_ms = -1e9;
    double mean_ppm = 0;
    double final_ppm = 0;
    bool untouched = true;  // every correction exactly 0
};

Regulated regulate(double drift_ppm, double seconds, double judged) {
    PlaybackLatencyController controller;
    double depth = TARGET_QUEUE_MS + 20;
    double ppm = 0;
    Regulated seen;
    const int packets = static_cast<int>(seconds * 50);
    const int from = packets - static_cast<int>(judged * 50);
    for (int i = 0; i < packets; ++i) {
        depth += 20.0 * (1 + drift_ppm / 1e6) * (1 + ppm / 1e6) - 20.0;
        ppm = controller.update(depth, 0.02);
        if (i >= from) {
            seen.lowest_ms = std::min(seen.lowest_ms, depth);
            seen.highest_ms = std::max(seen.highest_ms, depth);
            seen.mean_ppm += ppm / (packets - from);
            seen.untouched = seen.untouched && ppm == 0;
        }
    }
    seen.final_ppm = ppm;
    return seen;
}

TEST(PlaybackLatencyController, HoldsTheQueueAtItsTargetThroughClockDrift) {
    struct Case {
        double drift_ppm;
        double tolerance_ms;  // around the target, over the last minute
    };
    // Matched clocks are never corrected; within the dead band the queue wanders a little before
    // a correction brings it back; beyond it the correction settles on the drift.
    for (const Case& c : {Case{0, 0.1}, Case{100, 0.5}, Case{-100, 0.5}, Case{1000, 1},
                          Case{-1000, 1}, Case{10000, 1}, Case{-10000, 1}, Case{19000, 1}}) {
        const Regulated seen = regulate(c.drift_ppm, 120, 60);
        EXPECT_GE(seen.lowest_ms, TARGET_QUEUE_MS - c.tolerance_ms) << c.drift_ppm << " ppm";
        EXPECT_LE(seen.highest_ms, TARGET_QUEUE_MS + c.tolerance_ms) << c.drift_ppm << " ppm";
        // Holding means (1 + drift) (1 + correction) = 1.
        EXPECT_NEAR(seen.mean_ppm, -c.drift_ppm / (1 + c.drift_ppm / 1e6), 20) << c.drift_ppm;
        EXPECT_EQ(seen.untouched, c.drift_ppm == 0) << c.drift_ppm << " ppm";
    }
    // Beyond 2 % it gives up holding, at 2 %, rather than asking for more.
    EXPECT_EQ(regulate(30000, 60, 10).final_ppm, -MAX_CORRECTION_PPM);
    EXPECT_EQ(regulate(-30000, 60, 10).final_ppm, MAX_CORRECTION_PPM);
}

TEST(PlaybackLatencyController, GlidesWithinItsBoundsAndIgnoresSmallErrors) {
    PlaybackLatencyController controller;
    // A third of a millisecond shallow for half a second: too little to correct.
    for (int i = 0; i < 25; ++i) {
        EXPECT_EQ(controller.update(TARGET_QUEUE_MS - 0.3, 0.02), 0.0);
    }
    // Far too deep, then far too shallow: the correction moves by at most 200 ppm per 20 ms (but
    // for the dead band's edge), reaches and stays at 2 % either way.
    double last = 0;
    for (const double depth : {TARGET_QUEUE_MS + 150, 0.0}) {
        for (int i = 0; i < 500; ++i) {
            const double ppm = controller.update(depth, 0.02);
            const double step = std::abs(ppm - last) - (ppm == 0 || last == 0 ? DEAD_BAND_PPM : 0);
            EXPECT_LE(step, 200.0 + 1e-9) << "at " << depth << " ms, step " << i;
            EXPECT_LE(std::abs(ppm), MAX_CORRECTION_PPM);
            last = ppm;
        }
        EXPECT_EQ(last, depth > TARGET_QUEUE_MS ? -MAX_CORRECTION_PPM : MAX_CORRECTION_PPM);
        EXPECT_NEAR(controller.smoothed_depth_ms(), depth, 0.01);
    }
    // Shortening, and the queue runs dry all the same: no more shortening, learnt or under way.
    PlaybackLatencyController shortening;
    for (int i = 0; i < 500; ++i) {
        shortening.update(TARGET_QUEUE_MS + 150, 0.02);
    }
    shortening.ran_dry();
    EXPECT_EQ(shortening.correction_ppm(), 0.0);
    EXPECT_GE(shortening.update(TARGET_QUEUE_MS + 10, 0.02), 0.0);
}

// 48 kHz stereo: 440 Hz at half scale on the left, 660 Hz on the right, frames [first,
// first+count).
std::vector<int16_t> tone(int64_t first, int count) {
    std::vector<int16_t> pcm(static_cast<size_t>(count) * 2);
    for (int i = 0; i < count; ++i) {
        const double t = static_cast<double>(first + i) / 48000;
        pcm[2 * i] =
            static_cast<int16_t>(std::lround(16384 * std::sin(2 * std::numbers::pi * 440 * t)));
        pcm[2 * i + 1] =
            static_cast<int16_t>(std::lround(16384 * std::sin(2 * std::numbers::pi * 660 * t)));
    }
    return pcm;
}

TEST(DriftResampler, StretchesByTheCorrectionWithoutABreakAndLeavesMatchedClocksUntouched) {
    // A correction for 40 packets between stretches at none; each schedule in one stream.
    for (const double ppm : {20000.0, -20000.0, 600.0, -5000.0}) {
        DriftResampler resampler;
        ASSERT_TRUE(resampler.open(48000, 2));
        std::vector<int16_t> out;
        int64_t fed = 0;
        double expected = 0;
        for (int packet = 0; packet < 80; ++packet) {
            const double correction = packet >= 20 && packet < 60 ? ppm : 0.0;
            const auto pcm = tone(fed, 960);
            const size_t before = out.size();
            const size_t made = resampler.process(pcm.data(), 960, correction, out);
            EXPECT_EQ(made * 2, out.size() - before);
            fed += 960;
            expected += 960 * (1 + correction / 1e6);
        }
        const auto frames = static_cast<int64_t>(out.size() / 2);
        EXPECT_NEAR(static_cast<double>(frames), expected, 4) << ppm << " ppm";
        EXPECT_FALSE(resampler.resampling());
        // Without a break: no sample steps further from its neighbours than the tones allow (the
        // second difference of a sine of amplitude A at w radians a sample is at most A w^2).
        for (int channel = 0; channel < 2; ++channel) {
            const double w = 2 * std::numbers::pi * (channel == 0 ? 440 : 660) / 48000;
            double worst = 0;
            for (int64_t i = 1; i + 1 < frames; ++i) {
                const auto at = [&](int64_t f) {
                    return static_cast<double>(out[static_cast<size_t>(2 * f + channel)]);
                };
                worst = std::max(worst, std::abs(at(i + 1) - 2 * at(i) + at(i - 1)));
            }
            EXPECT_LT(worst, 16384 * w * w * 1.1 + 4) << ppm << " ppm, channel " << channel;
        }
        // Untouched once the correction is over: the tone exactly, as it was given.
        const auto reference = tone(fed - 960 * 10, 960 * 10);
        EXPECT_TRUE(std::equal(reference.begin(), reference.end(), out.end() - 960 * 10 * 2))
            << ppm << " ppm";
    }
}

// SDL's audio subsystem on the disk driver, writing to a file of the test's own.
class DiskAudio : public ::testing::Test {
  protected:
    void SetUp() override {
        path = (std::filesystem::temp_directory_path() /
                ("nimbar_audio_" + std::to_string(::getpid()) + ".raw"))
                   .string();
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", path.c_str(), 1);
        ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_AUDIO), 0) << SDL_GetError();
    }
    void TearDown() override {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        std::filesystem::remove(path);
    }
    std::string path;
};

TEST_F(DiskAudio, OpensAsAskedAndQueuesOnlyWhenOpen) {
    AudioDevice device;
    const std::vector<int16_t> samples(960, 1000);
    device.queue(samples.data(), 960);  // closed: nothing, no report
    EXPECT_EQ(device.queued_bytes(), 0u);

    CaptureStdout();
    ASSERT_TRUE(device.open(PLAYBACK, 48000, 2, 960, nullptr));
    EXPECT_EQ(GetCapturedStdout(), "[Audio] Opened playback device: 48000 Hz, 2 ch, 960 samples\n");
    // A count is of 16-bit values: 960 of them are 480 stereo sample frames, played unchanged.
    const std::vector<int16_t> marked(960, 1234);
    device.queue(marked.data(), 960);
    for (int i = 0; i < 500 && device.queued_bytes() > 0; ++i) {
        SDL_Delay(10);
    }
    SDL_Delay(60);
    device.close();
    const auto played = testing::read_disk_audio(path);
    EXPECT_EQ(std::count(played.left.begin(), played.left.end(), 1234), 480);
    EXPECT_EQ(std::count(played.right.begin(), played.right.end(), 1234), 480);
    device.close();
    device.queue(samples.data(), 960);
    EXPECT_EQ(device.queued_bytes(), 0u);
}

TEST_F(DiskAudio, FailedOpenSaysWhyAndStaysClosed) {
    AudioDevice device;
    CaptureStderr();
    EXPECT_FALSE(device.open(PLAYBACK, 48000, 2, 960, "/nonexistent/directory/audio.raw"));
    const std::string errors = GetCapturedStderr();
    EXPECT_EQ(errors.rfind("[Audio] Failed to open device: ", 0), 0u) << errors;
    EXPECT_FALSE(device.is_open());
}

// A driver that hangs (here the disk driver, writing into a pipe that nobody reads) holds close()
// for a second, not for good; the close ends by itself once the driver does. Nothing is captured:
// that flushes every stdio stream, the pipe's too, which the driver holds locked.
TEST_F(DiskAudio, AHungDeviceHoldsItsCloseForASecondOnly) {
    const std::string pipe = path + ".pipe";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
    setenv("SDL_DISKAUDIOFILE", pipe.c_str(), 1);
    AudioDevice device;
    ASSERT_TRUE(device.open(PLAYBACK, 48000, 2, 960, nullptr));
    SDL_Delay(1000);  // the pipe's 64 KB take a third of a second
    const auto asked = std::chrono::steady_clock::now();
    device.close();
    const auto held = std::chrono::steady_clock::now() - asked;
    EXPECT_TRUE(held >= std::chrono::seconds(1) && held < std::chrono::seconds(3));
    EXPECT_EQ(unfinished_device_closes(), 1);
    char bytes[65536];
    for (int i = 0; i < 500 && unfinished_device_closes() > 0; ++i) {
        if (::read(reader, bytes, sizeof bytes) <= 0) {
            SDL_Delay(10);
        }
    }
    EXPECT_EQ(unfinished_device_closes(), 0);
    ::close(reader);
    std::filesystem::remove(pipe);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);  // the hold the device kept while left closing
}

}  // namespace
}  // namespace nimbar::audio
