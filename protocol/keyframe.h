#pragma once

// Whether a compressed video frame stands on its own: the frame a stream that lost a reference can
// be decoded from again, and the one a host answers a keyframe request with.

#include <cstdint>
#include <span>

namespace nimbar::protocol {

// VP8: the key-frame bit of the frame tag (bit 0 of the first byte) is clear.
bool is_vp8_keyframe(std::span<const uint8_t> frame);
// H.264 in Annex B: the frame's first slice is an IDR slice (NAL unit type 5). Parameter sets and
// other non-slice units before it are passed over.
bool is_h264_idr(std::span<const uint8_t> frame);

}  // namespace nimbar::protocol
