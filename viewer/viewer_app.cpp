#include "viewer/viewer_app.h"

#include <SDL.h>

#include <cstdio>
#include <memory>
#include <string>

#include "audio/bounded_close.h"
#include "net/udp_socket.h"
#include "receiver/video_receiver.h"
#include "viewer/viewer_loop.h"
#include "viewer/viewer_options.h"

namespace nimbar::viewer {

namespace {

// A keyframe of a text-heavy 1080p screen runs to 420 KB, sent as one burst; the system's default
// buffer (about 200 KB) would lose part of every one.
constexpr int SOCKET_RECEIVE_BUFFER = 4 * 1024 * 1024;

// SDL with video and audio. Without a usable audio driver the viewer still shows the stream: video
// alone, and screen audio reports its own failure later, and starts SDL's audio itself once a
// sound card can be opened.
bool start_sdl() {
    // Window sizes in the display's own pixels, so that a picture the size of the window is drawn
    // 1:1 on a scaled display instead of stretched by Windows, blurring its text (the manifest
    // says the same; this covers a program started without it).
    SDL_SetHint(SDL_HINT_WINDOWS_DPI_AWARENESS, "permonitorv2");
#ifdef _WIN32
    // Direct3D 9, chosen rather than left to SDL's order of the day. Measured under wine beside
    // Direct3D 11 at 1080p30: 98 % of the pictures presented at a core's worth of CPU against
    // 72 % at 1.7 cores, and 6 ms of latency against 78. Its device can be lost (a display mode
    // change, a driver reset), which the receiver lives through by presenting again until the
    // device is back, and drawing again after SDL has reset it. Choosing a driver turns SDL's draw
    // batching off; it is asked for again.
    SDL_SetHint(SDL_HINT_RENDER_DRIVER, "direct3d");
    SDL_SetHint(SDL_HINT_RENDER_BATCHING, "1");
#endif
    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_AUDIO) == 0) {
        return true;
    }
    const std::string audio_error = SDL_GetError();
    if (SDL_Init(SDL_INIT_VIDEO) == 0) {
        fprintf(stderr, "[VideoPlayer] SDL audio unavailable, continuing without sound: %s\n",
                audio_error.c_str());
        return true;
    }
    fprintf(stderr, "[VideoPlayer] SDL_Init failed: %s\n", SDL_GetError());
    return false;
}

}  // namespace

int run_viewer(int argc, char** argv) {
    ViewerOptions options;
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "video_player";
    if (!parse_viewer_args(argc, argv, options)) {
        print_viewer_usage(program);
        return 1;
    }
    if (options.help) {
        print_viewer_help(program);
        return 0;
    }
    printf("[VideoPlayer] Starting on port %u for streamer %u (%s, %dx%d, audio=%s)\n",
           static_cast<unsigned>(options.port), static_cast<unsigned>(options.streamer_id),
           options.username.c_str(), options.width, options.height,
           options.has_audio ? "yes" : "no");
    fflush(stdout);

    if (!start_sdl()) {
        return 1;
    }
    auto receiver = std::make_unique<client::VideoReceiver>();
    if (!receiver->init_standalone(options.width, options.height, options.video_codec)) {
        fprintf(stderr, "[VideoPlayer] Failed to initialize video receiver\n");
        receiver.reset();
        audio::quit_sdl();
        return 1;
    }
    if (options.has_audio) {
        receiver->enable_screen_audio(true);
    }

    net::start_networking();
    auto socket = std::make_unique<net::UDPSocket>();
    if (!socket->open(options.port)) {
        fprintf(stderr, "[VideoPlayer] Failed to bind UDP socket to port %u\n",
                static_cast<unsigned>(options.port));
        socket.reset();
        receiver.reset();
        audio::quit_sdl();
        return 1;
    }
    socket->set_receive_buffer_size(SOCKET_RECEIVE_BUFFER);
    printf("[VideoPlayer] Listening on UDP port %u\n", static_cast<unsigned>(options.port));
    fflush(stdout);

    SDL_Window* window = SDL_GetWindowFromID(receiver->get_window_id());
    if (window != nullptr) {
        SDL_SetWindowTitle(window, ("Stream: " + options.username).c_str());
    }
    {
        ViewerLoop loop(options, *receiver, *socket, window);
        loop.run();
    }

    printf("[VideoPlayer] Shutting down\n");
    fflush(stdout);
    receiver.reset();
    socket->close();
    net::stop_networking();
    audio::quit_sdl();
    return 0;
}

}  // namespace nimbar::viewer
