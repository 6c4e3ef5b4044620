// The receiver's screen audio through SDL's disk audio driver: what a listener would hear, the
// concealment of lost packets, what is ignored, the bound on playback latency, the hold before
// playback and after a stall, and a steady latency through the sender's clock drift and jitter.

#include <gtest/gtest.h>

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <complex>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <numbers>
#include <numeric>
#include <thread>

#include "audio/playback_latency_controller.h"
#include "host/audio_jitter.h"
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

TEST_F(ScreenAudioTest, PlaybackWaitsForAFullQueueAtTheStartAndAfterRunningDry) {
    enable();
    const auto packets = testing::encode_tone(4);
    const auto held = [&](uint32_t sequence) {
        send(sequence, packets[sequence - 1]);
        const uint32_t queued = ReceiverProbe::audio_queued_bytes(receiver);
        std::this_thread::sleep_for(100ms);  // five device buffers: gone if it played
        return queued > 0 && ReceiverProbe::audio_queued_bytes(receiver) == queued;
    };
    // The target, two packets, before the first sample plays.
    EXPECT_TRUE(held(1));
    send(2, packets[1]);
    for (int i = 0; i < 200 && ReceiverProbe::audio_queued_bytes(receiver) > 0; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(stats().audio_underruns.load(), 0u);
    // Run dry: the next packet waits for one more before playback goes on.
    EXPECT_TRUE(held(3));
    EXPECT_EQ(stats().audio_underruns.load(), 1u);
    send(4, packets[3]);
    for (int i = 0; i < 200 && ReceiverProbe::audio_queued_bytes(receiver) > 0; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(ReceiverProbe::audio_queued_bytes(receiver), 0u);
    EXPECT_EQ(stats().audio_packets_played.load(), 4u);
}

// The sound card's clock, for a host that runs a given amount fast or slow against it whatever its
// pace (the disk driver's is about 1 % slow, and the machine's load moves it by as much again): the
// sound the disk driver has written, silence included, in milliseconds. It writes 20 ms at a time
// into a file that grows in the C library's 4 KiB blocks; the time since it last grew is added, up
// to one write.
class DiskClock {
  public:
    explicit DiskClock(std::string path) : path(std::move(path)) {}
    double ms(std::chrono::steady_clock::time_point now) {
        std::error_code error;
        const auto size = std::filesystem::file_size(path, error);
        if (!error && size != bytes) {
            bytes = size;
            grown = now;
        }
        const double since = std::chrono::duration<double, std::milli>(now - grown).count();
        return bytes / 192.0 + std::clamp(since, 0.0, 20.0);
    }

  private:
    std::string path;
    uintmax_t bytes = 0;
    std::chrono::steady_clock::time_point grown = std::chrono::steady_clock::now();
};

// Breaks in a tone of `hz` from sample `from` on, and its mean level: 50 ms windows (whole cycles
// of both pitches); a break is a window below half the level, or one whose phase turns unlike its
// neighbours' by more than 0.3 rad. A 2 % correction turns the phase steadily, up to 2.8 rad a
// window at 440 Hz; a skipped packet turns it by 1.3 rad at once.
std::pair<int, double> tone_breaks(const std::vector<int16_t>& samples, size_t from, double hz) {
    constexpr size_t WINDOW = 2400;
    const double w = 2 * std::numbers::pi * hz / 48000;
    std::vector<double> phases;
    std::vector<double> levels;  // the peak of a sine of the window's RMS
    for (size_t start = from; start + WINDOW <= samples.size(); start += WINDOW) {
        std::complex<double> z;
        double power = 0;
        for (size_t n = start; n < start + WINDOW; ++n) {
            z += static_cast<double>(samples[n]) * std::polar(1.0, -w * static_cast<double>(n));
            power += static_cast<double>(samples[n]) * samples[n];
        }
        phases.push_back(std::arg(z));
        levels.push_back(std::sqrt(2 * power / WINDOW));
    }
    const double level = std::accumulate(levels.begin(), levels.end(), 0.0) /
                         static_cast<double>(std::max<size_t>(levels.size(), 1));
    const auto wrap = [](double a) { return std::remainder(a, 2 * std::numbers::pi); };
    std::vector<double> turns;
    for (size_t k = 0; k + 1 < phases.size(); ++k) {
        turns.push_back(wrap(phases[k + 1] - phases[k]));
    }
    int breaks = 0;
    for (size_t k = 2; k + 2 < turns.size(); ++k) {
        std::vector<double> around;
        for (const size_t j : {k - 2, k - 1, k + 1, k + 2}) {
            around.push_back(turns[k - 1] + wrap(turns[j] - turns[k - 1]));
        }
        std::sort(around.begin(), around.end());
        const bool odd =
            std::abs(wrap(turns[k] - (around[1] + around[2]) / 2)) > 0.3 || levels[k] < level / 2;
        breaks += odd ? 1 : 0;
    }
    return {breaks, level};
}

TEST(ScreenAudioDrift, HostsFastAndSlowWithJitterPlayWithoutABreakAtASteadyDepth) {
    using Clock = std::chrono::steady_clock;
    const auto base = std::filesystem::temp_directory_path() /
                      ("nimbar_screen_audio_drift_" + std::to_string(::getpid()));
    setenv("SDL_AUDIODRIVER", "disk", 1);
    ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_AUDIO), 0) << SDL_GetError();
    // One stream of the tone for all, long enough; the first 6 s of sound settle, the last 10 s
    // are judged.
    constexpr double SECONDS = 16;
    constexpr double SETTLED = 6;
    const auto packets = testing::encode_tone(static_cast<int>(SECONDS * 50 * 1.02));
    struct Host {
        double ppm;
        std::string file;
        VideoReceiver receiver;
        double shallowest = 1e9;
        double deepest = 0;
        uint64_t underruns_settled = 0;
    };
    std::vector<std::unique_ptr<Host>> hosts;
    CaptureStdout();
    for (const double ppm : {1000.0, -1000.0, 10000.0, -10000.0}) {
        auto host = std::make_unique<Host>();
        host->ppm = ppm;
        host->file = base.string() + "_" + std::to_string(hosts.size()) + ".raw";
        setenv("SDL_DISKAUDIOFILE", host->file.c_str(), 1);
        ReceiverProbe::start_audio_only(host->receiver);
        host->receiver.enable_screen_audio(true);
        hosts.push_back(std::move(host));
    }
    GetCapturedStdout();
    // Each host on a thread of its own, on the sound card's clock but fast or slow by its ppm,
    // sending up to 20 ms late in bursts.
    std::vector<std::thread> threads;
    for (auto& host : hosts) {
        threads.emplace_back([&packets, &host = *host] {
            const ReceiverStats& stats = host.receiver.statistics();
            host::AudioJitter jitter(20, 7);
            DiskClock card(host.file);
            const auto on_card = [](double ms) {
                return host::AudioJitter::Clock::time_point(
                    std::chrono::microseconds(std::llround(ms * 1000)));
            };
            double due_ms = 0;
            auto release = jitter.release(on_card(due_ms));
            for (size_t i = 0; i < packets.size() && due_ms < SECONDS * 1000;) {
                if (on_card(card.ms(Clock::now())) < release) {
                    std::this_thread::sleep_for(1ms);
                    continue;
                }
                const auto datagram =
                    testing::audio_datagram(static_cast<uint32_t>(i + 1), packets[i]);
                host.receiver.handle_audio_packet(datagram.data(),
                                                  static_cast<int>(datagram.size()));
                ++i;
                due_ms += 20 / (1 + host.ppm / 1e6);
                release = jitter.release(on_card(due_ms));
                if (due_ms < SETTLED * 1000) {
                    host.underruns_settled = stats.audio_underruns.load();
                } else {
                    host.shallowest = std::min(host.shallowest, stats.audio_depth_ms.load());
                    host.deepest = std::max(host.deepest, stats.audio_depth_ms.load());
                }
            }
            for (int i = 0; i < 200 && host.receiver.audio_queue_bytes() > 0; ++i) {
                std::this_thread::sleep_for(10ms);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (auto& host : hosts) {
        const ReceiverStats& stats = host->receiver.statistics();
        const uint64_t underruns = stats.audio_underruns.load() - host->underruns_settled;
        CaptureStdout();
        host->receiver.stop();
        GetCapturedStdout();
        const auto sound = testing::non_silent(testing::read_disk_audio(host->file), 2000);
        std::filesystem::remove(host->file);
        SCOPED_TRACE(::testing::Message() << "host " << host->ppm << " ppm");
        EXPECT_EQ(underruns, 0u);
        EXPECT_EQ(stats.audio_frames_skipped.load(), 0u);
        EXPECT_GE(host->shallowest, audio::TARGET_QUEUE_MS - 20);
        EXPECT_LE(host->deepest, audio::TARGET_QUEUE_MS + 20);
        ASSERT_GT(sound.left.size(), 48000u * (SECONDS - 1));
        // What was heard once settled: each tone unbroken at its level (half of full scale).
        for (const auto& [channel, hz] : {std::pair{&sound.left, 440.0}, {&sound.right, 660.0}}) {
            const auto [breaks, level] = tone_breaks(*channel, 48000 * SETTLED, hz);
            EXPECT_EQ(breaks, 0) << hz << " Hz";
            EXPECT_NEAR(level, 16384, 1600) << hz << " Hz";
        }
    }
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
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
