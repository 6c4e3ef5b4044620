#pragma once

// Encodes BGRA frames to VP8 (libvpx) or H.264 (libx264) through libavcodec, with the low-latency
// settings a screen-sharing host uses: no lookahead, no B-frames, one compressed frame out per
// frame in. H.264 comes out as an Annex B stream with its parameter sets before every keyframe, so
// that a decoder opened without out-of-band configuration can start at any keyframe.

#include <cstdint>
#include <span>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace nimbar::host {

enum class VideoCodec { VP8, H264 };

struct EncoderSettings {
    VideoCodec codec = VideoCodec::VP8;
    int width = 1280;
    int height = 720;
    int fps = 30;
    int bitrate_kbps = 4000;
    // Frames between automatic keyframes; a keyframe can be forced at any frame besides.
    int keyframe_interval = 300;
};

class VideoEncoder {
  public:
    VideoEncoder() = default;
    ~VideoEncoder();
    VideoEncoder(const VideoEncoder&) = delete;
    VideoEncoder& operator=(const VideoEncoder&) = delete;

    // False after a "[Host] Error: ..." line when the encoder is missing or refuses the settings.
    bool open(const EncoderSettings& settings);

    // Encodes one frame of width * height * 4 BGRA bytes, as a keyframe when asked. `out` receives
    // the compressed frame (empty when the encoder produced none this time); `keyframe` tells
    // whether it is one. False after an error line when encoding failed.
    bool encode(std::span<const uint8_t> bgra, bool force_keyframe, std::vector<uint8_t>& out,
                bool& keyframe);

    const EncoderSettings& settings() const { return current; }

  private:
    void close();

    EncoderSettings current;
    AVCodecContext* context = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    SwsContext* converter = nullptr;
    int64_t next_pts = 0;
};

}  // namespace nimbar::host
