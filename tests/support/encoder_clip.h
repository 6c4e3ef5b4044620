#pragma once

// Streams as other hosts' encoders make them: written by the ffmpeg command-line tool, then split
// into the frames a host sends one at a time (an H.264 access unit, a VP8 frame), with what a host
// and a judge of the pictures need to know of each frame.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/video_encoder.h"

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
};

// Whether the ffmpeg on the PATH has this encoder ("libx264", "libvpx"); false without ffmpeg.
bool ffmpeg_has_encoder(const std::string& encoder);

// Runs ffmpeg with these arguments; false, with what it wrote to stderr in `errors`, when it fails.
bool run_ffmpeg(const std::vector<std::string>& arguments, std::string& errors);

// Reads raw H.264 (Annex B) or IVF (VP8) into frames, decodes them once to learn their display
// order, and marks where a decoder can start. With `parameter_sets_once`, the sequence and picture
// parameter sets are left in the first frame only, as a host that sends them once does. Empty
// when the file cannot be read or decoded.
std::optional<EncoderClip> read_encoder_clip(const std::string& path, host::VideoCodec codec,
                                             bool parameter_sets_once);

}  // namespace nimbar::testing
