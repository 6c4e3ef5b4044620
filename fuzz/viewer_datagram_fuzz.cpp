// Any sequence of datagrams through the viewer's whole datagram path, handed on as its main loop
// hands them (viewer::dispatch_datagram): to handle_video_packet or handle_audio_packet, with the
// real decoders behind them (completed frames reach libavcodec on the decode thread, audio
// reaches libopus), a window under SDL's dummy video driver and sound to its dummy audio driver.
// No crash, no read past a datagram, no leak, no hang, and a stop that always completes.
//
// Input: one byte choosing the codec (bit 0: H.264, else VP8), then [u16 length][length bytes]
// records, each handed over as one datagram; the time advances 30 ms per datagram so that the
// 250 ms sweep and the frame id window's resynchronisation run too.

#include <SDL.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz/datagram_records.h"
#include "protocol/media_datagram.h"
#include "receiver/video_receiver.h"
#include "viewer/datagram_dispatch.h"

namespace {

// A small picture: decoding and converting stay cheap whatever size the stream claims.
constexpr int WIDTH = 64;
constexpr int HEIGHT = 48;
// Largest datagram handed over: more than any UDP datagram the viewer can read.
constexpr size_t MAX_DATAGRAM = 65536;
// How long the decode thread may take for what one input queued; a hang beyond it aborts.
constexpr auto DECODE_LIMIT = std::chrono::seconds(20);

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every receiver logs its start and teardown on stdout; the fuzzer does not need them.
    std::freopen("/dev/null", "w", stdout);
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "dummy");
    SDL_SetHint(SDL_HINT_AUDIODRIVER, "dummy");
    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_AUDIO) != 0) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using nimbar::client::VideoReceiver;
    namespace protocol = nimbar::protocol;
    if (size < 1) {
        return 0;
    }
    VideoReceiver receiver;
    if (!receiver.init_standalone(WIDTH, HEIGHT, (data[0] & 1) ? 1 : 0)) {
        std::abort();
    }
    // Opening and closing a playback device costs tens of milliseconds: only for inputs with sound.
    bool has_audio = false;
    nimbar::fuzzing::for_each_datagram(
        data + 1, size - 1, MAX_DATAGRAM, [&](const uint8_t* datagram, int length, size_t) {
            has_audio =
                has_audio || protocol::classify_datagram({datagram, static_cast<size_t>(length)}) ==
                                 protocol::DatagramKind::Audio;
        });
    receiver.enable_screen_audio(has_audio);
    const auto start = VideoReceiver::Clock::now();
    nimbar::fuzzing::for_each_datagram(
        data + 1, size - 1, MAX_DATAGRAM, [&](const uint8_t* datagram, int length, size_t index) {
            nimbar::viewer::dispatch_datagram(receiver, datagram, length,
                                              nimbar::fuzzing::sender_of(datagram, length),
                                              start + std::chrono::milliseconds(30 * index));
            receiver.take_keyframe_request();
        });
    // Let the decode thread finish what this input gave it, so that every frame is really decoded.
    const auto deadline = std::chrono::steady_clock::now() + DECODE_LIMIT;
    while (!receiver.wait_for_picture(std::chrono::milliseconds(10))) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::abort();
        }
        receiver.update();
    }
    receiver.update();
    return 0;
}
