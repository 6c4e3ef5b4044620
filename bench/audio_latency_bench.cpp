// Playback latency under clock drift: Opus packets fed to a VideoReceiver at 20 ms scaled by a
// host clock that runs `ppm` parts per million fast (positive) or slow (negative), played by SDL's
// disk driver at the sound card's pace. Prints the deepest and the final playback queue in ms.
//
//   audio_latency_bench <seconds> <ppm>

#include <SDL.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/receiver_probe.h"
#include "tests/support/opus_stream.h"

int main(int argc, char** argv) {
    using nimbar::client::ReceiverProbe;
    const double seconds = argc > 1 ? std::atof(argv[1]) : 300;
    const double ppm = argc > 2 ? std::atof(argv[2]) : 10000;
    const std::string file = "/tmp/nimbar_audio_latency_" + std::to_string(::getpid()) + ".raw";
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "dummy");
    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_AUDIO) < 0) {
        fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
        return 1;
    }
    constexpr double BYTES_PER_MS = 48000.0 * 4 / 1000;
    double deepest = 0;
    double final_depth = 0;
    uint64_t skipped = 0;
    {
        const auto packets = nimbar::testing::encode_tone(50);
        nimbar::client::VideoReceiver receiver;
        ReceiverProbe::start_reassembly_only(receiver);
        receiver.enable_screen_audio(true);
        const auto period = std::chrono::duration<double>(0.020 / (1 + ppm / 1e6));
        const auto count = static_cast<uint64_t>(seconds / period.count());
        const auto start = std::chrono::steady_clock::now();
        for (uint64_t i = 0; i < count; ++i) {
            std::this_thread::sleep_until(
                start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            period * static_cast<double>(i)));
            const auto datagram =
                nimbar::testing::audio_datagram(static_cast<uint32_t>(i + 1), packets[i % 50]);
            receiver.handle_audio_packet(datagram.data(), static_cast<int>(datagram.size()));
            final_depth = ReceiverProbe::audio_queued_bytes(receiver) / BYTES_PER_MS;
            deepest = std::max(deepest, final_depth);
        }
        skipped = receiver.statistics().audio_frames_skipped.load();
    }
    SDL_Quit();
    std::remove(file.c_str());
    printf(
        "audio clock %+.0f ppm for %.0f s: deepest queue %.1f ms, final %.1f ms, %llu frames "
        "skipped\n",
        ppm, seconds, deepest, final_depth, static_cast<unsigned long long>(skipped));
    return 0;
}
