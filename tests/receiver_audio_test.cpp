// The receiver's screen audio through SDL's disk audio driver: what a listener would hear, the
// concealment of lost packets, what is ignored, and the bound on playback latency.

#include <gtest/gtest.h>

#include <SDL.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/receiver_probe.h"
#include "tests/support/encoded_stream.h"
#include "tests/support/opus_stream.h"

namespace nimbar::client {
namespace {

using namespace std::chrono_literals;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

constexpr auto PACKET = 20ms;
// 200 ms of 48 kHz stereo 16-bit audio, and one 20 ms packet.
constexpr uint32_t LATENCY_BOUND_BYTES = 38400;
constexpr uint32_t PACKET_BYTES = 3840;

class ScreenAudioTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path = (std::filesystem::temp_directory_path() /
                ("nimbar_screen_audio_" + std::to_string(::getpid()) + ".raw"))
                   .string();
        setenv("SDL_AUDIODRIVER", driver(), 1);
        setenv("SDL_DISKAUDIOFILE", path.c_str(), 1);
        SDL_InitSubSystem(SDL_INIT_AUDIO);
        CaptureStdout();
        ASSERT_TRUE(receiver.init_standalone(320, 240, 0));
        GetCapturedStdout();
    }
    void TearDown() override {
        CaptureStdout();
        receiver.stop();
        GetCapturedStdout();
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        std::filesystem::remove(path);
    }
    virtual const char* driver() const { return "disk"; }

    void enable() {
        CaptureStdout();
        receiver.enable_screen_audio(true);
        enable_output = GetCapturedStdout();
    }
    void send(uint32_t sequence, const std::vector<uint8_t>& packet) {
        const auto datagram = testing::audio_datagram(sequence, packet);
        receiver.handle_audio_packet(datagram.data(), static_cast<int>(datagram.size()));
    }
    // Sends the packets at playback pace, then lets the device play them out.
    void play_paced(const std::vector<std::vector<uint8_t>>& packets, uint32_t first_sequence) {
        auto due = std::chrono::steady_clock::now();
        for (size_t i = 0; i < packets.size(); ++i) {
            std::this_thread::sleep_until(due);
            send(first_sequence + static_cast<uint32_t>(i), packets[i]);
            due += PACKET;
        }
        for (int i = 0; i < 200 && ReceiverProbe::audio_queued_bytes(receiver) > 0; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        std::this_thread::sleep_for(100ms);
    }
    // What the listener heard, once the device is closed.
    testing::StereoSamples heard() {
        CaptureStdout();
        receiver.stop();
        GetCapturedStdout();
        return testing::read_disk_audio(path);
    }
    const ReceiverStats& stats() { return receiver.statistics(); }

    std::string path;
    std::string enable_output;
    VideoReceiver receiver;
};

TEST_F(ScreenAudioTest, ToneArrivesInItsChannelsAtItsLevel) {
    enable();
    EXPECT_EQ(enable_output,
              "[Audio] Opened playback device: 48000 Hz, 2 ch, 960 samples\n"
              "[VideoReceiver] Screen audio enabled (stereo, 48kHz)\n");
    play_paced(testing::encode_tone(40), 1);
    const auto sound = testing::non_silent(heard());
    ASSERT_GT(sound.left.size(), 48000u * 7 / 10);  // about 800 ms of tone
    EXPECT_GT(testing::tone_power(sound.left, 440), 50 * testing::tone_power(sound.left, 660));
    EXPECT_GT(testing::tone_power(sound.right, 660), 50 * testing::tone_power(sound.right, 440));
    // A sine of half full scale has an RMS of 0.5 * 32767 / sqrt(2).
    EXPECT_NEAR(testing::rms(sound.left), 11585, 1800);
    EXPECT_NEAR(testing::rms(sound.right), 11585, 1800);
    EXPECT_EQ(stats().audio_packets_played.load(), 40u);
    EXPECT_EQ(stats().audio_frames_concealed.load(), 0u);
}

TEST_F(ScreenAudioTest, HalfGainHalvesTheAmplitude) {
    enable();
    receiver.set_screen_volume(0.5f);
    play_paced(testing::encode_tone(40), 1);
    const auto sound = testing::non_silent(heard());
    ASSERT_GT(sound.left.size(), 48000u / 2);
    EXPECT_NEAR(testing::rms(sound.left), 11585 / 2, 900);
}

TEST_F(ScreenAudioTest, MutedStreamStillPlaysSilenceAtItsPace) {
    enable();
    receiver.set_screen_volume(0.0f);
    play_paced(testing::encode_tone(25), 1);
    const auto all = heard();
    EXPECT_TRUE(testing::non_silent(all, 0).left.empty());  // nothing but zeros
    EXPECT_GE(all.left.size(), 25u * 960);
    EXPECT_EQ(stats().audio_packets_played.load(), 25u);
}

TEST_F(ScreenAudioTest, GapsAreConcealedWithAtMostThreeFrames) {
    enable();
    const auto packets = testing::encode_tone(12);
    send(7, packets[0]);  // the first packet never conceals
    EXPECT_EQ(stats().audio_frames_concealed.load(), 0u);
    send(11, packets[1]);  // 8, 9, 10 lost
    EXPECT_EQ(stats().audio_frames_concealed.load(), 3u);
    send(30, packets[2]);  // 18 lost: still three
    EXPECT_EQ(stats().audio_frames_concealed.load(), 6u);
    send(32, packets[3]);  // 10, 12, 11, 13 style: one before 32
    send(31, packets[4]);  // late, played, none
    send(33, packets[5]);  // one before 33 (32 counted back to 31)
    EXPECT_EQ(stats().audio_frames_concealed.load(), 8u);
    send(33, packets[6]);  // a repeat is played again
    send(1, packets[7]);   // numbering started over: followed without concealment
    send(2, packets[8]);
    EXPECT_EQ(stats().audio_frames_concealed.load(), 8u);
    EXPECT_EQ(stats().audio_packets_played.load(), 9u);
}

TEST_F(ScreenAudioTest, MalformedAndOversizedPacketsAreDroppedSilently) {
    enable();
    const auto packet = testing::encode_tone(1)[0];
    auto datagram = testing::audio_datagram(1, packet);
    CaptureStderr();
    // data_size one byte beyond the datagram
    receiver.handle_audio_packet(datagram.data(), static_cast<int>(datagram.size()) - 1);
    receiver.handle_audio_packet(datagram.data(), 27);
    EXPECT_EQ(stats().audio_packets_played.load(), 0u);
    // Exactly the datagram, and with bytes after the packet: both played.
    receiver.handle_audio_packet(datagram.data(), static_cast<int>(datagram.size()));
    datagram.push_back(0x55);
    receiver.handle_audio_packet(datagram.data(), static_cast<int>(datagram.size()));
    EXPECT_EQ(stats().audio_packets_played.load(), 2u);
    // A 40 ms packet does not fit the 20 ms frame: dropped, no line.
    send(2, testing::encode_tone_packet(40));
    EXPECT_EQ(stats().audio_packets_undecodable.load(), 1u);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(ScreenAudioTest, IgnoredUntilEnabledAndAfterTheStop) {
    const auto packet = testing::encode_tone(1)[0];
    send(1, packet);
    EXPECT_EQ(stats().audio_packets_played.load(), 0u);
    enable();
    CaptureStdout();
    receiver.enable_screen_audio(true);  // once is enough
    receiver.enable_screen_audio(false);
    EXPECT_EQ(GetCapturedStdout(), "");
    send(2, packet);
    EXPECT_EQ(stats().audio_packets_played.load(), 1u);
    CaptureStdout();
    receiver.stop();
    GetCapturedStdout();
    EXPECT_FALSE(ReceiverProbe::screen_audio_enabled(receiver));
    send(3, packet);
    EXPECT_EQ(stats().audio_packets_played.load(), 1u);
}

TEST_F(ScreenAudioTest, PlaybackNeverFallsFurtherBehindThan200Ms) {
    enable();
    // A host whose clock runs twice as fast as the sound card: two packets every 20 ms.
    const auto packets = testing::encode_tone(150);
    uint32_t deepest = 0;
    auto due = std::chrono::steady_clock::now();
    for (size_t i = 0; i < packets.size(); ++i) {
        std::this_thread::sleep_until(due);
        send(static_cast<uint32_t>(i + 1), packets[i]);
        deepest = std::max(deepest, ReceiverProbe::audio_queued_bytes(receiver));
        due += PACKET / 2;
    }
    EXPECT_LE(deepest, LATENCY_BOUND_BYTES + PACKET_BYTES);
    EXPECT_GT(stats().audio_frames_skipped.load(), 0u);
    EXPECT_EQ(stats().audio_packets_played.load(), 150u);  // all decoded, some not queued
}

class FailedAudioDeviceTest : public ScreenAudioTest {
  protected:
    const char* driver() const override { return "no-such-driver"; }
};

TEST_F(FailedAudioDeviceTest, ScreenAudioStaysOffAndVideoCarriesOn) {
    CaptureStderr();
    CaptureStdout();
    receiver.enable_screen_audio(true);
    EXPECT_EQ(GetCapturedStdout(), "");
    const std::string errors = GetCapturedStderr();
    EXPECT_EQ(errors.rfind("[Audio] Failed to open device: ", 0), 0u) << errors;
    EXPECT_NE(errors.find("\n[VideoReceiver] Failed to open screen audio playback device\n"),
              std::string::npos)
        << errors;
    EXPECT_FALSE(ReceiverProbe::screen_audio_enabled(receiver));
    send(1, testing::encode_tone(1)[0]);
    EXPECT_EQ(stats().audio_packets_played.load(), 0u);

    const auto frames = testing::encode_pattern(host::VideoCodec::VP8, 320, 240, 1);
    for (const auto& datagram : testing::fragment_datagrams(frames[0], 1)) {
        receiver.handle_video_packet(datagram.data(), static_cast<int>(datagram.size()));
    }
    for (int i = 0; i < 2000 && stats().pictures_published.load() == 0; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(stats().pictures_published.load(), 1u);
}

}  // namespace
}  // namespace nimbar::client
