// The host's compressed mode as the viewer meets it: keyframes that a decoder opened without side
// information can start at, the viewer's control datagrams arriving mid-stream, and whole streams
// on loopback reassembled, decoded and compared with the test pattern; IVF clips written, read
// back by libavformat, refused when broken and streamed as they are.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "host/host_options.h"
#include "host/ivf_file.h"
#include "host/test_pattern.h"
#include "host/video_encoder.h"
#include "protocol/byte_order.h"
#include "protocol/control_datagram.h"
#include "tests/support/host_stream.h"

namespace nimbar::host {
namespace {

namespace support = ::nimbar::testing;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;
using Frames = std::map<uint32_t, std::vector<uint8_t>>;

// Lossy coding moves flat colours a little, and most at their edges; bar centres stay close.
constexpr int COLOUR_TOLERANCE = 40;

// The encoders' banners would otherwise land in the stderr that tests compare line by line.
const bool libav_quiet = [] {
    av_log_set_level(AV_LOG_ERROR);
    return true;
}();

// What the bitstream says, not the encoder's flag. A VP8 key frame has bit 0 of its first byte
// clear. An H.264 access unit is Annex B, and a keyframe carries its parameter sets in band ahead
// of its slices: SPS (7), PPS (8), IDR slices (5); any other frame holds non-IDR slices (1).
bool bitstream_is_keyframe(VideoCodec codec, const std::vector<uint8_t>& frame) {
    if (codec == VideoCodec::VP8) {
        return !frame.empty() && (frame[0] & 1) == 0;
    }
    EXPECT_TRUE(frame.size() > 4 && frame[0] == 0 && frame[1] == 0) << "not Annex B";
    std::vector<int> types;  // one entry for a run of slices
    for (size_t i = 2; i + 1 < frame.size(); ++i) {
        const int type = frame[i + 1] & 0x1F;
        if (frame[i] == 1 && frame[i - 1] == 0 && frame[i - 2] == 0 &&
            (type == 1 || type == 5 || type == 7 || type == 8) &&
            (types.empty() || types.back() != type)) {
            types.push_back(type);
        }
    }
    const bool keyframe = types == std::vector<int>{7, 8, 5};
    EXPECT_TRUE(keyframe || types == std::vector<int>{1}) << "NAL units out of place";
    return keyframe;
}

VideoCodec encoder_codec(HostCodec codec) {
    return codec == HostCodec::H264 ? VideoCodec::H264 : VideoCodec::VP8;
}

// A libavcodec decoder opened with nothing but the codec, as the viewer opens one. Each frame it
// decodes must show test pattern frame `number`: every bar, the block and the band beside it.
class PatternDecoder {
  public:
    explicit PatternDecoder(VideoCodec codec) {
        const AVCodec* decoder =
            avcodec_find_decoder(codec == VideoCodec::H264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_VP8);
        context = avcodec_alloc_context3(decoder);
        if (context != nullptr && avcodec_open2(context, decoder, nullptr) < 0) {
            avcodec_free_context(&context);
        }
    }
    ~PatternDecoder() {
        sws_freeContext(converter);
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&context);
    }
    PatternDecoder(const PatternDecoder&) = delete;
    PatternDecoder& operator=(const PatternDecoder&) = delete;

    void expect(const std::vector<uint8_t>& compressed, int width, int height, uint32_t number) {
        ASSERT_NE(context, nullptr);
        ASSERT_EQ(av_new_packet(packet, static_cast<int>(compressed.size())), 0);
        std::copy(compressed.begin(), compressed.end(), packet->data);
        const int sent = avcodec_send_packet(context, packet);
        av_packet_unref(packet);
        ASSERT_TRUE(sent >= 0 && avcodec_receive_frame(context, frame) >= 0) << "no picture";
        ASSERT_EQ(frame->width, width);
        ASSERT_EQ(frame->height, height);
        converter = sws_getCachedContext(converter, width, height,
                                         static_cast<AVPixelFormat>(frame->format), width, height,
                                         AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
        std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
        uint8_t* const target[1] = {rgb.data()};
        const int stride[1] = {width * 3};
        sws_scale(converter, frame->data, frame->linesize, 0, height, target, stride);
        av_frame_unref(frame);

        const PatternLayout layout = pattern_layout(width, height);
        const int block_left = pattern_block_left(width, height, number);
        const int middle = layout.block_top + layout.block_size / 2;
        std::vector<std::pair<int, int>> points = {
            {block_left + layout.block_size / 2, middle},
            {block_left < width / 2 ? width - 4 : 4, middle}};
        for (int bar = 0; bar < PATTERN_BAR_COUNT; ++bar) {
            points.emplace_back((2 * bar + 1) * width / (2 * PATTERN_BAR_COUNT),
                                layout.bars_height / 2);
        }
        for (const auto& [x, y] : points) {
            const Rgb expected = pattern_colour_at(x, y, width, height, number);
            const uint8_t* seen = &rgb[(static_cast<size_t>(y) * width + x) * 3];
            EXPECT_TRUE(std::abs(seen[0] - expected.r) <= COLOUR_TOLERANCE &&
                        std::abs(seen[1] - expected.g) <= COLOUR_TOLERANCE &&
                        std::abs(seen[2] - expected.b) <= COLOUR_TOLERANCE)
                << "pattern frame " << number << " at " << x << "," << y << ": " << int{seen[0]}
                << "," << int{seen[1]} << "," << int{seen[2]};
        }
    }

  private:
    AVCodecContext* context = nullptr;
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    SwsContext* converter = nullptr;
};

HostOptions video_options(HostCodec codec, int width, int height) {
    HostOptions options;
    options.codec = codec;
    options.width = width;
    options.height = height;
    options.fps = 100;
    options.keyframe_interval = 1000;
    return options;
}

std::vector<uint32_t> keyframe_ids(HostCodec codec, const Frames& frames) {
    std::vector<uint32_t> ids;
    for (const auto& [id, bytes] : frames) {
        if (bitstream_is_keyframe(encoder_codec(codec), bytes)) {
            ids.push_back(id);
        }
    }
    return ids;
}

// Decodes frames first..last in order with one decoder: each shows the pattern frame it was drawn
// from, `id` or with a preencoded clip its place in the loop.
void expect_decoded_pattern(const HostOptions& options, const Frames& frames, uint32_t first,
                            uint32_t last) {
    PatternDecoder decoder(encoder_codec(options.codec));
    for (uint32_t id = first; id <= last; ++id) {
        const uint32_t number = options.preencode > 0 ? (id - 1) % options.preencode + 1 : id;
        ASSERT_EQ(frames.count(id), 1u) << "frame " << id << " missing";
        ASSERT_NO_FATAL_FAILURE(
            decoder.expect(frames.at(id), options.width, options.height, number))
            << "frame " << id;
    }
}

// Streams until frame 3 is whole, then sends what a viewer might to the listen port: near misses
// of both control datagrams (a letter off, a byte short or long, far too big), two audio states
// and one keyframe request. Reads on until `answered` holds for the frames so far, then stops the
// run; the host has printed one line for each state and the request, and nothing for the rest.
Frames send_control_mid_stream(HostOptions options, StreamSummary& summary,
                               const std::function<bool(const Frames&)>& answered) {
    support::LoopbackReceiver receiver;
    options.port = receiver.port();
    options.listen_port = support::unused_port();
    options.frames = 100'000;  // stopped here
    net::UDPSocket viewer;
    EXPECT_TRUE(viewer.open(0));
    const auto send = [&](const auto& bytes) {
        viewer.send_to(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), "127.0.0.1",
                       options.listen_port);
    };
    CaptureStdout();
    support::StreamRun run(options);
    const bool started = receiver.receive_until([&] { return receiver.frames().count(3) != 0; });
    for (const std::string& stray : {std::string("KFRQ!"), std::string("kfrq"),
                                     std::string("AUDS\1\0\0\x80", 8), std::string(3000, 'K')}) {
        send(stray);
    }
    send(protocol::make_audio_state({true, 0.25f}));
    send(protocol::make_keyframe_request());
    send(protocol::make_audio_state({false, 1.5f}));
    EXPECT_TRUE(started && receiver.receive_until([&] { return answered(receiver.frames()); }))
        << "no answer to the request";
    run.finish();
    receiver.drain();
    EXPECT_EQ(GetCapturedStdout(), "[Host] Listening for control datagrams on 127.0.0.1:" +
                                       std::to_string(options.listen_port) +
                                       "\n[Host] Audio state: muted=1 volume=0.250\n"
                                       "[Host] Keyframe request received; next frame is a "
                                       "keyframe\n[Host] Audio state: muted=0 volume=1.500\n");
    summary = run.summary;
    EXPECT_EQ(summary.keyframe_requests, 1u);
    EXPECT_EQ(summary.datagrams, receiver.arrivals.size());
    return receiver.frames();
}

class HostVideoStream : public ::testing::TestWithParam<HostCodec> {};

TEST_P(HostVideoStream, ImpairedFramesArriveWholeDecodeToThePatternAndAnswerAKeyframeRequest) {
    // Frames of many fragments, duplicated and shuffled. Slow enough that no keyframe comes by
    // itself while the test waits: the interval is out of reach, and the block does not wrap round
    // (a scene cut to the encoder) for hundreds of frames.
    HostOptions options = video_options(GetParam(), 640, 480);
    options.fps = 10;
    options.keyframe_interval = 100'000;
    options.bitrate_kbps = 1'000'000;
    options.impairments.duplicate = 0.3;
    options.impairments.reorder = true;
    options.impairments.seed = 9;
    StreamSummary summary;
    const Frames frames = send_control_mid_stream(options, summary, [&](const Frames& so_far) {
        const auto keyframes = keyframe_ids(GetParam(), so_far);
        return keyframes.size() >= 2 && so_far.count(keyframes[1] + 1) != 0;
    });

    EXPECT_GT(summary.impairments.duplicated, 0u);
    const auto keyframes = keyframe_ids(GetParam(), frames);
    ASSERT_EQ(keyframes.size(), 2u);
    EXPECT_EQ(keyframes[0], 1u);
    EXPECT_GT(keyframes[1], 3u);
    EXPECT_EQ(summary.keyframes, 2u);
    const uint32_t last = frames.rbegin()->first;
    EXPECT_EQ(frames.size(), last) << "a frame never came whole";
    EXPECT_EQ(summary.frames, last);
    expect_decoded_pattern(options, frames, 1, last);
    // The viewer can pick the stream up at the answer.
    expect_decoded_pattern(options, frames, keyframes[1], last);
}

TEST_P(HostVideoStream, APreencodedClipLoopsUnderGrowingIds) {
    support::LoopbackReceiver receiver;
    HostOptions options = video_options(GetParam(), 320, 240);
    options.preencode = 3;
    options.frames = 8;
    StreamSummary summary;
    support::run_to_end(options, receiver, summary);

    Frames frames = receiver.frames();
    ASSERT_EQ(frames.size(), 8u);
    for (uint32_t id = 4; id <= 8; ++id) {
        EXPECT_EQ(frames[id], frames[(id - 1) % 3 + 1]) << "frame " << id;
    }
    EXPECT_EQ(keyframe_ids(GetParam(), frames), (std::vector<uint32_t>{1, 4, 7}));
    EXPECT_EQ(summary.keyframes, 3u);
    expect_decoded_pattern(options, frames, 1, 8);
}

TEST_P(HostVideoStream, AKeyframeRequestRestartsAPreencodedClip) {
    HostOptions options = video_options(GetParam(), 64, 48);
    options.preencode = 300;  // at 20 frames/s the clip would not come round for 15 s
    options.fps = 20;
    uint32_t restart = 0;
    StreamSummary summary;
    Frames frames = send_control_mid_stream(options, summary, [&](const Frames& so_far) {
        for (const auto& [id, bytes] : so_far) {
            if (id > 3 && so_far.count(1) != 0 && bytes == so_far.at(1)) {
                restart = id;
                return so_far.count(id + 1) != 0;
            }
        }
        return false;
    });

    ASSERT_NE(restart, 0u);
    EXPECT_LE(restart, 300u) << "the clip came round by itself, not on request";
    EXPECT_EQ(frames[restart + 1], frames[2]);  // and carries on from there
}

INSTANTIATE_TEST_SUITE_P(Codecs, HostVideoStream,
                         ::testing::Values(HostCodec::VP8, HostCodec::H264), [](const auto& info) {
                             return info.param == HostCodec::H264 ? "H264" : "VP8";
                         });

TEST(HostVideoStream, AFrameTooLargeToSendIsSkippedWithALineAndTheNextIsAKeyframe) {
    // At 1920x1080 a frame of noise at an unlimited bitrate compresses to well over 1,400,000
    // bytes; the flat frame after it stays small.
    const size_t frame_size = size_t{1920} * 1080 * 4;
    std::vector<uint8_t> bytes = support::noise(frame_size, 5);
    bytes.resize(2 * frame_size, 0x80);
    const support::TempFile input("big.bgra", bytes);
    support::LoopbackReceiver receiver;
    HostOptions options = video_options(HostCodec::H264, 1920, 1080);
    options.input = input.path;
    options.bitrate_kbps = 1'000'000;
    options.frames = 2;
    StreamSummary summary;
    CaptureStderr();
    support::run_to_end(options, receiver, summary);
    const std::string errors = GetCapturedStderr();

    const std::string head = "[Host] Error: frame 1 is ";
    const std::string tail = " bytes, more than 1000 fragments; skipped\n";
    ASSERT_GT(errors.size(), head.size() + tail.size()) << errors;
    EXPECT_EQ(errors.substr(0, head.size()), head);
    EXPECT_EQ(errors.substr(errors.size() - tail.size()), tail);
    EXPECT_GT(std::strtol(errors.c_str() + head.size(), nullptr, 10), 1'400'000) << errors;
    EXPECT_EQ(summary.frames, 1u);
    EXPECT_EQ(summary.keyframes, 1u);
    const Frames frames = receiver.frames();
    EXPECT_EQ(frames.size(), 1u);
    EXPECT_EQ(keyframe_ids(HostCodec::H264, frames), std::vector<uint32_t>{2});
}

using Clip = std::vector<std::vector<uint8_t>>;

// Frames of several fragments, one byte, exactly one fragment and a part; VP8 by their first byte,
// a keyframe only first and only when asked.
Clip vp8_clip(bool starts_with_keyframe) {
    Clip frames;
    for (const size_t size : {3000, 1, 1400, 2801}) {
        frames.push_back(support::noise(size, static_cast<uint32_t>(frames.size())));
        frames.back()[0] = frames.size() == 1 && starts_with_keyframe ? 0x10 : 0x11;
    }
    // A key frame's start code after its 3-byte frame tag.
    frames[0][3] = 0x9d;
    frames[0][4] = 0x01;
    frames[0][5] = 0x2a;
    return frames;
}

void write_clip(const std::string& path, const Clip& frames) {
    IvfWriter writer;
    ASSERT_TRUE(writer.open(path, VideoCodec::VP8, 320, 240, 30));
    for (const auto& frame : frames) {
        ASSERT_TRUE(writer.add(frame));
    }
    ASSERT_TRUE(writer.finish());
}

TEST(HostIvfClip, WrittenFramesReadBackAndStreamAsTheyAreLoopedInOrder) {
    const Clip written = vp8_clip(true);
    const support::TempFile file("clip.ivf", {});
    write_clip(file.path, written);
    // libavformat reads the same VP8 frames, timestamped one frame apart.
    AVFormatContext* format = avformat_alloc_context();
    format->flags |= AVFMT_FLAG_NOPARSE;  // the frames are noise, nothing a VP8 parser could read
    ASSERT_EQ(avformat_open_input(&format, file.path.c_str(), nullptr, nullptr), 0);
    const AVCodecParameters* stream = format->streams[0]->codecpar;
    EXPECT_TRUE(stream->codec_id == AV_CODEC_ID_VP8 && stream->width == 320 &&
                stream->height == 240);
    AVPacket* packet = av_packet_alloc();
    for (int64_t i = 0; av_read_frame(format, packet) == 0; ++i, av_packet_unref(packet)) {
        ASSERT_LT(i, 4);
        EXPECT_EQ(Clip::value_type(packet->data, packet->data + packet->size), written[i]);
        EXPECT_EQ(packet->pts, i);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);

    support::LoopbackReceiver receiver;
    HostOptions options = video_options(HostCodec::VP8, 16, 16);  // the file's size applies
    options.clip = file.path;
    options.frames = 10;
    StreamSummary summary;
    support::run_to_end(options, receiver, summary);
    const Frames frames = receiver.frames();
    ASSERT_EQ(frames.size(), 10u);
    for (const auto& [id, bytes] : frames) {
        EXPECT_EQ(bytes, written[(id - 1) % written.size()]) << "frame " << id;
    }
    EXPECT_EQ(summary.keyframes, 3u);  // as read: the first frame only, each time round
}

TEST(HostIvfClip, KeyframesAreToldByTheBitstream) {
    const std::vector<std::tuple<VideoCodec, std::vector<uint8_t>, bool>> frames = {
        {VideoCodec::VP8, {0x10, 0x02, 0x00, 0x9d, 0x01, 0x2a, 0x40, 0x01, 0xf0, 0x00}, true},
        {VideoCodec::VP8, {0x11, 0x02, 0x00, 0x9d, 0x01, 0x2a, 0x40, 0x01, 0xf0, 0x00}, false},
        {VideoCodec::VP8, {0x10, 0x02}, false},  // the key bit, but too short for a key frame
        {VideoCodec::VP8, {}, false},
        {VideoCodec::H264,
         {0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xce, 0, 0, 1, 0x65, 0x88},
         true},
        {VideoCodec::H264, {0, 0, 0, 1, 0x41, 0x9a, 0, 1, 0x65, 0x88}, false},
        {VideoCodec::H264, {0, 0, 1}, false},
    };
    for (const auto& [codec, bytes, keyframe] : frames) {
        EXPECT_EQ(is_keyframe(codec, bytes), keyframe) << ::testing::PrintToString(bytes);
    }
}

TEST(HostIvfClip, BrokenFilesAndUnfitClipsAreRefusedWithOneLine) {
    const support::TempFile good("good.ivf", {});
    write_clip(good.path, vp8_clip(true));
    std::ifstream stream(good.path, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(stream), {}};
    const auto cut = [&](size_t size) {
        return Clip::value_type(bytes.begin(), bytes.begin() + size);
    };
    const auto patched = [&](size_t at, uint32_t value) {
        Clip::value_type copy = bytes;
        protocol::store_u32_le(&copy[at], value);
        return copy;
    };
    const std::vector<std::pair<Clip::value_type, std::string>> files = {
        {{}, " is too short for an IVF header"},
        {cut(31), " is too short for an IVF header"},
        {patched(0, 0), " is not an IVF file"},
        {patched(8, 0), " holds neither VP80 nor H264"},
        {cut(32), " holds no frames"},
        {cut(40), ": the header of frame 1 is cut short"},
        {cut(bytes.size() - 1), ": frame 4 is cut short"},
        {patched(32, 1'400'001), ": frame 1 is 1400001 bytes, not 1 to 1400000"},
        {patched(32, 0xFFFFFFFF), ": frame 1 is 4294967295 bytes, not 1 to 1400000"},
    };
    for (const auto& [contents, line] : files) {
        const support::TempFile file("broken.ivf", contents);
        IvfClip clip;
        CaptureStderr();
        EXPECT_FALSE(read_ivf(file.path, clip));
        EXPECT_EQ(GetCapturedStderr(), "[Host] Error: " + file.path + line + "\n");
    }
    // Well formed, yet no clip to stream.
    const std::vector<std::tuple<HostCodec, Clip, std::string>> clips = {
        {HostCodec::VP8, vp8_clip(false), " does not start with a keyframe"},
        {HostCodec::H264, vp8_clip(true), " holds VP8, not H.264 as --codec says"},
        {HostCodec::VP8, Clip(3601, {0x10}), " holds more than 3600 frames"},
    };
    for (const auto& [codec, frames, line] : clips) {
        const support::TempFile file("unfit.ivf", {});
        write_clip(file.path, frames);
        HostOptions options = video_options(codec, 16, 16);
        options.clip = file.path;
        const std::atomic<bool> stop{false};
        StreamSummary summary;
        CaptureStderr();
        EXPECT_FALSE(stream_video_frames(options, stop, summary));
        EXPECT_EQ(GetCapturedStderr(), "[Host] Error: " + file.path + line + "\n");
    }
}

TEST(HostVideoOptions, MistakesGetOneExactLine) {
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
        {{"--codec", "vp9"}, "--codec takes raw, vp8, h264 or none, not 'vp9'"},
        {{"--codec", "vp8", "--bitrate", "0"}, "--bitrate takes kbit/s from 1 to 1000000, not '0'"},
        {{"--codec", "vp8", "--listen-port", "5000"}, "--listen-port must differ from --port"},
        {{"--codec", "raw", "--preencode", "10"}, "--preencode needs --codec vp8 or h264"},
        {{"--codec"}, "unknown option or missing value: --codec"},
        {{"--clip", "a.ivf"}, "--clip needs --codec vp8 or h264"},
        {{"--codec", "h264", "--clip", "a.ivf", "--input", "a.bgra"},
         "--clip and --input exclude each other"},
    };
    for (auto [args, line] : cases) {
        args.insert(args.begin(), {"stream_host", "--port", "5000"});
        HostOptions options;
        CaptureStderr();
        EXPECT_FALSE(parse_host_args(static_cast<int>(args.size()), args.data(), options));
        EXPECT_EQ(GetCapturedStderr(), "[Host] Error: " + line + "\n");
    }
}

}  // namespace
}  // namespace nimbar::host
