// Playback latency under clock drift: Opus packets fed to a VideoReceiver by a host whose audio
// clock runs `ppm` parts per million fast (positive) or slow (negative) against the sound card,
// here SDL's disk driver. The disk driver's own pace is off real time by itself (it sleeps a
// buffer's length per buffer), so it is measured first, on 30 s of queued silence, and the host's
// packet period is set against it. Prints the deepest and the final playback queue in ms.
//
//   audio_latency_bench <seconds> <ppm>

#include <SDL.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

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
        ReceiverProbe::start_audio_only(receiver);
        receiver.enable_screen_audio(true);
        // The sound card's pace: how fast 30 s of queued silence drains.
        constexpr int CALIBRATION_SECONDS = 30;
        const std::vector<int16_t> silence(48000 * 2 * (CALIBRATION_SECONDS + 2), 0);
        ReceiverProbe::queue_audio(receiver, silence.data(), static_cast<int>(silence.size()));
        const double queued_at_start = ReceiverProbe::audio_queued_bytes(receiver);
        const auto calibration_start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(CALIBRATION_SECONDS));
        const double drained = queued_at_start - ReceiverProbe::audio_queued_bytes(receiver);
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - calibration_start)
                .count();
        const double card_rate = drained / elapsed / (BYTES_PER_MS * 1000);
        ReceiverProbe::drain_audio(receiver);
        printf("sound card (disk driver) plays at %+.0f ppm of real time\n", (card_rate - 1) * 1e6);

        const auto period = std::chrono::duration<double>(0.020 / (card_rate * (1 + ppm / 1e6)));
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
