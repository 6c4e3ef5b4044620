// The host's compressed mode as the viewer meets it: what the encoder puts in a keyframe and
// whether a decoder without side information can start there, the control channel on a real
// socket, and whole streams on loopback reassembled, decoded and compared with the test pattern.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "host/control_listener.h"
#include "host/host_options.h"
#include "host/test_pattern.h"
#include "host/video_encoder.h"
#include "host/video_file_source.h"
#include "host/video_stream.h"
#include "net/udp_socket.h"
#include "protocol/byte_order.h"
#include "protocol/control_datagram.h"
#include "protocol/media_datagram.h"

namespace nimbar::host {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

// Lossy coding moves flat colours a little, and most at their edges; bar centres stay close.
constexpr int COLOUR_TOLERANCE = 40;
// Waits that only a broken build runs into; nothing here measures speed.
constexpr auto GENEROUS = std::chrono::seconds(20);

// The encoders' banners would otherwise land in the stderr that tests compare line by line.
const bool libav_quiet = [] {
    av_log_set_level(AV_LOG_ERROR);
    return true;
}();

// ---------------------------------------------------------------------------------------------
// Reading what the encoder made.

// The NAL unit types of an Annex B stream, in order; empty when it does not start with a start
// code.
std::vector<int> h264_nal_types(const std::vector<uint8_t>& stream) {
    std::vector<int> types;
    size_t zeros = 0;
    for (size_t i = 0; i < stream.size(); ++i) {
        if (stream[i] == 1 && zeros >= 2 && i + 1 < stream.size()) {
            types.push_back(stream[i + 1] & 0x1F);
        }
        if (types.empty() && stream[i] != 0 && !(stream[i] == 1 && zeros >= 2)) {
            return {};  // bytes before the first start code
        }
        zeros = stream[i] == 0 ? zeros + 1 : 0;
    }
    return types;
}

bool contains(const std::vector<int>& types, int type) {
    return std::find(types.begin(), types.end(), type) != types.end();
}

// What the bitstream itself says, not the encoder's flag: a VP8 key frame has bit 0 of its first
// byte clear; an H.264 access unit is a keyframe when it holds an IDR slice (type 5).
bool bitstream_is_keyframe(VideoCodec codec, const std::vector<uint8_t>& frame) {
    if (frame.empty()) {
        return false;
    }
    if (codec == VideoCodec::VP8) {
        return (frame[0] & 1) == 0;
    }
    return contains(h264_nal_types(frame), 5);
}

// A libavcodec decoder opened with nothing but the codec, as the viewer opens one; pictures come
// out as RGB.
class TestDecoder {
  public:
    explicit TestDecoder(VideoCodec codec) {
        const AVCodec* decoder =
            avcodec_find_decoder(codec == VideoCodec::H264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_VP8);
        context = avcodec_alloc_context3(decoder);
        if (context != nullptr && avcodec_open2(context, decoder, nullptr) < 0) {
            avcodec_free_context(&context);
        }
        frame = av_frame_alloc();
        packet = av_packet_alloc();
    }
    ~TestDecoder() {
        sws_freeContext(converter);
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&context);
    }
    TestDecoder(const TestDecoder&) = delete;
    TestDecoder& operator=(const TestDecoder&) = delete;

    // One compressed frame in, one picture out (width x height RGB); false when it gave none.
    bool decode(const std::vector<uint8_t>& compressed, std::vector<uint8_t>& rgb, int& width,
                int& height) {
        if (context == nullptr || av_new_packet(packet, static_cast<int>(compressed.size())) < 0) {
            return false;
        }
        std::copy(compressed.begin(), compressed.end(), packet->data);
        const int sent = avcodec_send_packet(context, packet);
        av_packet_unref(packet);
        if (sent < 0 || avcodec_receive_frame(context, frame) < 0) {
            return false;
        }
        width = frame->width;
        height = frame->height;
        converter = sws_getCachedContext(converter, width, height,
                                         static_cast<AVPixelFormat>(frame->format), width, height,
                                         AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
        rgb.resize(static_cast<size_t>(width) * height * 3);
        uint8_t* const target[1] = {rgb.data()};
        const int stride[1] = {width * 3};
        sws_scale(converter, frame->data, frame->linesize, 0, height, target, stride);
        av_frame_unref(frame);
        return true;
    }

  private:
    AVCodecContext* context = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    SwsContext* converter = nullptr;
};

bool near(Rgb seen, Rgb expected) {
    return std::abs(seen.r - expected.r) <= COLOUR_TOLERANCE &&
           std::abs(seen.g - expected.g) <= COLOUR_TOLERANCE &&
           std::abs(seen.b - expected.b) <= COLOUR_TOLERANCE;
}

Rgb rgb_at(const std::vector<uint8_t>& rgb, int width, int x, int y) {
    const size_t at = (static_cast<size_t>(y) * width + x) * 3;
    return {rgb[at], rgb[at + 1], rgb[at + 2]};
}

std::string describe(Rgb colour) {
    return std::to_string(colour.r) + "," + std::to_string(colour.g) + "," +
           std::to_string(colour.b);
}

// The picture shows test pattern frame `frame_number` (drawn at the picture's size): every bar at
// its centre, the band, and the block at its centre.
void expect_pattern(const std::vector<uint8_t>& rgb, int width, int height, uint32_t frame_number) {
    const PatternLayout layout = pattern_layout(width, height);
    std::vector<std::pair<int, int>> points;
    for (int bar = 0; bar < PATTERN_BAR_COUNT; ++bar) {
        points.emplace_back((2 * bar + 1) * width / (2 * PATTERN_BAR_COUNT),
                            layout.bars_height / 2);
    }
    const int block_left = pattern_block_left(width, height, frame_number);
    const int middle = layout.block_top + layout.block_size / 2;
    points.emplace_back(block_left + layout.block_size / 2, middle);
    points.emplace_back(block_left < width / 2 ? width - 4 : 4, middle);  // band, away from it
    for (const auto& [x, y] : points) {
        const Rgb expected = pattern_colour_at(x, y, width, height, frame_number);
        const Rgb seen = rgb_at(rgb, width, x, y);
        EXPECT_TRUE(near(seen, expected))
            << "frame " << frame_number << " at " << x << "," << y << ": " << describe(seen)
            << " for " << describe(expected);
    }
}

std::vector<uint8_t> pattern_frame(int width, int height, uint32_t frame_number) {
    std::vector<uint8_t> bgra(static_cast<size_t>(width) * height * 4);
    draw_test_pattern(bgra, width, height, frame_number);
    return bgra;
}

struct Encoded {
    std::vector<uint8_t> bytes;
    bool keyframe = false;
};

// Pattern frames 1..count through an encoder, with keyframes forced at the given frame numbers.
std::vector<Encoded> encode_pattern(const EncoderSettings& settings, uint32_t count,
                                    const std::vector<uint32_t>& forced = {}) {
    VideoEncoder encoder;
    EXPECT_TRUE(encoder.open(settings));
    std::vector<Encoded> frames;
    for (uint32_t n = 1; n <= count; ++n) {
        Encoded encoded;
        const bool force = std::find(forced.begin(), forced.end(), n) != forced.end();
        EXPECT_TRUE(encoder.encode(pattern_frame(settings.width, settings.height, n), force,
                                   encoded.bytes, encoded.keyframe));
        EXPECT_FALSE(encoded.bytes.empty()) << "frame " << n << " held back";
        frames.push_back(std::move(encoded));
    }
    return frames;
}

const char* codec_label(VideoCodec codec) {
    return codec == VideoCodec::H264 ? "H264" : "VP8";
}

class EncoderTest : public ::testing::TestWithParam<VideoCodec> {};

TEST_P(EncoderTest, KeyframeFirstThenOnlyWhenForcedOrDue) {
    EncoderSettings settings;
    settings.codec = GetParam();
    settings.width = 320;
    settings.height = 240;
    settings.keyframe_interval = 1000;
    const auto frames = encode_pattern(settings, 12, {7});
    for (uint32_t n = 1; n <= frames.size(); ++n) {
        const bool expected = n == 1 || n == 7;
        EXPECT_EQ(frames[n - 1].keyframe, expected) << "flag of frame " << n;
        EXPECT_EQ(bitstream_is_keyframe(settings.codec, frames[n - 1].bytes), expected)
            << "bitstream of frame " << n;
    }

    // Without a request, keyframes still come at least every keyframe_interval frames.
    settings.keyframe_interval = 5;
    const auto timed = encode_pattern(settings, 16);
    int since_keyframe = 0;
    int keyframes = 0;
    for (const Encoded& frame : timed) {
        since_keyframe = frame.keyframe ? 0 : since_keyframe + 1;
        keyframes += frame.keyframe ? 1 : 0;
        EXPECT_LT(since_keyframe, settings.keyframe_interval);
    }
    EXPECT_LT(keyframes, 16);
}

TEST_P(EncoderTest, ADecoderWithoutSideInformationStartsAtAnyKeyframe) {
    EncoderSettings settings;
    settings.codec = GetParam();
    settings.width = 320;
    settings.height = 240;
    const auto frames = encode_pattern(settings, 8, {5});
    ASSERT_TRUE(frames[4].keyframe);
    for (uint32_t start : {1u, 5u}) {
        TestDecoder decoder(settings.codec);
        for (uint32_t n = start; n <= frames.size(); ++n) {
            std::vector<uint8_t> rgb;
            int width = 0;
            int height = 0;
            ASSERT_TRUE(decoder.decode(frames[n - 1].bytes, rgb, width, height))
                << "from frame " << start << ", frame " << n;
            ASSERT_EQ(width, settings.width);
            ASSERT_EQ(height, settings.height);
            expect_pattern(rgb, width, height, n);
        }
    }
}

TEST_P(EncoderTest, RefusesAShortFrameWithAnErrorLine) {
    EncoderSettings settings;
    settings.codec = GetParam();
    settings.width = 64;
    settings.height = 48;
    VideoEncoder encoder;
    ASSERT_TRUE(encoder.open(settings));
    std::vector<uint8_t> out(3);
    bool keyframe = true;
    CaptureStderr();
    EXPECT_FALSE(encoder.encode(std::vector<uint8_t>(64 * 48 * 4 - 1), false, out, keyframe));
    EXPECT_EQ(GetCapturedStderr(), "[Host] Error: a frame of 12287 bytes is short of 64x48 BGRA\n");
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(keyframe);
}

INSTANTIATE_TEST_SUITE_P(Codecs, EncoderTest, ::testing::Values(VideoCodec::VP8, VideoCodec::H264),
                         [](const auto& info) { return codec_label(info.param); });

TEST(Encoder, H264KeyframesCarryParameterSetsInAnnexB) {
    EncoderSettings settings;
    settings.codec = VideoCodec::H264;
    settings.width = 320;
    settings.height = 240;
    settings.keyframe_interval = 6;
    const auto frames = encode_pattern(settings, 12, {4});
    // Frame 1 starts the stream, 4 is forced, 10 is due by the interval counted from 4.
    for (uint32_t n = 1; n <= frames.size(); ++n) {
        const auto types = h264_nal_types(frames[n - 1].bytes);
        ASSERT_FALSE(types.empty()) << "frame " << n << " does not start with a start code";
        const bool keyframe = n == 1 || n == 4 || n == 10;
        EXPECT_EQ(contains(types, 7), keyframe) << "SPS in frame " << n;
        EXPECT_EQ(contains(types, 8), keyframe) << "PPS in frame " << n;
        EXPECT_EQ(contains(types, 5), keyframe) << "IDR slice in frame " << n;
        if (keyframe) {
            // Parameter sets come before the slice that needs them.
            const auto sps = std::find(types.begin(), types.end(), 7);
            const auto pps = std::find(types.begin(), types.end(), 8);
            EXPECT_LT(sps, pps);
            EXPECT_LT(pps, std::find(types.begin(), types.end(), 5));
        } else {
            EXPECT_TRUE(contains(types, 1)) << "no slice in frame " << n;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The control channel.

void send_bytes(net::UDPSocket& from, uint16_t port, const std::vector<uint8_t>& bytes) {
    from.send_to(bytes.data(), bytes.size(), "127.0.0.1", port);
}

template <size_t N>
std::vector<uint8_t> bytes_of(const std::array<uint8_t, N>& array) {
    return {array.begin(), array.end()};
}

std::vector<uint8_t> bytes_of(const std::string& text) {
    return {text.begin(), text.end()};
}

// Polls until `enough` holds for everything read so far, or the generous wait ends.
ControlEvents poll_until(ControlListener& listener,
                         const std::function<bool(const ControlEvents&)>& enough) {
    ControlEvents total;
    const auto deadline = steady_clock::now() + GENEROUS;
    while (!enough(total) && steady_clock::now() < deadline) {
        const ControlEvents events = listener.poll();
        total.keyframe_requests += events.keyframe_requests;
        total.audio_states += events.audio_states;
        total.ignored += events.ignored;
        if (events.last_audio_state) {
            total.last_audio_state = events.last_audio_state;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    return total;
}

TEST(ControlListener, AnswersRequestsAndAudioStatesAndPassesOverTheRest) {
    ControlListener listener;
    ASSERT_TRUE(listener.open(0));
    net::UDPSocket viewer;
    ASSERT_TRUE(viewer.open(0));
    const uint16_t port = listener.local_port();

    // Near misses: a letter off, a byte short or long; and one too big for any control datagram.
    const std::vector<std::vector<uint8_t>> strays = {
        bytes_of("KFRQ!"),
        bytes_of("kfrq"),
        bytes_of("KFR"),
        {'A', 'U', 'D', 'S', 1, 0, 0, 0x80},
        {'A', 'U', 'D', 'S', 1, 0, 0, 0x80, 0x3F, 0},
        {'A', 'U', 'D', 's', 1, 0, 0, 0x80, 0x3F},
        std::vector<uint8_t>(3000, 'K'),
    };
    CaptureStdout();
    CaptureStderr();
    send_bytes(viewer, port, bytes_of(protocol::make_keyframe_request()));
    for (const auto& stray : strays) {
        send_bytes(viewer, port, stray);
    }
    send_bytes(viewer, port, bytes_of(protocol::make_audio_state({true, 0.25f})));
    send_bytes(viewer, port, bytes_of(protocol::make_keyframe_request()));
    send_bytes(viewer, port, bytes_of(protocol::make_audio_state({false, 1.5f})));
    const ControlEvents events = poll_until(listener, [&](const ControlEvents& so_far) {
        return so_far.keyframe_requests + so_far.audio_states + so_far.ignored >= 4 + strays.size();
    });
    const std::string out = GetCapturedStdout();
    const std::string errors = GetCapturedStderr();

    EXPECT_EQ(events.keyframe_requests, 2u);
    EXPECT_EQ(events.audio_states, 2u);
    EXPECT_EQ(events.ignored, strays.size());
    ASSERT_TRUE(events.last_audio_state.has_value());
    EXPECT_FALSE(events.last_audio_state->muted);
    EXPECT_FLOAT_EQ(events.last_audio_state->volume, 1.5f);
    EXPECT_EQ(out,
              "[Host] Keyframe request received; next frame is a keyframe\n"
              "[Host] Audio state: muted=1 volume=0.250\n"
              "[Host] Keyframe request received; next frame is a keyframe\n"
              "[Host] Audio state: muted=0 volume=1.500\n");
    EXPECT_EQ(errors, "");

    // Nothing waiting: an empty answer at once.
    const ControlEvents quiet = listener.poll();
    EXPECT_EQ(quiet.keyframe_requests + quiet.audio_states + quiet.ignored, 0u);
    EXPECT_FALSE(quiet.last_audio_state.has_value());
}

TEST(ControlListener, APortInUseIsAnError) {
    net::UDPSocket taken;
    ASSERT_TRUE(taken.open(0));
    ControlListener listener;
    CaptureStderr();
    EXPECT_FALSE(listener.open(taken.local_port()));
    const std::string errors = GetCapturedStderr();
    EXPECT_NE(errors.find("[Host] Error: cannot listen on 127.0.0.1:" +
                          std::to_string(taken.local_port()) + "\n"),
              std::string::npos)
        << errors;
    EXPECT_FALSE(listener.is_open());
    EXPECT_EQ(listener.poll().ignored, 0u);  // a closed listener reads nothing and does not fail
}

// ---------------------------------------------------------------------------------------------
// Whole streams on loopback.

// Collects fragment datagrams on a port and rebuilds the frames by id, checking each datagram as
// the viewer would.
class StreamReceiver {
  public:
    StreamReceiver() {
        EXPECT_TRUE(socket.open(0));
        socket.set_receive_buffer_size(4 << 20);
    }

    uint16_t port() const { return socket.local_port(); }

    // Reads until `done` holds or the generous wait ends; true when it held.
    bool receive_until(const std::function<bool()>& done) {
        const auto deadline = steady_clock::now() + GENEROUS;
        uint8_t buffer[2048];
        while (!done()) {
            if (steady_clock::now() > deadline) {
                return false;
            }
            const int length = socket.receive(buffer, sizeof buffer, 20);
            if (length > 0) {
                take(std::span<const uint8_t>(buffer, static_cast<size_t>(length)));
            }
        }
        return true;
    }

    // Reads whatever still arrives until the line stays quiet for a moment.
    void drain() {
        uint8_t buffer[2048];
        for (int length; (length = socket.receive(buffer, sizeof buffer, 200)) > 0;) {
            take(std::span<const uint8_t>(buffer, static_cast<size_t>(length)));
        }
    }

    std::map<uint32_t, std::vector<uint8_t>> complete;  // by frame id
    uint64_t datagrams = 0;
    size_t incomplete() const { return partial.size(); }

  private:
    struct Partial {
        uint16_t count = 0;
        std::vector<std::vector<uint8_t>> pieces;
        size_t held = 0;
    };

    void take(std::span<const uint8_t> datagram) {
        ++datagrams;
        const auto common = protocol::read_common_header(datagram);
        const auto header = protocol::read_fragment_header(datagram);
        ASSERT_TRUE(common && header);
        EXPECT_EQ(common->flags & protocol::AUDIO_FLAG, 0);
        ASSERT_TRUE(protocol::video_fragment_acceptable(*header, datagram.size()));
        EXPECT_EQ(header->payload_size, datagram.size() - protocol::FRAGMENT_HEADER_SIZE);
        if (complete.count(header->frame_id) != 0) {
            return;  // a duplicate of a frame already whole
        }
        Partial& frame = partial[header->frame_id];
        if (frame.count == 0) {
            frame.count = header->fragment_count;
            frame.pieces.resize(frame.count);
        }
        ASSERT_EQ(header->fragment_count, frame.count) << "frame " << header->frame_id;
        ASSERT_LT(header->fragment_index, frame.count);
        auto& piece = frame.pieces[header->fragment_index];
        if (!piece.empty()) {
            EXPECT_EQ(piece, std::vector<uint8_t>(datagram.begin() + protocol::FRAGMENT_HEADER_SIZE,
                                                  datagram.end()));
            return;
        }
        piece.assign(datagram.begin() + protocol::FRAGMENT_HEADER_SIZE, datagram.end());
        if (++frame.held < frame.count) {
            return;
        }
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < frame.pieces.size(); ++i) {
            if (i + 1 < frame.pieces.size()) {
                EXPECT_EQ(frame.pieces[i].size(), protocol::FRAGMENT_PAYLOAD);
            }
            bytes.insert(bytes.end(), frame.pieces[i].begin(), frame.pieces[i].end());
        }
        complete[header->frame_id] = std::move(bytes);
        partial.erase(header->frame_id);
    }

    net::UDPSocket socket;
    std::map<uint32_t, Partial> partial;
};

// stream_video_frames on a thread of its own, stopped and joined at the latest on destruction.
class StreamRun {
  public:
    explicit StreamRun(const HostOptions& options)
        : thread([this, options] { ok = stream_video_frames(options, stop, summary); }) {}
    ~StreamRun() { finish(); }

    void finish() {
        stop.store(true);
        if (thread.joinable()) {
            thread.join();
        }
    }
    // Waits for the run to end on its own (its frame count reached).
    void join() {
        if (thread.joinable()) {
            thread.join();
        }
    }

    std::atomic<bool> stop{false};
    std::atomic<bool> ok{false};
    StreamSummary summary;

  private:
    std::thread thread;
};

HostOptions video_options(HostCodec codec, uint16_t port, int width, int height) {
    HostOptions options;
    options.codec = codec;
    options.port = port;
    options.width = width;
    options.height = height;
    options.fps = 50;
    options.keyframe_interval = 1000;
    return options;
}

VideoCodec encoder_codec(HostCodec codec) {
    return codec == HostCodec::H264 ? VideoCodec::H264 : VideoCodec::VP8;
}

uint16_t unused_port() {
    net::UDPSocket probe;
    probe.open(0);
    return probe.local_port();
}

std::vector<uint32_t> keyframe_ids(HostCodec codec,
                                   const std::map<uint32_t, std::vector<uint8_t>>& frames) {
    std::vector<uint32_t> ids;
    for (const auto& [id, bytes] : frames) {
        if (bitstream_is_keyframe(encoder_codec(codec), bytes)) {
            ids.push_back(id);
        }
    }
    return ids;
}

// Decodes frames 1..last in order and checks each against pattern frame `pattern_of(id)`.
void expect_decoded_pattern(HostCodec codec, const std::map<uint32_t, std::vector<uint8_t>>& frames,
                            uint32_t last, int width, int height,
                            const std::function<uint32_t(uint32_t)>& pattern_of) {
    TestDecoder decoder(encoder_codec(codec));
    for (uint32_t id = 1; id <= last; ++id) {
        ASSERT_EQ(frames.count(id), 1u) << "frame " << id << " missing";
        std::vector<uint8_t> rgb;
        int decoded_width = 0;
        int decoded_height = 0;
        ASSERT_TRUE(decoder.decode(frames.at(id), rgb, decoded_width, decoded_height))
            << "frame " << id;
        ASSERT_EQ(decoded_width, width);
        ASSERT_EQ(decoded_height, height);
        expect_pattern(rgb, width, height, pattern_of(id));
    }
}

class HostVideoStream : public ::testing::TestWithParam<HostCodec> {};

TEST_P(HostVideoStream, FramesArriveWholeAndDecodeToThePattern) {
    StreamReceiver receiver;
    HostOptions options = video_options(GetParam(), receiver.port(), 320, 240);
    options.frames = 6;
    options.fps = 100;
    StreamRun run(options);
    run.join();
    receiver.drain();

    ASSERT_TRUE(run.ok);
    EXPECT_EQ(run.summary.frames, 6u);
    EXPECT_EQ(run.summary.keyframes, 1u);
    EXPECT_EQ(run.summary.keyframe_requests, 0u);
    EXPECT_EQ(run.summary.datagrams, receiver.datagrams);
    EXPECT_EQ(receiver.complete.size(), 6u);
    EXPECT_EQ(receiver.incomplete(), 0u);
    EXPECT_EQ(keyframe_ids(GetParam(), receiver.complete), std::vector<uint32_t>{1});
    expect_decoded_pattern(GetParam(), receiver.complete, 6, 320, 240,
                           [](uint32_t id) { return id; });
}

TEST_P(HostVideoStream, AKeyframeRequestMakesTheNextFrameAKeyframe) {
    StreamReceiver receiver;
    HostOptions options = video_options(GetParam(), receiver.port(), 320, 240);
    options.listen_port = unused_port();
    options.frames = 100'000;  // stopped by the test
    // Slow enough that no keyframe comes by itself while the test waits: the interval is out of
    // reach, and the block does not wrap round (a scene cut to the encoder) before frame 281.
    options.fps = 10;
    options.keyframe_interval = 100'000;
    net::UDPSocket viewer;
    ASSERT_TRUE(viewer.open(0));

    CaptureStdout();
    StreamRun run(options);
    const bool started = receiver.receive_until([&] { return receiver.complete.count(3) != 0; });
    send_bytes(viewer, options.listen_port, bytes_of(protocol::make_keyframe_request()));
    const bool answered = started && receiver.receive_until([&] {
        return keyframe_ids(GetParam(), receiver.complete).size() >= 2;
    });
    run.finish();
    const std::string out = GetCapturedStdout();

    ASSERT_TRUE(started);

    ASSERT_TRUE(answered) << "no keyframe after the request";
    const auto keyframes = keyframe_ids(GetParam(), receiver.complete);
    EXPECT_EQ(keyframes[0], 1u);
    EXPECT_GT(keyframes[1], 3u);
    EXPECT_EQ(run.summary.keyframe_requests, 1u);
    EXPECT_EQ(out, "[Host] Listening for control datagrams on 127.0.0.1:" +
                       std::to_string(options.listen_port) +
                       "\n[Host] Keyframe request received; next frame is a keyframe\n");
    // The viewer can pick the stream up at the answer.
    std::map<uint32_t, std::vector<uint8_t>> from_answer;
    for (uint32_t id = keyframes[1]; receiver.complete.count(id) != 0; ++id) {
        from_answer[id - keyframes[1] + 1] = receiver.complete[id];
    }
    expect_decoded_pattern(GetParam(), from_answer, static_cast<uint32_t>(from_answer.size()), 320,
                           240, [&](uint32_t n) { return n + keyframes[1] - 1; });
}

TEST_P(HostVideoStream, ImpairedFragmentsOfLargeFramesStillRebuildThem) {
    // Noise compresses badly: every frame takes many fragments.
    const auto path = std::filesystem::temp_directory_path() /
                      ("nimbar_host_video_noise_" + std::to_string(unused_port()) + ".bgra");
    {
        std::mt19937 random(3);
        std::vector<char> frame(160 * 120 * 4);
        std::ofstream file(path, std::ios::binary);
        for (int n = 0; n < 5; ++n) {  // as many as are sent: a repeat could be coded as a copy
            for (char& byte : frame) {
                byte = static_cast<char>(random());
            }
            file.write(frame.data(), static_cast<std::streamsize>(frame.size()));
        }
    }
    StreamReceiver receiver;
    HostOptions options = video_options(GetParam(), receiver.port(), 160, 120);
    options.input = path.string();
    options.bitrate_kbps = 1'000'000;
    options.frames = 5;
    options.impairments.reorder = true;
    options.impairments.duplicate = 0.3;
    options.impairments.seed = 9;
    StreamRun run(options);
    run.join();
    receiver.drain();
    std::filesystem::remove(path);

    ASSERT_TRUE(run.ok);
    EXPECT_GT(run.summary.impairments.duplicated, 0u);
    EXPECT_EQ(run.summary.datagrams, receiver.datagrams);
    ASSERT_EQ(receiver.complete.size(), 5u);
    TestDecoder decoder(encoder_codec(GetParam()));
    for (const auto& [id, bytes] : receiver.complete) {
        EXPECT_GT(bytes.size(), 10 * protocol::FRAGMENT_PAYLOAD) << "frame " << id;
        std::vector<uint8_t> rgb;
        int width = 0;
        int height = 0;
        EXPECT_TRUE(decoder.decode(bytes, rgb, width, height)) << "frame " << id;
    }
}

TEST_P(HostVideoStream, PreencodedClipLoopsUnderNewIds) {
    StreamReceiver receiver;
    HostOptions options = video_options(GetParam(), receiver.port(), 320, 240);
    options.preencode = 3;
    options.frames = 8;
    options.fps = 100;
    StreamRun run(options);
    run.join();
    receiver.drain();

    ASSERT_TRUE(run.ok);
    ASSERT_EQ(receiver.complete.size(), 8u);
    for (uint32_t id = 4; id <= 8; ++id) {
        EXPECT_EQ(receiver.complete[id], receiver.complete[(id - 1) % 3 + 1]) << "frame " << id;
    }
    EXPECT_EQ(keyframe_ids(GetParam(), receiver.complete), (std::vector<uint32_t>{1, 4, 7}));
    EXPECT_EQ(run.summary.keyframes, 3u);
    expect_decoded_pattern(GetParam(), receiver.complete, 8, 320, 240,
                           [](uint32_t id) { return (id - 1) % 3 + 1; });
}

TEST_P(HostVideoStream, AKeyframeRequestRestartsThePreencodedClip) {
    StreamReceiver receiver;
    HostOptions options = video_options(GetParam(), receiver.port(), 64, 48);
    options.preencode = 300;  // at 20 frames/s the loop would not come round for 15 s
    options.fps = 20;
    options.frames = 100'000;
    options.listen_port = unused_port();
    net::UDPSocket viewer;
    ASSERT_TRUE(viewer.open(0));

    CaptureStdout();
    StreamRun run(options);
    const bool started = receiver.receive_until([&] { return receiver.complete.count(2) != 0; });
    send_bytes(viewer, options.listen_port, bytes_of(protocol::make_keyframe_request()));
    uint32_t restart = 0;
    const bool restarted = started && receiver.receive_until([&] {
        for (const auto& [id, bytes] : receiver.complete) {
            if (id > 2 && bytes == receiver.complete[1]) {
                restart = id;
                return receiver.complete.count(id + 1) != 0;
            }
        }
        return false;
    });
    run.finish();
    GetCapturedStdout();

    ASSERT_TRUE(restarted);
    EXPECT_LE(restart, 300u) << "the clip came round by itself, not on request";
    EXPECT_EQ(run.summary.keyframe_requests, 1u);
    ASSERT_EQ(receiver.complete.count(restart + 1), 1u);
    EXPECT_EQ(receiver.complete[restart + 1], receiver.complete[2]);  // and carries on from there
}

TEST_P(HostVideoStream, AVideoFileIsDecodedScaledAndLooped) {
    // A raw Annex B file of pattern frames far apart, so the block shows which one is which.
    const auto path = std::filesystem::temp_directory_path() /
                      ("nimbar_host_video_clip_" + std::to_string(unused_port()) + ".h264");
    const std::vector<uint32_t> picked = {1, 60, 120};
    {
        EncoderSettings settings;
        settings.codec = VideoCodec::H264;
        settings.width = 160;
        settings.height = 120;
        VideoEncoder encoder;
        ASSERT_TRUE(encoder.open(settings));
        std::ofstream file(path, std::ios::binary);
        for (uint32_t n : picked) {
            std::vector<uint8_t> bytes;
            bool keyframe = false;
            ASSERT_TRUE(encoder.encode(pattern_frame(160, 120, n), false, bytes, keyframe));
            file.write(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<std::streamsize>(bytes.size()));
        }
    }
    StreamReceiver receiver;
    HostOptions options = video_options(GetParam(), receiver.port(), 320, 240);
    options.video = path.string();
    options.frames = 5;
    options.fps = 100;
    StreamRun run(options);
    run.join();
    receiver.drain();
    std::filesystem::remove(path);

    ASSERT_TRUE(run.ok);
    // Drawn at 160x120 and doubled, pattern frame n looks like frame 2n drawn at 320x240 (the
    // block moves one pixel per frame at either width).
    expect_decoded_pattern(GetParam(), receiver.complete, 5, 320, 240,
                           [&](uint32_t id) { return 2 * picked[(id - 1) % picked.size()]; });
}

INSTANTIATE_TEST_SUITE_P(Codecs, HostVideoStream,
                         ::testing::Values(HostCodec::VP8, HostCodec::H264),
                         [](const auto& info) { return codec_label(encoder_codec(info.param)); });

TEST(HostVideoStream, AFrameTooLargeToSendIsSkippedAndTheNextIsAKeyframe) {
    // At 1920x1080 a frame of noise at an unlimited bitrate compresses to well over 1,400,000
    // bytes; the flat frame after it stays small.
    const int width = 1920;
    const int height = 1080;
    const auto path = std::filesystem::temp_directory_path() /
                      ("nimbar_host_video_big_" + std::to_string(unused_port()) + ".bgra");
    {
        std::mt19937 random(5);
        std::vector<char> frame(static_cast<size_t>(width) * height * 4);
        for (char& byte : frame) {
            byte = static_cast<char>(random());
        }
        std::ofstream file(path, std::ios::binary);
        file.write(frame.data(), static_cast<std::streamsize>(frame.size()));
        std::fill(frame.begin(), frame.end(), static_cast<char>(0x80));
        file.write(frame.data(), static_cast<std::streamsize>(frame.size()));
    }
    StreamReceiver receiver;
    HostOptions options = video_options(HostCodec::H264, receiver.port(), width, height);
    options.input = path.string();
    options.bitrate_kbps = 1'000'000;
    options.frames = 2;
    CaptureStderr();
    StreamRun run(options);
    run.join();
    const std::string errors = GetCapturedStderr();
    receiver.drain();
    std::filesystem::remove(path);

    ASSERT_TRUE(run.ok);
    const std::string head = "[Host] Error: frame 1 is ";
    const std::string tail = " bytes, more than 1000 fragments; skipped\n";
    ASSERT_GT(errors.size(), head.size() + tail.size()) << errors;
    EXPECT_EQ(errors.substr(0, head.size()), head);
    EXPECT_EQ(errors.substr(errors.size() - tail.size()), tail);
    const long bytes = std::strtol(errors.c_str() + head.size(), nullptr, 10);
    EXPECT_GT(bytes, 1'400'000) << errors;
    EXPECT_EQ(run.summary.frames, 1u);
    EXPECT_EQ(run.summary.keyframes, 1u);
    ASSERT_EQ(receiver.complete.size(), 1u);
    EXPECT_EQ(keyframe_ids(HostCodec::H264, receiver.complete), std::vector<uint32_t>{2});
}

TEST(HostVideoStream, AListenPortInUseStopsTheStartUp) {
    net::UDPSocket taken;
    ASSERT_TRUE(taken.open(0));
    StreamReceiver receiver;
    HostOptions options = video_options(HostCodec::VP8, receiver.port(), 64, 48);
    options.listen_port = taken.local_port();
    options.frames = 3;
    std::atomic<bool> stop{false};
    StreamSummary summary;
    CaptureStderr();
    EXPECT_FALSE(stream_video_frames(options, stop, summary));
    const std::string errors = GetCapturedStderr();
    EXPECT_NE(errors.find("[Host] Error: cannot listen on 127.0.0.1:"), std::string::npos);
    EXPECT_EQ(summary.frames, 0u);
}

// ---------------------------------------------------------------------------------------------
// The video file source on its own.

// A short silent mono WAV file: readable by libavformat, but without a picture in it.
std::vector<uint8_t> silent_wav() {
    constexpr uint32_t samples = 800;
    std::vector<uint8_t> wav(44 + samples * 2);
    std::memcpy(&wav[0], "RIFF", 4);
    protocol::store_u32_le(&wav[4], static_cast<uint32_t>(wav.size() - 8));
    std::memcpy(&wav[8], "WAVEfmt ", 8);
    protocol::store_u32_le(&wav[16], 16);
    protocol::store_u16_le(&wav[20], 1);  // PCM
    protocol::store_u16_le(&wav[22], 1);  // mono
    protocol::store_u32_le(&wav[24], 8000);
    protocol::store_u32_le(&wav[28], 16000);
    protocol::store_u16_le(&wav[32], 2);
    protocol::store_u16_le(&wav[34], 16);
    std::memcpy(&wav[36], "data", 4);
    protocol::store_u32_le(&wav[40], samples * 2);
    return wav;
}

TEST(HostVideoFile, FilesWithoutPicturesAreErrors) {
    const auto directory = std::filesystem::temp_directory_path();
    const std::string tag = std::to_string(unused_port());
    const std::string text = (directory / ("nimbar_host_video_text_" + tag + ".dat")).string();
    const std::string audio = (directory / ("nimbar_host_video_audio_" + tag + ".wav")).string();
    {
        std::ofstream(text) << "not a video, whatever the probe makes of it\n";
        const auto wav = silent_wav();
        std::ofstream(audio, std::ios::binary)
            .write(reinterpret_cast<const char*>(wav.data()),
                   static_cast<std::streamsize>(wav.size()));
    }
    CaptureStderr();
    VideoFileSource from_text(64, 48, text);
    VideoFileSource from_audio(64, 48, audio);
    VideoFileSource missing(64, 48, text + ".missing");
    const std::string errors = GetCapturedStderr();
    std::filesystem::remove(text);
    std::filesystem::remove(audio);

    EXPECT_FALSE(from_text.ok());
    EXPECT_FALSE(from_audio.ok());
    EXPECT_FALSE(missing.ok());
    std::vector<uint8_t> frame;
    EXPECT_FALSE(missing.next(frame));
    // Whether libavformat refuses the text file at once or after probing it is its own affair.
    const std::string first_line = errors.substr(0, errors.find('\n'));
    EXPECT_EQ(first_line.rfind("[Host] Error: ", 0), 0u) << errors;
    EXPECT_NE(first_line.find(text), std::string::npos) << errors;
    const size_t second = errors.find('\n') + 1;
    EXPECT_EQ(errors.substr(second), "[Host] Error: " + audio +
                                         " holds no video stream\n"
                                         "[Host] Error: cannot open " +
                                         text + ".missing: No such file or directory\n");
}

// ---------------------------------------------------------------------------------------------
// The command line of the compressed mode.

bool parse(std::vector<const char*> args, HostOptions& options, std::string& errors) {
    args.insert(args.begin(), "stream_host");
    CaptureStderr();
    const bool ok = parse_host_args(static_cast<int>(args.size()), args.data(), options);
    errors = GetCapturedStderr();
    return ok;
}

TEST(HostVideoOptions, DefaultsAndTheFullLine) {
    HostOptions options;
    std::string errors;
    ASSERT_TRUE(parse({"--port", "5000"}, options, errors)) << errors;
    EXPECT_EQ(options.codec, HostCodec::Raw);
    EXPECT_EQ(options.bitrate_kbps, 4000);
    EXPECT_EQ(options.keyframe_interval, 300);
    EXPECT_EQ(options.listen_port, 0);
    EXPECT_EQ(options.preencode, 0);

    ASSERT_TRUE(parse({"--port", "5000", "--codec", "h264", "--bitrate", "2500",
                       "--keyframe-interval", "60", "--listen-port", "5001", "--video", "clip.mp4",
                       "--preencode", "120", "--loss", "0.01", "--reorder"},
                      options, errors))
        << errors;
    EXPECT_EQ(options.codec, HostCodec::H264);
    EXPECT_EQ(options.bitrate_kbps, 2500);
    EXPECT_EQ(options.keyframe_interval, 60);
    EXPECT_EQ(options.listen_port, 5001);
    EXPECT_EQ(options.video, "clip.mp4");
    EXPECT_EQ(options.preencode, 120);
    EXPECT_TRUE(options.impairments.reorder);

    HostOptions vp8;
    ASSERT_TRUE(parse({"--port", "5000", "--codec", "vp8", "--input", "frames.bgra", "--width",
                       "16384", "--height", "16384"},
                      vp8, errors))
        << "the raw fragment limit does not bind compressed frames: " << errors;
    EXPECT_EQ(vp8.codec, HostCodec::VP8);
}

TEST(HostVideoOptions, RejectsWhatItCannotUse) {
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
        {{"--port", "5000", "--codec", "vp9"},
         "[Host] Error: --codec takes raw, vp8, h264 or none, not 'vp9'\n"},
        {{"--port", "5000", "--codec", "H264"},
         "[Host] Error: --codec takes raw, vp8, h264 or none, not 'H264'\n"},
        {{"--port", "5000", "--codec", "vp8", "--bitrate", "0"},
         "[Host] Error: --bitrate takes kbit/s from 1 to 1000000, not '0'\n"},
        {{"--port", "5000", "--codec", "vp8", "--keyframe-interval", "-1"},
         "[Host] Error: --keyframe-interval takes a frame count from 1 to 100000, not '-1'\n"},
        {{"--port", "5000", "--codec", "vp8", "--listen-port", "65536"},
         "[Host] Error: --listen-port takes a port from 0 to 65535, not '65536'\n"},
        {{"--port", "5000", "--codec", "vp8", "--preencode", "0"},
         "[Host] Error: --preencode takes a frame count from 1 to 3600, not '0'\n"},
        {{"--port", "5000", "--codec", "vp8", "--listen-port", "5000"},
         "[Host] Error: --listen-port must differ from --port\n"},
        {{"--port", "5000", "--codec", "h264", "--video", "a.mp4", "--input", "b.bgra"},
         "[Host] Error: --input and --video exclude each other\n"},
        {{"--port", "5000", "--video", "a.mp4"},
         "[Host] Error: --video needs --codec vp8 or h264\n"},
        {{"--port", "5000", "--codec", "raw", "--preencode", "10"},
         "[Host] Error: --preencode needs --codec vp8 or h264\n"},
        {{"--port", "5000", "--listen-port", "5001"},
         "[Host] Error: --listen-port needs --codec vp8 or h264\n"},
        {{"--port", "5000", "--codec"}, "[Host] Error: unknown option or missing value: --codec\n"},
    };
    for (const auto& [args, line] : cases) {
        HostOptions options;
        std::string errors;
        EXPECT_FALSE(parse(args, options, errors)) << line;
        EXPECT_EQ(errors, line);
    }
}

}  // namespace
}  // namespace nimbar::host
