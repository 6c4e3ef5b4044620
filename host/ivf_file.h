#pragma once

// Compressed clips as IVF files, so that a benchmark can stream exactly the same frames to the
// viewer, to a reference decoder and to other tools (GStreamer's ivfparse, FFmpeg). Layout, all
// little-endian: a 32-byte file header ("DKIF", version 0, header size 32, fourcc "VP80" or
// "H264", width and height as 16 bits each, the time base as rate then scale, the frame count,
// 4 unused bytes), then per frame a 12-byte header (size u32, timestamp u64) and its bytes.

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "host/video_encoder.h"

namespace nimbar::host {

// One compressed frame as it goes out, and whether a decoder can start at it.
struct EncodedFrame {
    std::vector<uint8_t> bytes;
    bool keyframe = false;
};

// What an IVF file holds. The time base and the timestamps are not kept: the host paces frames at
// its own --fps.
struct IvfClip {
    VideoCodec codec = VideoCodec::VP8;
    int width = 0;
    int height = 0;
    std::vector<EncodedFrame> frames;
};

// What the bitstream says (protocol/keyframe.h): a VP8 key frame has bit 0 of its first byte clear;
// an H.264 access unit (Annex B) is a keyframe when its first slice is an IDR slice.
bool is_keyframe(VideoCodec codec, std::span<const uint8_t> frame);

// Reads a whole IVF file of VP8 or H.264 frames, each marked by is_keyframe; the frame count in
// the header is not relied on. Any file is safe to give: one that is not IVF, is cut short, holds
// no frame, an empty frame, a frame too large to send in MAX_FRAGMENTS fragments or more than 3600
// frames gives one "[Host] Error: ..." line on stderr and false; nothing is allocated beyond those
// limits.
bool read_ivf(const std::string& path, IvfClip& clip);

// Writes an IVF file frame by frame; each frame's timestamp is its place in the file, in frames.
class IvfWriter {
  public:
    IvfWriter() = default;
    ~IvfWriter();
    IvfWriter(const IvfWriter&) = delete;
    IvfWriter& operator=(const IvfWriter&) = delete;

    // Creates `path` for pictures of width x height (1 to 65535) at `fps` frames per second (the
    // time base 1/fps). False after an error line.
    bool open(const std::string& path, VideoCodec codec, int width, int height, uint32_t fps);
    // Appends one compressed frame. False after an error line.
    bool add(std::span<const uint8_t> frame);
    // Writes the frame count into the header and closes the file; without it the file is left
    // with a count of 0, which read_ivf does not rely on. False after an error line.
    bool finish();

  private:
    bool fail(const char* what);

    std::FILE* file = nullptr;
    std::string path;
    uint32_t frames = 0;
};

}  // namespace nimbar::host
