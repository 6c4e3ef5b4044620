// The volume rule at its edges, and the playback device through SDL's disk audio driver.

#include <gtest/gtest.h>

#include <SDL.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <vector>

#include "audio/audio_device.h"
#include "audio/gain.h"
#include "audio/opus_decoder_handle.h"
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

}  // namespace
}  // namespace nimbar::audio
