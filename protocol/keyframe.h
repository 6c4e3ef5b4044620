#pragma once

// Whether a compressed video frame stands on its own: the frame a stream that lost a reference can
// be decoded from again, and the one a host answers a keyframe request with.

#include <cstdint>
#include <span>

namespace nimbar::protocol {

// Each tells a frame that could begin a stream from anything else, junk that only claims to be a
// keyframe included; it does not tell whether the frame will decode.

// VP8: the key-frame bit of the frame tag (bit 0 of the first byte) is clear, and the keyframe's
// start code and picture size follow it (ten bytes in all).
bool is_vp8_keyframe(std::span<const uint8_t> frame);
// H.264 in Annex B: the frame's first slice is an IDR slice (NAL unit type 5), with a sequence and
// a picture parameter set before it: a decoder opened without either can start nowhere else.
bool is_h264_idr(std::span<const uint8_t> frame);

}  // namespace nimbar::protocol
