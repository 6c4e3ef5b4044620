// The receiver's window on a real X display, fed by the real stream_host over loopback: what a
// user sees, read back from the screen. And the viewer's loop fed the streams of real encoders, as
// other hosts send them: every picture it presents, read back and judged.

#include <gtest/gtest.h>

#include <SDL.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>

#include "host/test_pattern.h"
#include "net/udp_socket.h"
#include "protocol/control_datagram.h"
#include "receiver/video_receiver.h"
#include "tests/support/child_process.h"
#include "tests/support/drawn_pictures.h"
#include "tests/support/encoded_stream.h"
#include "tests/support/encoder_clip.h"
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

// The receiver runs inside this Linux process, on the X display: no other build takes part.
#define REQUIRE_DISPLAY_IN_THIS_PROCESS()                                            \
    if (std::getenv("DISPLAY") == nullptr) {                                         \
        GTEST_SKIP() << "needs an X display (scripts/test.sh runs Xvfb)";            \
    }                                                                                \
    if (std::getenv("NIMBAR_VIDEO_PLAYER") != nullptr) {                             \
        GTEST_SKIP() << "runs inside this Linux process: no other build takes part"; \
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
    REQUIRE_DISPLAY_IN_THIS_PROCESS();
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
// newest picture is drawn again within 200 ms, without a new frame coming; before any picture
// came, the new texture is black.
TEST(ReceiverWindow, ARenderDeviceResetGetsTheNewestPictureBackWithoutANewFrame) {
    REQUIRE_DISPLAY_IN_THIS_PROCESS();
    using Clock = std::chrono::steady_clock;
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    {
        net::UDPSocket socket;
        ASSERT_TRUE(socket.open(0));
        client::VideoReceiver receiver;
        ASSERT_TRUE(receiver.init_standalone(640, 360, 0));
        std::optional<uint32_t> drawn_before_a_picture;
        receiver.set_overlay_callback([&](SDL_Renderer* renderer, int w, int h) {
            const SDL_Rect pixel{w / 2, h / 2, 1, 1};
            drawn_before_a_picture = 0;
            SDL_RenderReadPixels(renderer, &pixel, SDL_PIXELFORMAT_ARGB8888,
                                 &*drawn_before_a_picture, 4);
        });
        ASSERT_TRUE(receiver.recover_render_device()) << SDL_GetError();
        receiver.update();
        ASSERT_TRUE(drawn_before_a_picture);
        EXPECT_EQ(*drawn_before_a_picture & 0xFFFFFF, 0u) << std::hex << *drawn_before_a_picture;
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

// What other hosts send: clips of real encoders, made with the ffmpeg command-line tool, sent by a
// host of the test's own one frame (H.264 access unit, VP8 frame) at a time, as a real host sends
// them, into the viewer's loop in this process. Every picture it presents is read back and
// compared with the clip's pictures decoded intact by a receiver like it.

using Clock = std::chrono::steady_clock;

// The viewer's picture size: small, so that reading back every picture is cheap.
constexpr int VIEW_WIDTH = 320;
constexpr int VIEW_HEIGHT = 180;
// The host stops sending for this long once, as on a still screen, and again at the end.
constexpr auto STILL = 1500ms;
constexpr auto LAST_STILL = 500ms;
// With a loss the host sends until the picture has been whole for a while, at most this long.
constexpr auto LOSS_TIME = 5s;
// While waiting for a keyframe the viewer asks again this often.
constexpr auto ASK_AGAIN = 500ms;

// ffmpeg's moving test source at 30 frames/s for `seconds`.
std::string moving(const char* size, int seconds) {
    return "testsrc2=size=" + std::string(size) + ":rate=30:duration=" + std::to_string(seconds);
}
const std::string TWO_SECONDS = moving("640x360", 2);

const std::map<std::string, ClipRecipe> CLIPS = {
    {"baseline", {"libx264", "-preset veryfast -profile:v baseline -g 15", {TWO_SECONDS}}},
    {"b_frames", {"libx264", "-preset veryfast -profile:v high -bf 2 -g 15", {TWO_SECONDS}}},
    {"slices", {"libx264", "-preset veryfast -bf 0 -slices 4 -g 15", {TWO_SECONDS}}},
    // Under HRD signalling x264 writes buffering period and picture timing SEI with the frames.
    {"aud_sei",
     {"libx264",
      "-preset veryfast -bf 0 -x264-params aud=1:nal-hrd=vbr -maxrate 2M -bufsize 2M -g 15",
      {TWO_SECONDS}}},
    {"parameter_sets_once",
     {.encoder = "libx264",
      .options = "-preset veryfast -bf 0 -g 15",
      .sources = {TWO_SECONDS},
      .parameter_sets_once = true}},
    // A refresh wave every 15 frames or so, each from a recovery point; one IDR, the first frame,
    // which no schedule comes back to.
    {"intra_refresh",
     {"libx264",
      "-preset veryfast -bf 0 -x264-params intra-refresh=1 -g 15",
      {moving("640x360", 4)}}},
    {"yuv444", {"libx264", "-preset veryfast -bf 0 -pix_fmt yuv444p -g 15", {TWO_SECONDS}}},
    {"ten_bit", {"libx264", "-preset veryfast -bf 0 -pix_fmt yuv420p10le -g 15", {TWO_SECONDS}}},
    {"vp8_realtime",
     {"libvpx", "-deadline realtime -cpu-used 8 -lag-in-frames 0 -b:v 1M -g 15", {TWO_SECONDS}}},
    {"vp8_alt_ref",
     {.encoder = "libvpx",
      .options = "-deadline good -cpu-used 4 -auto-alt-ref 1 -lag-in-frames 16 -b:v 1M -g 15",
      .sources = {TWO_SECONDS},
      .two_pass = true}},
    {"size_change",
     {"libx264", "-preset veryfast -bf 0 -g 15", {moving("1280x720", 1), moving("1920x1080", 1)}}},
};

// Whether the clip has what its name promises, so that no row tests less than it says.
bool clip_keeps_its_promise(const std::string& name, const EncoderClip& clip) {
    const auto& pictures = clip.picture;
    if (name == "b_frames") {  // pictures come out in another order than their frames
        return !std::is_sorted(pictures.begin(), pictures.end());
    }
    if (name == "vp8_alt_ref") {  // frames never shown
        return std::count(pictures.begin(), pictures.end(), -1) > 0;
    }
    const auto& recovery = clip.recovery;  // recovery points
    return name != "intra_refresh" ||
           std::count_if(recovery.begin(), recovery.end(), [](int n) { return n > 0; }) > 1;
}

// One clip as one host sends it.
struct HostRow {
    const char* name;
    const char* clip;
    int fps;
    bool answers;  // "KFRQ" makes it jump to the clip's next restart point; else it sends on
    uint32_t first_id;
    // After the pause, the frame this many before a restart point is not sent (0: none is lost).
    int lost_ahead;
};

void PrintTo(const HostRow& row, std::ostream* out) {
    *out << row.name;
}

// What the host did and saw.
struct HostReport {
    int requests = 0;       // "KFRQ" received
    int pictures_sent = 0;  // pictures of the frames sent
    int pictures_out = 0;   // of those, the ones a decoder hands out before the next frame
    // Of those, the ones a viewer can show: none from a loss until the picture is whole again.
    int pictures_expected = 0;
    std::optional<Clock::time_point> lost_at;   // the lost frame's turn
    std::optional<Clock::time_point> whole_at;  // the first whole picture sent after it
    struct Still {
        uint32_t after_id;
        int expected;    // the clip's picture that should be on screen
        uint64_t shown;  // what was
    };
    std::vector<Still> stills;  // at the end of each pause, once the stream is whole
};

class ClipHost {
  public:
    ClipHost(const EncoderClip& clip, const HostRow& row, uint16_t viewer_port,
             const std::atomic<uint64_t>& on_screen)
        : clip(clip), row(row), viewer_port(viewer_port), on_screen(on_screen) {
        EXPECT_TRUE(socket.open(0));
    }
    uint16_t port() const { return socket.local_port(); }

    // Half a second of frames, the pause, two thirds of a second more (with a loss: until the
    // picture has been whole again for a third of a second, at most LOSS_TIME), the last pause.
    HostReport run() {
        next_send = Clock::now();
        for (int i = 0; i < row.fps / 2; ++i) {
            send_frame();
        }
        still(STILL);
        const auto most = row.lost_ahead > 0 ? LOSS_TIME.count() * row.fps : row.fps * 2 / 3;
        for (int i = 0; i < most && whole_frames < row.fps / 3; ++i) {
            send_frame();
        }
        still(LAST_STILL);
        return report;
    }

  private:
    size_t size() const { return clip.frames.size(); }

    // Reads "KFRQ" until `until`.
    void listen_until(Clock::time_point until) {
        uint8_t buffer[64];
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
            const int length =
                socket.receive(buffer, sizeof buffer, static_cast<int>(std::max(left.count(), 0L)));
            if (length > 0 &&
                protocol::is_keyframe_request({buffer, static_cast<size_t>(length)})) {
                ++report.requests;
                jump = row.answers;
            } else if (Clock::now() >= until) {
                return;
            }
        }
    }

    // Sends the next frame in its turn: the clip's next, or after "KFRQ" its next restart point.
    void send_frame() {
        listen_until(next_send);
        next_send += std::chrono::microseconds(1000000 / row.fps);
        bool run_starts = at == 0;
        if (std::exchange(jump, false)) {
            // A recovery point sent out of turn makes a whole picture only once its refresh is
            // done, which a viewer can tell only when it knows a frame was lost; so it is sent out
            // of turn only then (x264 too merges a request into the refresh under way).
            size_t target = at;
            while (!clip.restart[target]) {
                target = (target + 1) % size();
            }
            if (clip.recovery[target] == 0 || withheld) {
                run_starts = true;
                at = target;
            }
        }
        const size_t frame = std::exchange(at, (at + 1) % size());
        const uint32_t frame_id = id++;
        if (lose_from && frame_id >= *lose_from && !report.lost_at && !clip.restart[frame] &&
            clip.restart[(frame + row.lost_ahead) % size()]) {
            report.lost_at = Clock::now();
            withheld = true;
            return;
        }
        for (const auto& datagram : fragment_datagrams(clip.frames[frame], frame_id)) {
            socket.send_to(datagram.data(), datagram.size(), "127.0.0.1", viewer_port);
        }
        if (withheld && clip.restart[frame]) {
            withheld = false;
            refreshing = clip.recovery[frame];
        }
        newest = run_starts ? -1 : newest;
        run_first = run_starts ? -1 : run_first;
        // A decoder hands out what it has taken in display order, B-frames holding the newest back.
        report.pictures_out += clip.out_after[frame] - (frame > 0 ? clip.out_after[frame - 1] : 0);
        newest_out = clip.out_after[frame] - 1;
        if (clip.picture[frame] >= 0) {
            newest = std::max(newest, clip.picture[frame]);
            run_first = run_first < 0 ? clip.picture[frame] : run_first;
            ++report.pictures_sent;
            if (!withheld && refreshing == 0) {
                ++report.pictures_expected;
                if (report.lost_at) {
                    report.whole_at = report.whole_at.value_or(Clock::now());
                    ++whole_frames;
                }
            }
        }
        refreshing = std::max(refreshing - 1, 0);
    }

    // A pause; the picture on screen at its end is noted. A loss comes a few frames after it.
    void still(Clock::duration length) {
        listen_until(next_send + length);
        if (!withheld && refreshing == 0) {
            // What a decoder has handed out, once it has handed out this run's pictures at all.
            const int expected = newest_out >= run_first ? std::min(newest, newest_out) : newest;
            report.stills.push_back({id - 1, expected, on_screen.load()});
        }
        next_send += length;
        if (row.lost_ahead > 0 && !lose_from) {
            lose_from = id + 2;
        }
    }

    const EncoderClip& clip;
    const HostRow& row;
    const uint16_t viewer_port;
    const std::atomic<uint64_t>& on_screen;
    net::UDPSocket socket;
    HostReport report;
    Clock::time_point next_send;
    size_t at = 0;  // the clip's next frame
    uint32_t id = row.first_id;
    std::optional<uint32_t> lose_from;  // the first id that may be lost
    bool jump = false;
    bool withheld = false;  // a frame was lost, and no restart point sent since
    int refreshing = 0;     // frames until the refresh from the last restart point is whole
    int whole_frames = 0;   // pictures sent whole since the loss
    int newest = -1;        // the newest picture sent since the host last started the clip anew
    int run_first = -1;     // the first of those
    int newest_out = -1;    // the newest picture a decoder fed the clip in order has handed out
};

class RealEncoderStreams : public ::testing::TestWithParam<HostRow> {};

// Every picture of the frames that arrive is presented (B-frames and hidden alt-ref frames are the
// encoders' own business), no "KFRQ" without a loss, none damaged, the last frame's picture at each
// pause; after a loss, "KFRQ" paced, nothing shown until the picture is whole again.
TEST_P(RealEncoderStreams, ShowEveryTruePicture) {
    REQUIRE_DISPLAY_IN_THIS_PROCESS();
    const HostRow& row = GetParam();
    if (!ffmpeg_has_encoder(CLIPS.at(row.clip).encoder)) {
        GTEST_SKIP() << "no ffmpeg with " << CLIPS.at(row.clip).encoder << " on the PATH";
    }
    static std::map<std::string, std::optional<EncoderClip>> clips;  // each made once a process
    std::string problem;
    if (!clips.contains(row.clip)) {
        clips[row.clip] = make_encoder_clip(CLIPS.at(row.clip), problem);
    }
    const auto& clip = clips[row.clip];
    ASSERT_TRUE(clip) << problem;
    ASSERT_TRUE(clip_keeps_its_promise(row.clip, *clip)) << "ffmpeg's " << row.clip << " clip";
    const uint8_t codec = clip->codec == host::VideoCodec::H264 ? 1 : 0;
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    {
        const auto reference =
            reference_pictures(clip->frames, codec, VIEW_WIDTH, VIEW_HEIGHT, clip->pictures);
        const std::unordered_set<uint64_t> true_pictures(reference.begin(), reference.end());
        ASSERT_EQ(reference.size(), static_cast<size_t>(clip->pictures))
            << "pictures of the clip decoded intact, one frame at a time";
        ASSERT_EQ(true_pictures.size(), reference.size()) << "the clip's pictures look alike";
        const auto describe = [&](uint64_t hash) {
            const auto found = std::find(reference.begin(), reference.end(), hash);
            return found == reference.end()
                       ? std::string("a picture not in the clip")
                       : "picture " + std::to_string(found - reference.begin());
        };

        net::UDPSocket socket;
        ASSERT_TRUE(socket.open(0));
        socket.set_receive_buffer_size(4 * 1024 * 1024);
        client::VideoReceiver receiver;
        ASSERT_TRUE(receiver.init_standalone(VIEW_WIDTH, VIEW_HEIGHT, codec));
        std::atomic<uint64_t> on_screen{0};
        ClipHost host(*clip, row, socket.local_port(), on_screen);
        const viewer::ViewerOptions options{.port = socket.local_port(),
                                            .parent_port = host.port(),
                                            .width = VIEW_WIDTH,
                                            .height = VIEW_HEIGHT,
                                            .video_codec = codec};
        viewer::ViewerLoop loop(options, receiver, socket,
                                SDL_GetWindowFromID(receiver.get_window_id()));
        // Instead of the control bar: the judge. Before the first picture the fresh texture shows.
        DrawnPictureReader reader;
        std::optional<uint64_t> last;
        unsigned long long presented = 0;
        unsigned long long damaged = 0;
        receiver.set_overlay_callback([&](SDL_Renderer* renderer, int w, int h) {
            const auto hash = reader.read(renderer, w, h);
            on_screen = hash.value_or(on_screen.load());
            if (hash && hash != last && (last || true_pictures.contains(*hash))) {
                last = hash;
                ++presented;
                damaged += true_pictures.contains(*hash) ? 0 : 1;
            }
        });
        HostReport report;
        std::thread sender([&] {
            report = host.run();
            SDL_Event quit{};
            quit.type = SDL_QUIT;
            SDL_PushEvent(&quit);
        });
        loop.run();
        sender.join();

        const unsigned long long decoded = receiver.statistics().frames_decoded.load();
        printf(
            "[RealEncoderStreams] %s: presented=%llu of %d expected, %d sent; decoded=%llu "
            "damaged=%llu KFRQ=%d; at the pauses, expected and shown:",
            row.name, presented, report.pictures_expected, report.pictures_sent, decoded, damaged,
            report.requests);
        for (const auto& still : report.stills) {
            printf(" picture %d, %s;", still.expected, describe(still.shown).c_str());
        }
        printf("\n");
        EXPECT_EQ(damaged, 0u);
        // Drawing may fall a picture behind now and then on a loaded machine.
        EXPECT_GE(presented, static_cast<unsigned long long>(report.pictures_expected * 9 / 10));
        if (row.lost_ahead == 0) {
            EXPECT_EQ(decoded, static_cast<unsigned long long>(report.pictures_out));
            EXPECT_EQ(report.requests, 0);
        } else {
            ASSERT_TRUE(report.lost_at)
                << "no frame was lost: the host never came " << row.lost_ahead
                << " frames before a restart point (" << report.requests << " KFRQ came first)";
            ASSERT_TRUE(report.whole_at);
            EXPECT_GE(report.requests, 1);
            EXPECT_LE(report.requests, 2 + (*report.whole_at - *report.lost_at) / ASK_AGAIN);
        }
        ASSERT_EQ(report.stills.size(), 2u);
        for (const auto& still : report.stills) {
            EXPECT_EQ(describe(still.shown), "picture " + std::to_string(still.expected))
                << "at the pause after frame " << still.after_id;
        }
    }
    SDL_Quit();
}

// Every clip at least once, both rates, hosts that answer "KFRQ" and hosts that do not.
// clang-format off
const HostRow HOST_ROWS[] = {
    // name                  clip                  fps  answers first id  lost ahead
    {"Baseline",             "baseline",            30, true,   1,        10},
    {"BaselineFarFirstId",   "baseline",            10, false,  3000000,  0},
    {"BFrames",              "b_frames",            30, true,   1,        0},
    {"BFramesLoss",          "b_frames",            10, false,  7,        5},
    {"Slices",               "slices",              30, false,  1,        10},
    {"AudSei",               "aud_sei",             10, true,   1,        0},
    {"ParameterSetsOnce",    "parameter_sets_once", 30, true,   1,        10},
    {"IntraRefresh",         "intra_refresh",       30, false,  1,        5},
    {"IntraRefreshAnswered", "intra_refresh",       10, true,   1,        8},
    {"Yuv444",               "yuv444",              10, true,   1,        8},
    {"TenBit",               "ten_bit",             30, false,  0,        0},
    {"Vp8Realtime",          "vp8_realtime",        10, false,  1,        5},
    {"Vp8AltRef",            "vp8_alt_ref",         30, false,  1,        0},
    {"Vp8AltRefLoss",        "vp8_alt_ref",         10, true,   2,        8},
    {"SizeChange",           "size_change",         30, true,   1,        0},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Hosts, RealEncoderStreams, ::testing::ValuesIn(HOST_ROWS),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace nimbar::testing
