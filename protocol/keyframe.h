#pragma once

// What a compressed video frame says of itself where decoding is concerned: whether a decoder can
// start from it, whether it brings what such a start needs, and whether a picture comes of it.
// Read from the frame's first bytes and headers only; none of it tells whether the frame will
// decode.

#include <cstdint>
#include <span>
#include <vector>

namespace nimbar::protocol {

struct FrameTraits {
    // A decoder can start here: a VP8 keyframe; an H.264 IDR picture, given the parameter sets.
    bool keyframe = false;
    // H.264: a sequence and a picture parameter set come before its first slice.
    bool parameter_sets = false;
    // H.264: a recovery point (periodic intra refresh): pictures are whole again once the refresh
    // that starts here has passed.
    bool recovery_point = false;
    // A picture to show comes of it: not a hidden VP8 frame (an alt-ref), not an H.264 access unit
    // of parameter sets or SEI alone.
    bool shows_picture = false;
};

// VP8: a keyframe has the key-frame bit of the frame tag (bit 0 of the first byte) clear, and its
// start code and picture size follow the tag (ten bytes in all); bit 4 is show_frame.
FrameTraits vp8_frame_traits(std::span<const uint8_t> frame);
// H.264 in Annex B: the NAL units before the frame's first slice, and that slice's type.
FrameTraits h264_frame_traits(std::span<const uint8_t> frame);

// H.264: the sequence and picture parameter set units before the frame's first slice, each after a
// four-byte start code; empty when it has none.
std::vector<uint8_t> h264_parameter_sets(std::span<const uint8_t> frame);

// Whether a frame's first bytes are those of the codec: for H.264 (Annex B) two or more zero bytes
// and a one (a start code), then a NAL header with the forbidden bit clear and a type from 1 to
// 23; for VP8 a frame tag whose first partition fits in the frame and, for a keyframe, the start
// code after it. No frame is both; junk and empty frames are neither.
bool looks_like_h264(std::span<const uint8_t> frame);
bool looks_like_vp8(std::span<const uint8_t> frame);

// A frame a decoder opened afresh can start from, junk that only claims to be one excluded.
bool is_vp8_keyframe(std::span<const uint8_t> frame);
// An IDR picture with its sequence and picture parameter sets before it.
bool is_h264_idr(std::span<const uint8_t> frame);

}  // namespace nimbar::protocol
