#pragma once

// Streams as other hosts' encoders make them: written by the ffmpeg command-line tool, then split
// into the frames a host sends one at a time (an H.264 access unit, a VP8 frame), with what a host
// and a judge of the pictures need to know of each frame.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/video_encoder.h"

struct AVFrame;

namespace nimbar::testing {

struct EncoderClip {
    host::VideoCodec codec = host::VideoCodec::H264;
    std::vector<std::vector<uint8_t>> frames;  // in stream order
    // Per frame: whether a decoder can start at it (an IDR, a VP8 keyframe, an H.264 recovery
    // point), and how many frames after it the picture is whole again (a recovery point's count).
    std::vector<bool> restart;
    std::vector<int> recovery;
    // Per frame: its picture's place among the clip's pictures in display order; -1 for a frame
    // never shown (a VP8 alt-ref frame).
    std::vector<int> picture;
    int pictures = 0;
    // Per frame: pictures an intact decoder fed the clip from its start has handed out once it
    // took that frame; fewer than the frames' pictures where B-frames hold the newest back.
    std::vector<int> out_after;
    std::shared_ptr<const AVFrame> first_picture;  // as libavcodec decodes it
};

// What ffmpeg encodes: each lavfi source a part, the parts joined in order (a part from its own
// keyframe), with `encoder` ("libx264": raw H.264; "libvpx": VP8 in IVF) and its options.
struct ClipRecipe {
    std::string encoder;
    std::string options;  // after "-c:v <encoder>", separated by spaces
    std::vector<std::string> sources;
    bool two_pass = false;
    bool parameter_sets_once = false;  // SPS and PPS in the first frame only, as some hosts send
};

// Whether the ffmpeg on the PATH has this encoder ("libx264", "libvpx"); false without ffmpeg.
bool ffmpeg_has_encoder(const std::string& encoder);

// Runs ffmpeg for the recipe in a folder of its own, reads the stream back into frames, decodes
// them once to learn their display order, and marks where a decoder can start. Empty, with the
// reason in `problem`, when ffmpeg fails or its stream does not decode.
std::optional<EncoderClip> make_encoder_clip(const ClipRecipe& recipe, std::string& problem);

}  // namespace nimbar::testing
