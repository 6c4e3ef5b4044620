// stream_preview as the host runs it: the real program, fed by the real stream_host over loopback,
// its window read back from the X display (Xvfb under scripts/test.sh).

#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <thread>

#include "host/test_pattern.h"
#include "net/udp_socket.h"
#include "tests/support/child_process.h"
#include "tests/support/program_under_test.h"
#include "tests/support/x11_window.h"

namespace nimbar::testing {
namespace {

using namespace std::chrono_literals;

// Generous: these tests share a small machine with sanitizers, Xvfb and each other.
constexpr auto START_TIMEOUT = 20s;
constexpr auto EXIT_TIMEOUT = 20s;

const ProgramUnderTest PREVIEW("NIMBAR_STREAM_PREVIEW", STREAM_PREVIEW_BIN);
const std::string HOST = STREAM_HOST_BIN;
const std::string USAGE_TAIL =
    " --port <port> [--parent-port <port>] --width <w> --height <h> [--title <title>]\n";

#define REQUIRE_DISPLAY()                                                 \
    if (std::getenv("DISPLAY") == nullptr) {                              \
        GTEST_SKIP() << "needs an X display (scripts/test.sh runs Xvfb)"; \
    }

struct PreviewStats {
    uint64_t datagrams = 0, completed = 0, shown = 0, expired = 0;
};

// The last "[Preview] stats:" line of the output.
PreviewStats last_stats(const std::string& output) {
    static const std::regex line(
        R"(\[Preview\] stats: datagrams=(\d+) completed=(\d+) shown=(\d+) expired=(\d+) MBps=)");
    PreviewStats stats;
    for (std::sregex_iterator it(output.begin(), output.end(), line), end; it != end; ++it) {
        stats = {std::stoull((*it)[1]), std::stoull((*it)[2]), std::stoull((*it)[3]),
                 std::stoull((*it)[4])};
    }
    return stats;
}

uint64_t host_summary_frames(const std::string& output) {
    std::smatch match;
    if (!std::regex_search(output, match, std::regex(R"(\[Host\] Summary: frames=(\d+))"))) {
        return 0;
    }
    return std::stoull(match[1]);
}

// A running preview, ready for frames.
struct RunningPreview {
    RunningPreview(uint16_t port, int width, int height, const std::string& title)
        : port(port),
          title(title),
          process(
              PREVIEW.command({"--port", std::to_string(port), "--width", std::to_string(width),
                               "--height", std::to_string(height), "--title", title, "--stats"})) {}

    bool ready() {
        return process.wait_for_stdout(
            "[Preview] Ready to receive frames on port " + std::to_string(port) + "\n",
            START_TIMEOUT);
    }
    // Asks it to end as the host or the user would: SIGTERM, or for a Windows program, which
    // POSIX signals do not reach, Alt+F4 on its window.
    void end() {
        if (!PREVIEW.windows()) {
            process.send_signal(SIGTERM);
            return;
        }
        X11Session x11;
        if (const auto window = x11.find_window(title, START_TIMEOUT)) {
            x11.press_alt_f4(*window);
        }
    }

    uint16_t port;
    std::string title;
    ChildProcess process;
};

void expect_clean_shutdown(ChildProcess& process) {
    const auto code = process.wait_exit(EXIT_TIMEOUT);
    ASSERT_TRUE(code.has_value()) << "still running";
    EXPECT_EQ(*code, 0) << process.stderr_text();
    const std::string out = process.stdout_text();
    EXPECT_NE(out.find("[Preview] Shutting down\n"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - 24), "[Preview] Shutting down\n");
}

std::vector<std::string> host_command(uint16_t port, int width, int height,
                                      std::vector<std::string> extra) {
    std::vector<std::string> argv = {HOST,
                                     "--port",
                                     std::to_string(port),
                                     "--width",
                                     std::to_string(width),
                                     "--height",
                                     std::to_string(height)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

TEST(PreviewProgram, BadCommandLinesPrintTheErrorAndUsageAndExit1) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "[Preview] Error: --port is required\n"},
        {{"--width", "640", "--port"}, "[Preview] Error: --port is required\n"},
        {{"--port", "5000", "--width", "0"}, "[Preview] Error: Invalid dimensions 0x720\n"},
        {{"--port", "5000", "--width", "40000", "--height", "40000"},
         "[Preview] Error: Invalid dimensions 40000x40000\n"},
        {{"--port", "5000", "--width", "4294967297"},
         "[Preview] Error: --width 4294967297 is out of range\n"},
    };
    for (const auto& [args, line] : cases) {
        ChildProcess preview(PREVIEW.command(args));
        const auto code = preview.wait_exit(EXIT_TIMEOUT);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, 1);
        const std::string err = preview.stderr_text();
        if (PREVIEW.windows()) {  // the usage names the program by its Windows path
            EXPECT_TRUE(err.starts_with(line + "Usage: ") &&
                        err.ends_with("stream_preview.exe" + USAGE_TAIL))
                << err;
        } else {
            EXPECT_EQ(err, line + "Usage: " + PREVIEW.path + USAGE_TAIL);
        }
        EXPECT_EQ(preview.stdout_text(), "");
    }
}

TEST(PreviewProgram, TakenPortFailsWithTheBindLines) {
    REQUIRE_DISPLAY();
    net::UDPSocket holder;
    ASSERT_TRUE(holder.open(0));
    const uint16_t port = holder.local_port();
    ChildProcess preview(PREVIEW.command({"--port", std::to_string(port)}));
    const auto code = preview.wait_exit(EXIT_TIMEOUT);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 1);
    EXPECT_EQ(preview.stderr_text(),
              "[UDPSocket] bind() failed: " + std::to_string(PREVIEW.address_in_use_code()) +
                  "\n[Preview] Failed to bind UDP socket to port " + std::to_string(port) + "\n");
    EXPECT_EQ(preview.stdout_text(), "[Preview] Starting preview window (1280x720) on port " +
                                         std::to_string(port) + "\n");
}

// Every sampled pixel of the window is a colour of the pattern: no gap left by a lost fragment
// (zero bytes show black) and nothing but complete frames.
bool only_pattern_colours(const Screenshot& shot, std::string& why) {
    for (int y = 0; y < shot.height; ++y) {
        for (int x = 0; x < shot.width; ++x) {
            const Pixel p = shot.at(x, y);
            const host::Rgb colour{p.r, p.g, p.b};
            bool known = colour == host::PATTERN_BAND || colour == host::PATTERN_BLOCK;
            for (const auto& bar : host::PATTERN_BARS) {
                known = known || colour == bar;
            }
            if (!known) {
                why = "pixel " + std::to_string(x) + "," + std::to_string(y) + " is " +
                      std::to_string(p.r) + "," + std::to_string(p.g) + "," + std::to_string(p.b);
                return false;
            }
        }
    }
    return true;
}

TEST(PreviewProgram, ShowsThePatternThatTheHostStreams) {
    REQUIRE_DISPLAY();
    X11Session x11;
    ASSERT_TRUE(x11.connected());
    const uint16_t port = free_udp_port();
    RunningPreview preview(port, 320, 240, "Preview pattern test");
    ASSERT_TRUE(preview.ready()) << preview.process.stderr_text();
    const auto window = x11.find_window("Preview pattern test", START_TIMEOUT);
    ASSERT_TRUE(window);

    ChildProcess host(host_command(port, 320, 240, {"--fps", "30", "--seconds", "3"}));
    std::this_thread::sleep_for(1500ms);
    const auto shot = x11.capture(*window);
    ASSERT_TRUE(shot);
    ASSERT_EQ(shot->width, 160);  // the window opens at half the frame size
    ASSERT_EQ(shot->height, 120);
    for (int bar = 0; bar < host::PATTERN_BAR_COUNT; ++bar) {
        const int x = (2 * bar + 1) * shot->width / (2 * host::PATTERN_BAR_COUNT);
        const Pixel p = shot->at(x, shot->height / 3);
        EXPECT_EQ((host::Rgb{p.r, p.g, p.b}), host::PATTERN_BARS[bar]) << "bar " << bar;
    }
    std::string why;
    EXPECT_TRUE(only_pattern_colours(*shot, why)) << why;

    ASSERT_EQ(host.wait_exit(EXIT_TIMEOUT), 0);
    EXPECT_EQ(host_summary_frames(host.stdout_text()), 90u);
    std::this_thread::sleep_for(300ms);
    preview.end();
    expect_clean_shutdown(preview.process);

    const auto stats = last_stats(preview.process.stdout_text());
    EXPECT_EQ(stats.completed, 90u);  // lossless loopback: every frame arrives whole
    EXPECT_EQ(stats.datagrams, 90u * 220);
    EXPECT_EQ(stats.expired, 0u);
    EXPECT_GE(stats.shown, 1u);
    EXPECT_LE(stats.shown, stats.completed);
}

TEST(PreviewProgram, UnderLossOnlyCompleteFramesAreShown) {
    REQUIRE_DISPLAY();
    X11Session x11;
    ASSERT_TRUE(x11.connected());
    const uint16_t port = free_udp_port();
    // 128 x 96 frames are 36 fragments; with 3% lost about a third arrive whole.
    RunningPreview preview(port, 128, 96, "Preview loss test");
    ASSERT_TRUE(preview.ready()) << preview.process.stderr_text();
    const auto window = x11.find_window("Preview loss test", START_TIMEOUT);
    ASSERT_TRUE(window);

    ChildProcess host(host_command(port, 128, 96,
                                   {"--fps", "30", "--seconds", "4", "--loss", "0.03",
                                    "--duplicate", "0.03", "--reorder", "--seed", "11"}));
    int checked = 0;
    for (int i = 0; i < 30 && !host.wait_exit(100ms); ++i) {
        const auto shot = x11.capture(*window);
        ASSERT_TRUE(shot);
        const bool blank = std::all_of(shot->pixels.begin(), shot->pixels.end(),
                                       [](const Pixel& p) { return p == Pixel{}; });
        if (blank) {
            continue;  // no frame shown yet
        }
        std::string why;
        ASSERT_TRUE(only_pattern_colours(*shot, why)) << "screenshot " << i << ": " << why;
        ++checked;
    }
    EXPECT_GT(checked, 5);
    ASSERT_EQ(host.wait_exit(EXIT_TIMEOUT), 0);
    std::this_thread::sleep_for(300ms);
    preview.end();
    expect_clean_shutdown(preview.process);

    const auto stats = last_stats(preview.process.stdout_text());
    EXPECT_GT(stats.completed, 0u);
    EXPECT_LT(stats.completed, 120u);
    EXPECT_GT(stats.expired, 0u);
    EXPECT_LE(stats.shown, stats.completed);
}

TEST(PreviewProgram, GarbageOnTheSocketIsSurvived) {
    REQUIRE_DISPLAY();
    const uint16_t port = free_udp_port();
    RunningPreview preview(port, 64, 48, "Preview garbage test");
    ASSERT_TRUE(preview.ready()) << preview.process.stderr_text();

    net::UDPSocket sender;
    ASSERT_TRUE(sender.open(0));
    std::vector<uint8_t> datagram(3000);
    uint32_t state = 12345;
    for (int i = 0; i < 20000; ++i) {
        state = state * 1103515245 + 12345;
        const size_t length = (state >> 8) % (i % 100 == 0 ? 3000 : 1500);
        for (size_t b = 0; b < length; ++b) {
            state = state * 1103515245 + 12345;
            datagram[b] = static_cast<uint8_t>(state >> 24);
        }
        sender.send_to(datagram.data(), length, "127.0.0.1", port);
    }
    // Oversized datagrams are reported and dropped; the stream that follows still shows.
    ASSERT_TRUE(preview.process.wait_for_stderr(
        "[UDPSocket] recvfrom() failed: " + std::to_string(PREVIEW.message_too_long_code()) + "\n",
        10s));
    ChildProcess host(host_command(port, 64, 48, {"--fps", "30", "--frames", "10"}));
    ASSERT_EQ(host.wait_exit(EXIT_TIMEOUT), 0);
    std::this_thread::sleep_for(300ms);
    preview.end();
    expect_clean_shutdown(preview.process);
}

TEST(PreviewProgram, SigtermEndsItCleanly) {
    REQUIRE_DISPLAY();
    if (PREVIEW.windows()) {
        GTEST_SKIP() << "POSIX signals do not reach a Windows program under wine";
    }
    RunningPreview preview(free_udp_port(), 320, 240, "Preview sigterm test");
    ASSERT_TRUE(preview.ready()) << preview.process.stderr_text();
    preview.process.send_signal(SIGTERM);
    expect_clean_shutdown(preview.process);
    EXPECT_EQ(preview.process.stderr_text(), "");
}

TEST(PreviewProgram, WindowCloseRequestEndsItCleanly) {
    REQUIRE_DISPLAY();
    X11Session x11;
    ASSERT_TRUE(x11.connected());
    RunningPreview preview(free_udp_port(), 320, 240, "Preview close test");
    ASSERT_TRUE(preview.ready()) << preview.process.stderr_text();
    const auto window = x11.find_window("Preview close test", START_TIMEOUT);
    ASSERT_TRUE(window);
    if (PREVIEW.windows()) {
        x11.press_alt_f4(*window);
    } else {
        x11.request_close(*window);
    }
    expect_clean_shutdown(preview.process);
}

}  // namespace
}  // namespace nimbar::testing
