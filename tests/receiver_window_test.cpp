// The receiver's window on a real X display, fed by the real stream_host over loopback: what a
// user sees, read back from the screen.

#include <gtest/gtest.h>

#include <SDL.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>

#include "host/test_pattern.h"
#include "net/udp_socket.h"
#include "receiver/video_receiver.h"
#include "tests/support/child_process.h"
#include "tests/support/encoded_stream.h"
#include "tests/support/x11_window.h"
#include "viewer/viewer_loop.h"

namespace nimbar::testing {
namespace {

using namespace std::chrono_literals;

// Codec and scaling error allowed at the centre of a flat colour bar.
constexpr int COLOUR_TOLERANCE = 40;

bool close_to(const Pixel& pixel, const host::Rgb& colour) {
    return std::abs(pixel.r - colour.r) <= COLOUR_TOLERANCE &&
           std::abs(pixel.g - colour.g) <= COLOUR_TOLERANCE &&
           std::abs(pixel.b - colour.b) <= COLOUR_TOLERANCE;
}

std::string describe(const Pixel& pixel) {
    return std::to_string(pixel.r) + "," + std::to_string(pixel.g) + "," + std::to_string(pixel.b);
}

// A viewer's loop in miniature: window events, every waiting datagram, one update.
void run_passes(client::VideoReceiver& receiver, net::UDPSocket& socket,
                std::chrono::milliseconds duration) {
    uint8_t buffer[2048];
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
        SDL_Event event;
        while (SDL_PollEvent(&event)) {
        }
        for (int length; (length = socket.receive(buffer, sizeof buffer, 0)) > 0;) {
            receiver.handle_video_packet(buffer, length, 0, client::VideoReceiver::Clock::now());
        }
        receiver.update();
        std::this_thread::sleep_for(1ms);
    }
}

TEST(ReceiverWindow, ShowsTheHostsStreamAndZoomsIntoIt) {
    if (std::getenv("DISPLAY") == nullptr) {
        GTEST_SKIP() << "needs an X display (scripts/test.sh runs Xvfb)";
    }
    if (std::getenv("NIMBAR_VIDEO_PLAYER") != nullptr) {
        GTEST_SKIP() << "runs the receiver inside this Linux process: no other build takes part";
    }
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    {
        X11Session x11;
        ASSERT_TRUE(x11.connected());
        net::UDPSocket socket;
        ASSERT_TRUE(socket.open(0));
        socket.set_receive_buffer_size(4 * 1024 * 1024);
        client::VideoReceiver receiver;
        ASSERT_TRUE(receiver.init_standalone(1280, 720, 0));
        const std::string title = "Receiver window test";
        SDL_SetWindowTitle(SDL_GetWindowFromID(receiver.get_window_id()), title.c_str());

        ChildProcess host({STREAM_HOST_BIN, "--port", std::to_string(socket.local_port()),
                           "--codec", "vp8", "--width", "640", "--height", "360", "--preencode",
                           "30", "--seconds", "4"});
        run_passes(receiver, socket, 1500ms);
        ASSERT_GT(receiver.statistics().pictures_presented.load(), 0u) << host.stderr_text();
        const auto window = x11.find_window(title, 10s);
        ASSERT_TRUE(window);

        const auto whole = x11.capture(*window);
        ASSERT_TRUE(whole);
        for (int bar = 0; bar < host::PATTERN_BAR_COUNT; ++bar) {
            const int x = (2 * bar + 1) * whole->width / 14;
            const Pixel pixel = whole->at(x, whole->height / 3);
            EXPECT_TRUE(close_to(pixel, host::PATTERN_BARS[bar]))
                << "bar " << bar << ": " << describe(pixel);
        }

        // The top-left quarter of the picture, enlarged to the whole window.
        receiver.set_source_rect(true, 0, 0, 640, 360);
        run_passes(receiver, socket, 300ms);
        const auto zoomed = x11.capture(*window);
        ASSERT_TRUE(zoomed);
        for (int bar = 0; bar < 3; ++bar) {
            const int video_x = (2 * bar + 1) * 1280 / 14;
            const int x = video_x * zoomed->width / 640;
            const Pixel pixel = zoomed->at(x, zoomed->height / 2);
            EXPECT_TRUE(close_to(pixel, host::PATTERN_BARS[bar]))
                << "zoomed bar " << bar << " at " << x << ": " << describe(pixel);
        }
        // A column that shows bar 1 in the whole picture shows bar 0 once enlarged twice.
        const int column = whole->width * 3 / 14;
        EXPECT_TRUE(close_to(whole->at(column, whole->height / 2), host::PATTERN_BARS[1]));
        EXPECT_TRUE(close_to(zoomed->at(column, zoomed->height / 2), host::PATTERN_BARS[0]));

        // A host encoding on a loaded machine may run late; it has done its part.
        host.send_signal(SIGTERM);
        EXPECT_TRUE(host.wait_exit(90s).has_value());
    }
    SDL_Quit();
}

// The render device reset under a running viewer (a lock screen, a driver update): after
// SDL_RENDER_TARGETS_RESET and after SDL_RENDER_DEVICE_RESET, whose texture is made anew, the
// newest picture is drawn again within 200 ms, without a new frame coming.
TEST(ReceiverWindow, ARenderDeviceResetGetsTheNewestPictureBackWithoutANewFrame) {
    if (std::getenv("DISPLAY") == nullptr) {
        GTEST_SKIP() << "needs an X display (scripts/test.sh runs Xvfb)";
    }
    if (std::getenv("NIMBAR_VIDEO_PLAYER") != nullptr) {
        GTEST_SKIP()
            << "runs the viewer's loop inside this Linux process: no other build takes part";
    }
    using Clock = std::chrono::steady_clock;
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    {
        net::UDPSocket socket;
        ASSERT_TRUE(socket.open(0));
        client::VideoReceiver receiver;
        ASSERT_TRUE(receiver.init_standalone(640, 360, 0));
        const auto frame = encode_pattern(host::VideoCodec::VP8, 640, 360, 1);
        ASSERT_FALSE(frame.empty());
        for (const auto& datagram : fragment_datagrams(frame[0], 1)) {
            receiver.handle_video_packet(datagram.data(), static_cast<int>(datagram.size()), 0,
                                         Clock::now());
        }
        while (receiver.statistics().pictures_published.load() == 0) {
            receiver.wait_for_picture(10ms);
        }
        viewer::ViewerOptions options;
        options.port = socket.local_port();
        SDL_Window* window = SDL_GetWindowFromID(receiver.get_window_id());
        viewer::ViewerLoop loop(options, receiver, socket, window);
        // Instead of the control bar: when each draw came, and whether it showed the green bar.
        std::vector<std::pair<Clock::time_point, bool>> draws;
        receiver.set_overlay_callback([&](SDL_Renderer* renderer, int w, int h) {
            const SDL_Rect pixel{w / 2, h / 3, 1, 1};
            uint32_t argb = 0;
            SDL_RenderReadPixels(renderer, &pixel, SDL_PIXELFORMAT_ARGB8888, &argb, 4);
            const Pixel drawn{static_cast<uint8_t>(argb >> 16), static_cast<uint8_t>(argb >> 8),
                              static_cast<uint8_t>(argb)};
            draws.emplace_back(Clock::now(), close_to(drawn, host::PATTERN_BARS[3]));
        });
        std::vector<Clock::time_point> resets;
        std::thread events([&] {
            for (const Uint32 type : {Uint32{SDL_RENDER_TARGETS_RESET},
                                      Uint32{SDL_RENDER_DEVICE_RESET}, Uint32{SDL_QUIT}}) {
                std::this_thread::sleep_for(400ms);
                resets.push_back(Clock::now());
                SDL_Event event{};
                event.type = type;
                SDL_PushEvent(&event);
            }
        });
        loop.run();
        events.join();
        for (size_t i = 0; i < 2; ++i) {
            const bool back = std::any_of(draws.begin(), draws.end(), [&](const auto& draw) {
                return draw.first > resets[i] && draw.first < resets[i] + 200ms && draw.second;
            });
            EXPECT_TRUE(back) << (i == 0 ? "after SDL_RENDER_TARGETS_RESET"
                                         : "after SDL_RENDER_DEVICE_RESET");
        }
    }
    SDL_Quit();
}

}  // namespace
}  // namespace nimbar::testing
