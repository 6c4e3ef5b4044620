// The main thread's cost of one screen-audio packet: VideoReceiver::handle_audio_packet with a
// 20 ms Opus packet (decode, gain, queue), and with three lost packets concealed before it. The
// playback queue is emptied after every packet (a cheap clear) so that every packet is really
// queued. A stream is 50 packets a second: 1% of a core is 200 us a packet.

#include <benchmark/benchmark.h>

#include <SDL.h>

#include <cstdlib>

#include "tests/receiver_probe.h"
#include "tests/support/opus_stream.h"

namespace {

using nimbar::client::ReceiverProbe;
using nimbar::client::VideoReceiver;

void run(benchmark::State& state, uint32_t sequence_step, float gain) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    SDL_InitSubSystem(SDL_INIT_AUDIO);
    {
        const auto packets = nimbar::testing::encode_tone(50);
        VideoReceiver receiver;
        ReceiverProbe::start_audio_only(receiver);
        receiver.enable_screen_audio(true);
        receiver.set_screen_volume(gain);
        uint32_t sequence = 1;
        size_t next = 0;
        for (auto _ : state) {
            const auto datagram = nimbar::testing::audio_datagram(sequence, packets[next]);
            receiver.handle_audio_packet(datagram.data(), static_cast<int>(datagram.size()));
            sequence += sequence_step;
            next = (next + 1) % packets.size();
            ReceiverProbe::drain_audio(receiver);
        }
        const auto& stats = receiver.statistics();
        state.counters["played"] = static_cast<double>(stats.audio_packets_played.load());
        state.counters["concealed"] = static_cast<double>(stats.audio_frames_concealed.load());
        state.counters["skipped"] = static_cast<double>(stats.audio_frames_skipped.load());
    }
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

void BM_AudioPacket(benchmark::State& state) {
    run(state, 1, 0.8f);
}
BENCHMARK(BM_AudioPacket)->Unit(benchmark::kMicrosecond);

void BM_AudioPacketAfterThreeLost(benchmark::State& state) {
    run(state, 4, 0.8f);
}
BENCHMARK(BM_AudioPacketAfterThreeLost)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "dummy");
    SDL_Init(SDL_INIT_VIDEO);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    SDL_Quit();
    return 0;
}
