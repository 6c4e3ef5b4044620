// The whole receiver with a real decoder, under SDL's dummy video driver: real VP8 and H.264
// frames in, BGRA pictures of the receiver's size out; decoder failures; the teardown.

#include <gtest/gtest.h>

#include <SDL.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

extern "C" {
#include <libavutil/log.h>
}

#include "host/test_pattern.h"
#include "protocol/media_datagram.h"
#include "receiver/decode_pace.h"
#include "tests/receiver_probe.h"
#include "tests/support/encoded_stream.h"

namespace nimbar::client {
namespace {

using namespace std::chrono_literals;
using host::VideoCodec;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

// Generous: the decode thread shares two cores with sanitizers and other tests.
constexpr auto WAIT = 20s;
// Codec and scaling error allowed at the centre of a flat colour bar.
constexpr int COLOUR_TOLERANCE = 40;

class SdlDummyVideo : public ::testing::Environment {
  public:
    void SetUp() override {
        SDL_SetHint(SDL_HINT_VIDEODRIVER, "dummy");
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    }
    void TearDown() override { SDL_Quit(); }
};
::testing::Environment* const sdl_environment =
    ::testing::AddGlobalTestEnvironment(new SdlDummyVideo);

template <typename Predicate>
bool wait_until(Predicate predicate, std::chrono::steady_clock::duration timeout = WAIT) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

void feed_frame(VideoReceiver& receiver, const std::vector<uint8_t>& frame, uint32_t frame_id,
                VideoReceiver::Clock::time_point now = VideoReceiver::Clock::now()) {
    for (const auto& datagram : testing::fragment_datagrams(frame, frame_id)) {
        receiver.handle_video_packet(datagram.data(), static_cast<int>(datagram.size()), 0, now);
    }
}

// Feeds a frame and waits until the receiver has published `pictures` pictures in all.
bool feed_and_wait(VideoReceiver& receiver, const std::vector<uint8_t>& frame, uint32_t frame_id,
                   uint64_t pictures) {
    feed_frame(receiver, frame, frame_id);
    return wait_until([&] { return receiver.statistics().pictures_published.load() >= pictures; });
}

// What update() draws, the newest picture over the whole window, read back from inside the
// overlay callback (before the present).
struct DrawnFrame {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> argb;
    uint32_t at(int x, int y) const { return argb[static_cast<size_t>(y) * width + x]; }
};

DrawnFrame draw(VideoReceiver& receiver) {
    DrawnFrame drawn;
    receiver.request_redraw();
    receiver.set_overlay_callback([&](SDL_Renderer* renderer, int width, int height) {
        int output_width = 0;
        int output_height = 0;
        SDL_GetRendererOutputSize(renderer, &output_width, &output_height);
        EXPECT_EQ(output_width, width);
        EXPECT_EQ(output_height, height);
        drawn.width = width;
        drawn.height = height;
        drawn.argb.resize(static_cast<size_t>(width) * height);
        SDL_RenderReadPixels(renderer, nullptr, SDL_PIXELFORMAT_ARGB8888, drawn.argb.data(),
                             width * 4);
    });
    receiver.update();
    return drawn;
}

bool close_to(uint32_t actual, host::Rgb expected) {
    const auto near = [](uint32_t a, uint8_t b) {
        return std::abs(static_cast<int>(a & 0xFF) - static_cast<int>(b)) <= COLOUR_TOLERANCE;
    };
    return near(actual >> 16, expected.r) && near(actual >> 8, expected.g) &&
           near(actual, expected.b);
}

// The bars of the pattern at the centre of each bar, a third of the way down the window.
void expect_pattern_bars(const DrawnFrame& drawn) {
    ASSERT_GT(drawn.width, 0);
    for (int bar = 0; bar < host::PATTERN_BAR_COUNT; ++bar) {
        const int x = (2 * bar + 1) * drawn.width / (2 * host::PATTERN_BAR_COUNT);
        const uint32_t pixel = drawn.at(x, drawn.height / 3);
        EXPECT_TRUE(close_to(pixel, host::PATTERN_BARS[bar]))
            << "bar " << bar << ": " << std::hex << pixel;
    }
}

class DecodeTest : public ::testing::TestWithParam<VideoCodec> {
  protected:
    uint8_t selector() const { return GetParam() == VideoCodec::H264 ? 1 : 0; }
};

TEST_P(DecodeTest, OneFramesPictureIsPublishedAtTheReceiversSizeWithoutErrors) {
    const auto frames = testing::encode_pattern(GetParam(), 1920, 1080, 1);
    ASSERT_EQ(frames.size(), 1u);
    VideoReceiver receiver;
    CaptureStderr();
    ASSERT_TRUE(receiver.init_standalone(1280, 720, selector()));
    // Only the keyframe: its picture must come out without another frame pushing it.
    ASSERT_TRUE(feed_and_wait(receiver, frames[0], 1, 1));
    EXPECT_EQ(GetCapturedStderr(), "");  // "not ready yet" from the decoder is no error
    EXPECT_FALSE(receiver.take_keyframe_request());
    expect_pattern_bars(draw(receiver));
    EXPECT_EQ(receiver.statistics().decode_errors.load(), 0u);
}

TEST_P(DecodeTest, SizeChangeMidStreamIsConvertedWithFreshParameters) {
    const auto small = testing::encode_pattern(GetParam(), 640, 360, 1);
    const auto large = testing::encode_pattern(GetParam(), 1920, 1080, 1);
    ASSERT_FALSE(small.empty());
    ASSERT_FALSE(large.empty());
    VideoReceiver receiver;
    ASSERT_TRUE(receiver.init_standalone(1280, 720, selector()));
    ASSERT_TRUE(feed_and_wait(receiver, small[0], 1, 1));
    expect_pattern_bars(draw(receiver));
    ASSERT_TRUE(feed_and_wait(receiver, large[0], 2, 2));
    expect_pattern_bars(draw(receiver));
}

INSTANTIATE_TEST_SUITE_P(Codecs, DecodeTest, ::testing::Values(VideoCodec::VP8, VideoCodec::H264),
                         [](const auto& info) {
                             return info.param == VideoCodec::H264 ? "H264" : "VP8";
                         });

// A fragment of a frame that never completes: it stands for a frame lost on the way.
std::vector<uint8_t> lost_fragment(uint32_t frame_id) {
    std::vector<uint8_t> datagram(protocol::FRAGMENT_HEADER_SIZE + 100, 0x11);
    protocol::write_fragment_header(datagram, {frame_id, 0, 2, 100});
    return datagram;
}

// After a lost frame, the frames that depend on it are not decoded: the last true picture stays
// until a keyframe, whose picture is true again.
TEST_P(DecodeTest, AfterALossOnlyAKeyframeBringsAPictureBack) {
    // Keyframes at frames 0 and 6.
    const auto frames = testing::encode_pattern(GetParam(), 320, 240, 8, 1, 6);
    ASSERT_EQ(frames.size(), 8u);
    VideoReceiver receiver;
    ASSERT_TRUE(receiver.init_standalone(320, 240, selector()));
    ASSERT_TRUE(feed_and_wait(receiver, frames[0], 1, 1));
    ASSERT_TRUE(feed_and_wait(receiver, frames[1], 2, 2));
    EXPECT_FALSE(receiver.take_keyframe_request());

    // Frame 2 is lost; frames 3 to 5 refer to it.
    const auto lost = lost_fragment(3);
    receiver.handle_video_packet(lost.data(), static_cast<int>(lost.size()), 0,
                                 VideoReceiver::Clock::now());
    for (uint32_t i = 3; i <= 5; ++i) {
        feed_frame(receiver, frames[i], i + 1);
    }
    ASSERT_TRUE(wait_until([&] { return receiver.statistics().frames_skipped.load() == 3; }));
    EXPECT_EQ(receiver.statistics().pictures_published.load(), 2u);
    EXPECT_EQ(receiver.statistics().keyframe_waits.load(), 1u);
    EXPECT_TRUE(receiver.take_keyframe_request());
    receiver.update();

    ASSERT_TRUE(feed_and_wait(receiver, frames[6], 7, 3));
    ASSERT_TRUE(feed_and_wait(receiver, frames[7], 8, 4));
    expect_pattern_bars(draw(receiver));
    EXPECT_EQ(receiver.statistics().heal_time.snapshot().count(), 1u);
    EXPECT_EQ(receiver.statistics().decode_errors.load(), 0u);
}

// A decoder that stays behind switches to frame threads at a keyframe, and its pictures stay true
// (frames arrive 1 us apart here, faster than any decoder keeps up with: at 0.1 ms, a fast
// machine decoded this small, still clip's inter frames in less and never fell behind). When the
// stream then pauses, the picture frame threads hold back still comes out: the last frame's, with
// the block where that frame has it; the decoder asks for a keyframe to start again from.
TEST(DecoderThreads, ADecoderThatStaysBehindSwitchesToFrameThreadsAndAPauseShowsTheLastFrame) {
    // The block jumps a block's width a frame, so that each frame's picture tells itself apart.
    constexpr uint32_t BLOCK_JUMP = 30;
    host::EncoderSettings settings;
    settings.width = 320;
    settings.height = 240;
    settings.bitrate_kbps = 8000;
    const auto frames = testing::encode_frames(
        settings, 8,
        [](uint32_t n, std::vector<uint8_t>& bgra) {
            host::draw_test_pattern(bgra, 320, 240, n * BLOCK_JUMP);
        },
        1, 4);
    ASSERT_EQ(frames.size(), 8u);
    VideoReceiver receiver;
    ASSERT_TRUE(receiver.init_standalone(320, 240, 0));
    auto arrival = VideoReceiver::Clock::now();
    uint32_t id = 0;
    const auto feed_timed = [&](const std::vector<uint8_t>& frame) {
        arrival += 1us;
        feed_frame(receiver, frame, ++id, arrival);
    };
    const auto& stats = receiver.statistics();
    // The clip's first half, keyframes at 0 and 4, until the decoder has been behind for
    // BEHIND_FOR and switched at a keyframe. (A pause on a loaded machine may drain it back to
    // slice threads meanwhile; it then switches again.)
    const auto until = std::chrono::steady_clock::now() + WAIT;
    while (stats.decoder_frame_threads.load() == 0 || id % 4 != 3) {
        ASSERT_LT(std::chrono::steady_clock::now(), until) << "never switched to frame threads";
        feed_timed(frames[id % 4]);
        ASSERT_TRUE(wait_until([&] { return receiver.wait_for_picture(0ms); }));
    }
    (void)receiver.take_keyframe_request();
    const uint64_t switches = stats.decoder_thread_switches.load();
    const uint64_t skipped = stats.frames_skipped.load();
    for (int i = 4; i < 8; ++i) {
        feed_timed(frames[i]);
    }
    // The drain's last step is the keyframe request.
    ASSERT_TRUE(wait_until([&] { return receiver.take_keyframe_request(); }));
    EXPECT_EQ(stats.decoder_thread_switches.load(), switches + 1);  // back to slice threads
    EXPECT_EQ(stats.decoder_frame_threads.load(), 0u);
    EXPECT_EQ(stats.decode_errors.load(), 0u);
    EXPECT_EQ(stats.frames_skipped.load(), skipped);
    const DrawnFrame drawn = draw(receiver);
    expect_pattern_bars(drawn);
    const auto layout = host::pattern_layout(320, 240);
    const int block_x = host::pattern_block_left(320, 240, 8 * BLOCK_JUMP) + layout.block_size / 2;
    EXPECT_TRUE(
        close_to(drawn.at(block_x, layout.block_top + layout.block_size / 2), host::PATTERN_BLOCK));

    // Decoding starts again at a keyframe; the frames before it are skipped.
    feed_timed(frames[5]);
    ASSERT_TRUE(wait_until([&] { return stats.frames_skipped.load() == skipped + 1; }));
    const uint64_t decoded = stats.frames_decoded.load();
    feed_timed(frames[4]);
    ASSERT_TRUE(wait_until([&] { return stats.frames_decoded.load() == decoded + 1; }));
    EXPECT_EQ(stats.decode_errors.load(), 0u);
}

size_t count_lines(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST(DecodeErrors, FiveLinesAndOneKeyframeRequestPerRunOfFailures) {
    const auto frames = testing::encode_pattern(VideoCodec::VP8, 320, 240, 1);
    ASSERT_FALSE(frames.empty());
    // A keyframe cut short: its header is whole, its partitions are not there.
    const std::vector<uint8_t> broken(frames[0].begin(), frames[0].begin() + 20);
    VideoReceiver receiver;
    ASSERT_TRUE(receiver.init_standalone(320, 240, 0));
    ASSERT_TRUE(feed_and_wait(receiver, frames[0], 1, 1));

    CaptureStderr();
    for (uint32_t id = 2; id <= 8; ++id) {
        feed_frame(receiver, broken, id);
        ASSERT_TRUE(
            wait_until([&] { return receiver.statistics().decode_errors.load() >= id - 1; }));
    }
    const std::string first_run = GetCapturedStderr();
    EXPECT_EQ(count_lines(first_run, "[VideoReceiver] VP8 "), 5u) << first_run;
    EXPECT_EQ(count_lines(first_run, "error: "), 5u) << first_run;
    EXPECT_TRUE(receiver.take_keyframe_request());
    EXPECT_FALSE(receiver.take_keyframe_request());

    // A good picture ends the run; the next failure is logged and asks again.
    ASSERT_TRUE(feed_and_wait(receiver, frames[0], 9, 2));
    CaptureStderr();
    feed_frame(receiver, broken, 10);
    ASSERT_TRUE(wait_until([&] { return receiver.statistics().decode_errors.load() >= 8; }));
    const std::string second_run = GetCapturedStderr();
    EXPECT_EQ(count_lines(second_run, "[VideoReceiver] VP8 "), 1u) << second_run;
    EXPECT_TRUE(receiver.take_keyframe_request());
}

// A stream in the codec the receiver was not opened for: among the decoder's complaints, one line
// says what is wrong.
TEST_P(DecodeTest, AStreamInTheOtherCodecIsNamedInOneLine) {
    const auto frames = testing::encode_pattern(GetParam(), 320, 240, 4);
    ASSERT_EQ(frames.size(), 4u);
    VideoReceiver receiver;
    ASSERT_TRUE(receiver.init_standalone(320, 240, selector() == 1 ? 0 : 1));
    CaptureStderr();
    for (uint32_t id = 1; id <= 4; ++id) {
        feed_frame(receiver, frames[id - 1], id);
    }
    const std::string errors = GetCapturedStderr();
    const std::string line = GetParam() == VideoCodec::H264
                                 ? "VP8; is --codec right? It looks like H.264 (--codec 1)\n"
                                 : "H.264; is --codec right? It looks like VP8 (--codec 0)\n";
    EXPECT_EQ(count_lines(errors, "[VideoReceiver] The stream does not look like " + line), 1u)
        << errors;
}

// A keyframe that claims a picture far larger than the receiver's is refused before the decoder
// allocates for it, as a decoder failure; and what FFmpeg says comes tagged, a whole line each.
TEST(DecodeErrors, AnOversizedPictureIsRefusedAndTheLibrarysLinesAreTagged) {
    const auto frames = testing::encode_pattern(VideoCodec::VP8, 320, 240, 2);
    ASSERT_EQ(frames.size(), 2u);
    VideoReceiver receiver;
    ASSERT_TRUE(receiver.init_standalone(320, 240, 0));
    CaptureStderr();
    feed_frame(receiver, frames[1], 1);  // a delta frame with no keyframe before it
    ASSERT_TRUE(wait_until([&] { return receiver.statistics().decode_errors.load() >= 1; }));
    auto huge = frames[0];
    // The keyframe header's 14-bit width and height (bytes 6 to 9): 16383 x 16383.
    huge[6] = 0xFF;
    huge[7] = 0x3F;
    huge[8] = 0xFF;
    huge[9] = 0x3F;
    feed_frame(receiver, huge, 2);
    ASSERT_TRUE(wait_until([&] { return receiver.statistics().decode_errors.load() >= 2; }));
    ASSERT_TRUE(feed_and_wait(receiver, frames[0], 3, 1));  // a true keyframe still decodes
    av_log(nullptr, AV_LOG_ERROR, "one message, %s\n", "two lines:\nthe second");
    const std::string errors = GetCapturedStderr();
    EXPECT_NE(errors.find("[VideoReceiver] ffmpeg: the second\n"), std::string::npos) << errors;
    EXPECT_NE(errors.find("[VideoReceiver] vp8: Discarding interframe without a prior keyframe!\n"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find("Picture size 16383x16383 is invalid\n"), std::string::npos) << errors;
    for (size_t at = 0; at < errors.size(); at = errors.find('\n', at) + 1) {
        EXPECT_EQ(errors.compare(at, 16, "[VideoReceiver] "), 0) << errors.substr(at);
    }
    expect_pattern_bars(draw(receiver));
}

// Everything the receiver writes to stdout while `action` runs.
template <typename Action>
std::string stdout_of(Action action) {
    CaptureStdout();
    action();
    return GetCapturedStdout();
}

std::string format(const char* pattern, auto... values) {
    char line[256];
    std::snprintf(line, sizeof line, pattern, values...);
    return line;
}

TEST(ReceiverLifecycle, ShutdownWritesEveryLineInOrder) {
    std::string out;
    std::string expected;
    {
        auto receiver = std::make_unique<VideoReceiver>();
        ASSERT_TRUE(receiver->init_standalone(640, 360, 0));
        const auto handles = ReceiverProbe::handles(*receiver);
        const uint32_t id = receiver->get_window_id();
        expected =
            "[VideoReceiver] Destructor called for uid=0, cleanup_done=0\n"
            "[VideoReceiver] Destructor calling stop()\n"
            "[VideoReceiver] Stopping decode thread and cleaning up codecs for user 0\n"
            "[VideoReceiver] Signaling decode thread to stop\n"
            "[VideoReceiver] Waiting for decode thread to join...\n"
            "[VideoReceiver] Decode thread joined successfully\n"
            "[VideoReceiver] Decode and codec cleanup complete\n" +
            format(
                "[RECV SDL DESTROY] uid=0, window_id=%u: START (window=%p, renderer=%p, "
                "texture=%p)\n",
                id, handles.window, handles.renderer, handles.texture) +
            "[RECV SDL DESTROY] uid=0: Sleeping 10ms for event processing\n" +
            format("[RECV SDL DESTROY] uid=0: Destroying texture %p\n", handles.texture) +
            "[RECV SDL DESTROY] uid=0: Texture destroyed\n" +
            format("[RECV SDL DESTROY] uid=0: Destroying renderer %p\n", handles.renderer) +
            "[RECV SDL DESTROY] uid=0: Renderer destroyed\n" +
            format("[RECV SDL DESTROY] uid=0: Destroying window %p (ID=%u)\n", handles.window, id) +
            "[RECV SDL DESTROY] uid=0: Window destroyed\n"
            "[RECV SDL DESTROY] uid=0: COMPLETE\n"
            "[VideoReceiver] Stop complete\n"
            "[VideoReceiver] Destructor complete for uid=0\n";
        out = stdout_of([&] { receiver.reset(); });
        EXPECT_EQ(SDL_GetWindowFromID(id), nullptr);
    }
    EXPECT_EQ(out, expected);
}

TEST(ReceiverLifecycle, StopTwiceThenTheDestructorReleasesOnce) {
    VideoReceiver receiver;
    ASSERT_TRUE(receiver.init_standalone(320, 240, 1));
    const std::string first = stdout_of([&] { receiver.stop(); });
    EXPECT_NE(first.find("Decode and codec cleanup complete"), std::string::npos);
    EXPECT_NE(first.find("Window destroyed"), std::string::npos);
    const std::string second = stdout_of([&] { receiver.stop(); });
    EXPECT_EQ(second,
              "[RECV SDL DESTROY] uid=0, window_id=" + std::to_string(receiver.get_window_id()) +
                  ": START (window=(nil), renderer=(nil), texture=(nil))\n"
                  "[RECV SDL DESTROY] uid=0: COMPLETE\n"
                  "[VideoReceiver] Stop complete\n");
    receiver.update();  // nothing left to draw with: returns at once
}

TEST(ReceiverLifecycle, NeverStartedReceiverTearsDownWithoutTheSleep) {
    const std::string out = stdout_of([] { VideoReceiver receiver; });
    EXPECT_EQ(out,
              "[VideoReceiver] Destructor called for uid=0, cleanup_done=0\n"
              "[VideoReceiver] Destructor calling stop()\n"
              "[VideoReceiver] Stopping decode thread and cleaning up codecs for user 0\n"
              "[VideoReceiver] Decode and codec cleanup complete\n"
              "[RECV SDL DESTROY] uid=0, window_id=0: START (window=(nil), renderer=(nil), "
              "texture=(nil))\n"
              "[RECV SDL DESTROY] uid=0: COMPLETE\n"
              "[VideoReceiver] Stop complete\n"
              "[VideoReceiver] Destructor complete for uid=0\n");
}

TEST(ReceiverLifecycle, StopWhileTheDecodeThreadWaitsNeedsNoWatchdog) {
    VideoReceiver receiver;
    ASSERT_TRUE(receiver.init_standalone(320, 240, 0));
    std::this_thread::sleep_for(50ms);  // the thread is asleep on the queue by now
    CaptureStderr();
    stdout_of([&] { receiver.stop(); });
    // The watchdog would speak 5 s after a join that blocks; give it the chance to.
    std::this_thread::sleep_for(5500ms);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(ReceiverLifecycle, SizesWithoutATextureFailCleanly) {
    for (auto [width, height] : {std::pair{0, 720}, std::pair{1280, -1}, std::pair{40000, 40000}}) {
        VideoReceiver receiver;
        CaptureStderr();
        const std::string out = stdout_of(
            [&, w = width, h = height] { EXPECT_FALSE(receiver.init_standalone(w, h, 0)); });
        const std::string errors = GetCapturedStderr();
        EXPECT_EQ(errors.rfind("[VideoReceiver] Failed to create texture: ", 0), 0u) << errors;
        EXPECT_EQ(out, "");
        EXPECT_EQ(SDL_GetWindowFromID(receiver.get_window_id()), nullptr);
        const auto handles = ReceiverProbe::handles(receiver);
        EXPECT_EQ(handles.window, nullptr);
        EXPECT_EQ(handles.renderer, nullptr);
        EXPECT_EQ(handles.texture, nullptr);
    }
}

TEST(Presentation, SourceRectangleFillsTheWindowWhenItIsUsable) {
    const auto frames = testing::encode_pattern(VideoCodec::VP8, 1280, 720, 1);
    ASSERT_FALSE(frames.empty());
    VideoReceiver receiver;
    ASSERT_TRUE(receiver.init_standalone(1280, 720, 0));
    ASSERT_TRUE(feed_and_wait(receiver, frames[0], 1, 1));

    DrawnFrame whole = draw(receiver);
    ASSERT_GT(whole.width, 0);
    EXPECT_EQ(receiver.statistics().pictures_presented.load(), 1u);
    const int y = whole.height / 4;
    EXPECT_TRUE(close_to(whole.at(whole.width / 14, y), host::PATTERN_BARS[0]));
    EXPECT_TRUE(close_to(whole.at(whole.width * 13 / 14, y), host::PATTERN_BARS[6]));

    // The left half of the top half: bars 0 to 3 and half of bar 3 fill the window.
    receiver.set_source_rect(true, 0, 0, 640, 360);
    const DrawnFrame zoomed = draw(receiver);
    for (int bar = 0; bar < 3; ++bar) {
        // Centre of `bar` in video pixels, then in window pixels under the 2x zoom.
        const int video_x = (2 * bar + 1) * 1280 / 14;
        const int x = video_x * zoomed.width / 640;
        EXPECT_TRUE(close_to(zoomed.at(x, zoomed.height / 2), host::PATTERN_BARS[bar]))
            << "bar " << bar << " at " << x << ": " << std::hex << zoomed.at(x, zoomed.height / 2);
    }
    // No new picture came in between: the texture was not uploaded again.
    EXPECT_EQ(receiver.statistics().pictures_presented.load(), 1u);

    for (auto [w, h] : {std::pair{0, 360}, std::pair{640, -5}}) {
        receiver.set_source_rect(true, 0, 0, w, h);
        const DrawnFrame unusable = draw(receiver);
        EXPECT_EQ(unusable.argb, whole.argb);
    }
    receiver.set_source_rect(false, 0, 0, 640, 360);
    EXPECT_EQ(draw(receiver).argb, whole.argb);
}

TEST(Presentation, OnlyTheNewestOfTwoPicturesIsUploaded) {
    const auto frames = testing::encode_pattern(VideoCodec::VP8, 640, 360, 2, 1);
    ASSERT_EQ(frames.size(), 2u);
    VideoReceiver receiver;
    ASSERT_TRUE(receiver.init_standalone(640, 360, 0));
    ASSERT_TRUE(feed_and_wait(receiver, frames[0], 1, 1));
    ASSERT_TRUE(feed_and_wait(receiver, frames[1], 2, 2));
    draw(receiver);
    EXPECT_EQ(receiver.statistics().pictures_presented.load(), 1u);
    EXPECT_EQ(receiver.statistics().latency_to_present.snapshot().count(), 1u);
}

TEST(Presentation, DrawsOnlyWhenSomethingVisibleChanged) {
    const auto frames = testing::encode_pattern(VideoCodec::VP8, 640, 360, 2, 1);
    ASSERT_EQ(frames.size(), 2u);
    VideoReceiver receiver;
    ASSERT_TRUE(receiver.init_standalone(640, 360, 0));
    int draws = 0;
    receiver.set_overlay_callback([&](SDL_Renderer*, int, int) { ++draws; });
    receiver.update();  // the first pass draws whatever there is
    receiver.update();
    EXPECT_EQ(draws, 1);

    ASSERT_TRUE(feed_and_wait(receiver, frames[0], 1, 1));
    receiver.update();
    receiver.update();
    EXPECT_EQ(draws, 2);
    receiver.set_source_rect(false, 0, 0, 0, 0);  // what it was: nothing to redraw
    receiver.update();
    EXPECT_EQ(draws, 2);
    receiver.set_source_rect(true, 0, 0, 320, 180);
    receiver.update();
    EXPECT_EQ(draws, 3);
    receiver.request_redraw();  // say, the window was exposed
    receiver.update();
    receiver.update();
    EXPECT_EQ(draws, 4);
    EXPECT_EQ(receiver.statistics().draw_time.snapshot().count(), 4u);
    EXPECT_EQ(receiver.statistics().pictures_presented.load(), 1u);
}

TEST(Presentation, ALostRenderDeviceGetsTheNewestPictureBack) {
    const auto frames = testing::encode_pattern(VideoCodec::VP8, 640, 360, 1);
    ASSERT_FALSE(frames.empty());
    VideoReceiver receiver;
    ASSERT_TRUE(receiver.init_standalone(640, 360, 0));
    ASSERT_TRUE(feed_and_wait(receiver, frames[0], 1, 1));
    const DrawnFrame before = draw(receiver);
    ASSERT_GT(before.width, 0);
    ASSERT_TRUE(receiver.recover_render_device());  // a fresh texture: blank until filled
    EXPECT_EQ(draw(receiver).argb, before.argb);
}

TEST(LossReports, AFrameIncompleteAfter250MsIsReportedAndAsksForOneKeyframe) {
    VideoReceiver receiver;
    ASSERT_TRUE(receiver.init_standalone(320, 240, 0));
    const auto t0 = VideoReceiver::Clock::now();
    const auto feed = [&](uint32_t id, int at_ms) {
        const auto datagram = lost_fragment(id);
        receiver.handle_video_packet(datagram.data(), static_cast<int>(datagram.size()), 0,
                                     t0 + std::chrono::milliseconds(at_ms));
    };
    CaptureStderr();
    feed(1, 0);
    feed(2, 300);
    EXPECT_EQ(GetCapturedStderr(),
              "[VideoReceiver] Dropped frame 1: 1/2 fragments received (50.0% loss)\n"
              "[VideoReceiver] Requesting keyframe due to dropped frames\n");
    // While the request is still pending, a further loss prints only its own line.
    CaptureStderr();
    feed(3, 600);
    EXPECT_EQ(GetCapturedStderr(),
              "[VideoReceiver] Dropped frame 2: 1/2 fragments received (50.0% loss)\n");
    EXPECT_EQ(receiver.statistics().frames_dropped.load(), 2u);
    EXPECT_TRUE(receiver.take_keyframe_request());
    EXPECT_FALSE(receiver.take_keyframe_request());

    // The stream stops after an incomplete frame: the loop's sweep reports it all the same.
    CaptureStderr();
    receiver.expire_incomplete_frames(t0 + std::chrono::milliseconds(851));
    EXPECT_EQ(GetCapturedStderr(),
              "[VideoReceiver] Dropped frame 3: 1/2 fragments received (50.0% loss)\n"
              "[VideoReceiver] Requesting keyframe due to dropped frames\n");
    EXPECT_TRUE(receiver.take_keyframe_request());

    // Other senders' frames held back: no word while the stream goes on; once it has shown
    // nothing for half a second, the host hears of it, twice a second at most. (Two strays, so
    // that neither has the run that takes over a stream silent for a second.)
    VideoReceiver watched;
    ASSERT_TRUE(watched.init_standalone(320, 240, 0));
    const auto frames = testing::encode_pattern(VideoCodec::VP8, 320, 240, 2);
    const auto stray = [&](protocol::Sender from, uint32_t id, int at_ms) {
        for (const auto& datagram : testing::fragment_datagrams(frames[0], id)) {
            watched.handle_video_packet(datagram.data(), static_cast<int>(datagram.size()), from,
                                        t0 + std::chrono::milliseconds(at_ms));
        }
        return watched.take_keyframe_request();
    };
    feed_frame(watched, frames[0], 1, t0);
    EXPECT_FALSE(stray(9, 70000, 100));
    feed_frame(watched, frames[1], 2, t0 + std::chrono::milliseconds(400));
    EXPECT_FALSE(stray(9, 70001, 600));
    EXPECT_TRUE(stray(9, 70002, 900));
    EXPECT_FALSE(stray(10, 80000, 1100));
    EXPECT_TRUE(stray(10, 80001, 1400));

    // Nothing is taken before the receiver runs, nor after it stopped.
    VideoReceiver idle;
    const auto datagram = lost_fragment(1);
    idle.handle_video_packet(datagram.data(), static_cast<int>(datagram.size()), 0, t0);
    EXPECT_EQ(idle.statistics().fragments_stored.load(), 0u);
}

}  // namespace
}  // namespace nimbar::client
