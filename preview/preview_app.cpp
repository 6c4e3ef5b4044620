#include "preview/preview_app.h"

#include <SDL.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "net/datagram_drain.h"
#include "net/udp_socket.h"
#include "preview/frame_assembler.h"
#include "preview/preview_options.h"
#include "preview/preview_stats.h"

namespace nimbar::preview {

namespace {

// Large enough for the biggest fragment datagram (1440 bytes); anything longer is not ours.
constexpr size_t RECEIVE_BUFFER_SIZE = 2048;
// Holds a whole 1280x720 frame's datagrams while a pass draws.
constexpr int SOCKET_RECEIVE_BUFFER = 4 * 1024 * 1024;
// Longest a pass spends draining the socket. A full receive buffer drains in a few milliseconds;
// the budget only matters when datagrams arrive faster than they can be read, and then keeps
// window events and drawing alive.
constexpr auto DRAIN_BUDGET = std::chrono::milliseconds(25);
// Datagrams read between two looks at the clock while draining: about 100 us at full speed.
constexpr int DRAIN_CLOCK_STRIDE = 64;

struct WindowDeleter {
    void operator()(SDL_Window* window) const { SDL_DestroyWindow(window); }
};
struct RendererDeleter {
    void operator()(SDL_Renderer* renderer) const { SDL_DestroyRenderer(renderer); }
};
struct TextureDeleter {
    void operator()(SDL_Texture* texture) const { SDL_DestroyTexture(texture); }
};

// Calls SDL_Quit when it goes, after the window objects declared below it.
class SdlVideo {
  public:
    SdlVideo() = default;
    ~SdlVideo() { quit(); }
    SdlVideo(const SdlVideo&) = delete;
    SdlVideo& operator=(const SdlVideo&) = delete;
    void quit() {
        if (active) {
            SDL_Quit();
            active = false;
        }
    }

  private:
    bool active = true;
};

void print_progress(const char* line) {
    fputs(line, stdout);
    fflush(stdout);
}

// Draws the (black) texture once. A renderer's first draw can take tens of milliseconds while it
// builds its shaders; done before the socket opens, that stall cannot overflow the socket buffer
// with the first frames' datagrams.
void warm_up(SDL_Renderer* renderer, SDL_Texture* texture, int height) {
    void* pixels = nullptr;
    int pitch = 0;
    if (SDL_LockTexture(texture, nullptr, &pixels, &pitch) == 0) {
        std::memset(pixels, 0, static_cast<size_t>(pitch) * static_cast<size_t>(height));
        SDL_UnlockTexture(texture);
    }
    SDL_RenderClear(renderer);
    SDL_RenderCopy(renderer, texture, nullptr, nullptr);
    SDL_RenderPresent(renderer);
}

bool quit_requested(const SDL_Event& event) {
    return event.type == SDL_QUIT ||
           (event.type == SDL_WINDOWEVENT && event.window.event == SDL_WINDOWEVENT_CLOSE);
}

// Reads every waiting datagram into the assembler, within DRAIN_BUDGET. The arrival times it
// stamps are late by some microseconds, nothing against the 100 ms a frame may take to complete.
void drain_socket(net::UDPSocket& socket, FrameAssembler& assembler, PreviewTotals& totals) {
    uint8_t buffer[RECEIVE_BUFFER_SIZE];
    net::drain_datagrams(socket, buffer, {0, DRAIN_BUDGET, DRAIN_CLOCK_STRIDE},
                         [&](const uint8_t* datagram, int length,
                             FrameAssembler::Clock::time_point now, protocol::Sender from) {
                             ++totals.datagrams;
                             totals.bytes += static_cast<uint64_t>(length);
                             assembler.handle_datagram(datagram, length, from, now);
                         });
}

}  // namespace

int run_preview(int argc, char** argv) {
    PreviewOptions options;
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "stream_preview";
    if (!parse_preview_args(argc, argv, options)) {
        print_preview_usage(program);
        return 1;
    }
    if (options.help) {
        print_preview_help(program);
        return 0;
    }
    printf("[Preview] Starting preview window (%dx%d) on port %u\n", options.width, options.height,
           static_cast<unsigned>(options.port));
    fflush(stdout);

    net::start_networking();

    // Frames drawn in the display's own pixels on a scaled display, not stretched by Windows.
    SDL_SetHint(SDL_HINT_WINDOWS_DPI_AWARENESS, "permonitorv2");
    if (SDL_Init(SDL_INIT_VIDEO) < 0) {
        fprintf(stderr, "[Preview] SDL_Init failed: %s\n", SDL_GetError());
        return 1;
    }
    SdlVideo sdl;

    std::unique_ptr<SDL_Window, WindowDeleter> window(SDL_CreateWindow(
        options.title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, options.width / 2,
        options.height / 2, SDL_WINDOW_SHOWN | SDL_WINDOW_RESIZABLE));
    if (!window) {
        fprintf(stderr, "[Preview] SDL_CreateWindow failed: %s\n", SDL_GetError());
        return 1;
    }

    std::unique_ptr<SDL_Renderer, RendererDeleter> renderer(
        SDL_CreateRenderer(window.get(), -1, SDL_RENDERER_ACCELERATED | SDL_RENDERER_PRESENTVSYNC));
    if (!renderer) {
        fprintf(stderr, "[Preview] Accelerated renderer failed, trying software: %s\n",
                SDL_GetError());
        renderer.reset(SDL_CreateRenderer(window.get(), -1, SDL_RENDERER_SOFTWARE));
        if (!renderer) {
            fprintf(stderr, "[Preview] SDL_CreateRenderer failed: %s\n", SDL_GetError());
            return 1;
        }
    }

    std::unique_ptr<SDL_Texture, TextureDeleter> texture(
        SDL_CreateTexture(renderer.get(), SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING,
                          options.width, options.height));
    if (!texture) {
        fprintf(stderr, "[Preview] SDL_CreateTexture failed: %s\n", SDL_GetError());
        return 1;
    }

    // Both before the socket opens: once it does, datagrams queue up while anything is slow.
    warm_up(renderer.get(), texture.get(), options.height);
    FrameAssembler assembler(options.width, options.height);
    assembler.preallocate();

    net::UDPSocket socket;
    if (!socket.open(options.port)) {
        fprintf(stderr, "[Preview] Failed to bind UDP socket to port %u\n",
                static_cast<unsigned>(options.port));
        return 1;
    }
    socket.set_receive_buffer_size(SOCKET_RECEIVE_BUFFER);
    printf("[Preview] Ready to receive frames on port %u\n", static_cast<unsigned>(options.port));
    fflush(stdout);

    PreviewTotals totals;
    StatsInterval stats_interval(std::chrono::steady_clock::now());
    const auto update_totals = [&] {
        totals.frames_completed = assembler.counters().frames_completed;
        totals.frames_expired = assembler.counters().frames_expired;
        totals.fragments_malformed = assembler.counters().fragments_malformed;
    };

    bool quit = false;
    while (!quit) {
        SDL_Event event;
        while (SDL_PollEvent(&event)) {
            quit = quit || quit_requested(event);
        }

        drain_socket(socket, assembler, totals);

        if (assembler.has_frame()) {
            SDL_UpdateTexture(texture.get(), nullptr, assembler.get_latest_frame().data(),
                              options.width * 4);
            SDL_RenderClear(renderer.get());
            SDL_RenderCopy(renderer.get(), texture.get(), nullptr, nullptr);
            SDL_RenderPresent(renderer.get());
            assembler.release_frame();
            ++totals.frames_shown;
        }

        if (options.stats) {
            update_totals();
            const std::string line = stats_interval.poll(std::chrono::steady_clock::now(), totals);
            if (!line.empty()) {
                print_progress(line.c_str());
            }
        }
        SDL_Delay(1);
    }

    if (options.stats) {
        update_totals();
        print_progress(stats_interval.flush(std::chrono::steady_clock::now(), totals).c_str());
    }
    print_progress("[Preview] Shutting down\n");
    texture.reset();
    renderer.reset();
    window.reset();
    sdl.quit();
    net::stop_networking();
    return 0;
}

}  // namespace nimbar::preview
