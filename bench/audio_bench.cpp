// The cost of screen audio on the main thread, per 20 ms packet: ScreenAudioPlayer::handle_packet
// with an Opus packet (decode, gain, resample, queue), and with three lost packets concealed before
// it, each packet sent when it falls due, so that the queue stays at its target and every packet is
// really queued (only the call is timed); then the resampler alone on a packet at corrections of
// none (the samples copied untouched), the dead band's edge, 1 % and 2 %. Then the depth sampler's
// thread, per second. A stream is 50 packets a second: 1 % of a core is 200 us a packet.

#include <benchmark/benchmark.h>

#include <SDL.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <thread>
#include <vector>

#include "audio/audio_device.h"
#include "audio/drift_resampler.h"
#include "audio/screen_audio_player.h"
#include "tests/support/opus_stream.h"

namespace {

using nimbar::audio::ScreenAudioPlayer;
using Clock = std::chrono::steady_clock;

// Packets timed in each case: the sending waits for the sound card, 20 ms a packet.
constexpr int TIMED_PACKETS = 400;

void run(benchmark::State& state, uint32_t sequence_step, float gain) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    SDL_InitSubSystem(SDL_INIT_AUDIO);
    {
        const auto packets = nimbar::testing::encode_tone(50);
        ScreenAudioPlayer player;
        player.open();
        player.set_gain(gain);
        uint32_t sequence = 1;
        size_t next = 0;
        // A packet with concealment before it carries that much more sound.
        const auto interval = std::chrono::milliseconds(20) * sequence_step;
        auto due = Clock::now();
        for (auto _ : state) {
            state.PauseTiming();
            std::this_thread::sleep_until(due);
            due += interval;
            const auto datagram = nimbar::testing::audio_datagram(sequence, packets[next]);
            state.ResumeTiming();
            player.handle_packet(datagram, Clock::now());
            sequence += sequence_step;
            next = (next + 1) % packets.size();
        }
        const auto& stats = player.statistics();
        state.counters["played"] = static_cast<double>(stats.packets_played.load());
        state.counters["concealed"] = static_cast<double>(stats.frames_concealed.load());
        state.counters["skipped"] = static_cast<double>(stats.frames_skipped.load());
        state.counters["underruns"] = static_cast<double>(stats.underruns.load());
    }
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

void BM_AudioPacket(benchmark::State& state) {
    run(state, 1, 0.8f);
}
BENCHMARK(BM_AudioPacket)->Iterations(TIMED_PACKETS)->Unit(benchmark::kMicrosecond);

void BM_AudioPacketAfterThreeLost(benchmark::State& state) {
    run(state, 4, 0.8f);
}
BENCHMARK(BM_AudioPacketAfterThreeLost)
    ->Iterations(TIMED_PACKETS / 4)
    ->Unit(benchmark::kMicrosecond);

// One 20 ms packet of a two-pitch tone through the resampler, at state.range(0) ppm.
void BM_Resample(benchmark::State& state) {
    nimbar::audio::DriftResampler resampler;
    resampler.open(48000, 2);
    std::vector<int16_t> pcm(960 * 2);
    for (size_t i = 0; i < 960; ++i) {
        const double t = static_cast<double>(i) / 48000;
        pcm[2 * i] = static_cast<int16_t>(16000 * std::sin(2 * std::numbers::pi * 440 * t));
        pcm[2 * i + 1] = static_cast<int16_t>(16000 * std::sin(2 * std::numbers::pi * 660 * t));
    }
    std::vector<int16_t> out;
    out.reserve(4096);
    for (auto _ : state) {
        out.clear();
        resampler.process(pcm.data(), 960, static_cast<double>(state.range(0)), out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_Resample)->Arg(0)->Arg(500)->Arg(10000)->Arg(20000)->Unit(benchmark::kMicrosecond);

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The depth sampler's own cost: the process's CPU time over 10 s with screen audio enabled and
// idle (the sampler looking at the held queue), less that with only a playback device open.
void measure_sampler() {
    constexpr auto IDLE = std::chrono::seconds(10);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    SDL_InitSubSystem(SDL_INIT_AUDIO);
    double device_only = 0;
    {
        nimbar::audio::AudioDevice device;
        device.open(nimbar::audio::PLAYBACK, 48000, 2, 960, nullptr);
        const double start = cpu_seconds();
        std::this_thread::sleep_for(IDLE);
        device_only = cpu_seconds() - start;
    }
    double with_sampler = 0;
    {
        ScreenAudioPlayer player;
        player.open();
        const double start = cpu_seconds();
        std::this_thread::sleep_for(IDLE);
        with_sampler = cpu_seconds() - start;
    }
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    const double seconds = std::chrono::duration<double>(IDLE).count();
    printf(
        "depth sampler: %.2f %% of a core (%.0f us per 20 ms packet); a playback device alone "
        "%.2f %%\n",
        (with_sampler - device_only) / seconds * 100,
        (with_sampler - device_only) / seconds / 50 * 1e6, device_only / seconds * 100);
}

}  // namespace

int main(int argc, char** argv) {
    SDL_Init(0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    measure_sampler();
    SDL_Quit();
    return 0;
}
