// Which pictures the viewer really presents: the viewer's main loop (ViewerLoop and a
// VideoReceiver, in this process, on the display) fed by stream_host over loopback with a clip of
// pre-encoded frames, and every picture it presents compared with the pictures of the same clip
// decoded intact. A presented picture that matches none of them was decoded against a reference the
// decoder never had: a damaged picture shown as if it were true.
//
//   presented_pictures --clip <file.ivf> --port <p> --parent-port <c> --seconds <s>
//                      [--width <w> --height <h>]
//
// First decodes the clip frame by frame into a reference receiver and keeps a hash of each picture
// as drawn; then opens the viewer on --port (keyframe requests to --parent-port) for --seconds and
// prints one line:
//   [Pictures] presented=.. true=.. damaged=.. reference=.. completed=.. decoded=..
// The pictures are read back from the renderer in the overlay callback: keep them small (--width,
// --height; default 640 x 360). Exit code 3 when a damaged picture was presented.

#include <SDL.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "host/ivf_file.h"
#include "net/udp_socket.h"
#include "receiver/video_receiver.h"
#include "tests/support/drawn_pictures.h"
#include "viewer/viewer_loop.h"
#include "viewer/viewer_options.h"

namespace {

using namespace std::chrono_literals;
using nimbar::client::VideoReceiver;

// The viewer's socket buffer, as video_player sets it.
constexpr int SOCKET_RECEIVE_BUFFER = 4 * 1024 * 1024;

struct Options {
    std::string clip;
    uint16_t port = 0;
    uint16_t parent_port = 0;
    int seconds = 10;
    int width = 640;
    int height = 360;
};

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--clip") {
            options.clip = value;
        } else if (name == "--port") {
            options.port = static_cast<uint16_t>(std::atoi(value));
        } else if (name == "--parent-port") {
            options.parent_port = static_cast<uint16_t>(std::atoi(value));
        } else if (name == "--seconds") {
            options.seconds = std::atoi(value);
        } else if (name == "--width") {
            options.width = std::atoi(value);
        } else if (name == "--height") {
            options.height = std::atoi(value);
        } else {
            return false;
        }
    }
    return !options.clip.empty() && options.port != 0 && options.seconds > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        fprintf(stderr,
                "usage: presented_pictures --clip <file.ivf> --port <p> --parent-port <c> "
                "--seconds <s> [--width <w> --height <h>]\n");
        return 2;
    }
    nimbar::host::IvfClip clip;
    if (!nimbar::host::read_ivf(options.clip, clip) || clip.frames.empty()) {
        return 1;
    }
    const uint8_t codec = clip.codec == nimbar::host::VideoCodec::H264 ? 1 : 0;
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
        return 1;
    }
    int status = 0;
    {
        std::vector<std::vector<uint8_t>> frames;
        for (const auto& frame : clip.frames) {
            frames.push_back(frame.bytes);
        }
        const auto pictures = nimbar::testing::reference_pictures(frames, codec, options.width,
                                                                  options.height, frames.size());
        if (pictures.size() != frames.size()) {
            fprintf(stderr, "reference: %zu of %zu frames gave a picture\n", pictures.size(),
                    frames.size());
            SDL_Quit();
            return 1;
        }
        const std::unordered_set<uint64_t> reference(pictures.begin(), pictures.end());

        VideoReceiver receiver;
        nimbar::net::UDPSocket socket;
        if (!receiver.init_standalone(options.width, options.height, codec) ||
            !socket.open(options.port)) {
            SDL_Quit();
            return 1;
        }
        socket.set_receive_buffer_size(SOCKET_RECEIVE_BUFFER);
        nimbar::viewer::ViewerOptions viewer_options;
        viewer_options.port = options.port;
        viewer_options.parent_port = options.parent_port;
        viewer_options.width = options.width;
        viewer_options.height = options.height;
        viewer_options.video_codec = codec;
        printf("[Pictures] listening on %u with %zu reference pictures\n",
               static_cast<unsigned>(options.port), reference.size());
        fflush(stdout);

        // Pictures drawn, each counted once however often it is drawn again. Counting starts at the
        // first true picture: before it the window shows the fresh texture.
        uint64_t presented = 0;
        uint64_t damaged = 0;
        std::optional<uint64_t> last;
        nimbar::testing::DrawnPictureReader reader;
        {
            SDL_Window* window = SDL_GetWindowFromID(receiver.get_window_id());
            nimbar::viewer::ViewerLoop loop(viewer_options, receiver, socket, window);
            // Instead of the control bar: the reader.
            receiver.set_overlay_callback([&](SDL_Renderer* renderer, int width, int height) {
                const auto hash = reader.read(renderer, width, height);
                if (!hash || hash == last || (!last && !reference.contains(*hash))) {
                    return;
                }
                last = hash;
                ++presented;
                damaged += reference.contains(*hash) ? 0 : 1;
            });
            std::atomic<bool> done{false};
            std::thread timer([&] {
                const auto end =
                    std::chrono::steady_clock::now() + std::chrono::seconds(options.seconds);
                while (!done && std::chrono::steady_clock::now() < end) {
                    std::this_thread::sleep_for(50ms);
                }
                SDL_Event quit{};
                quit.type = SDL_QUIT;
                SDL_PushEvent(&quit);
            });
            loop.run();
            done = true;
            timer.join();
        }
        const auto& stats = receiver.statistics();
        printf(
            "[Pictures] presented=%llu true=%llu damaged=%llu reference=%zu completed=%llu "
            "decoded=%llu\n",
            static_cast<unsigned long long>(presented),
            static_cast<unsigned long long>(presented - damaged),
            static_cast<unsigned long long>(damaged), reference.size(),
            static_cast<unsigned long long>(stats.frames_completed.load()),
            static_cast<unsigned long long>(stats.frames_decoded.load()));
        fflush(stdout);
        status = damaged == 0 ? 0 : 3;
    }
    SDL_Quit();
    return status;
}
