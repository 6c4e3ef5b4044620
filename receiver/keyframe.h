#pragma once

// Whether a compressed frame stands on its own: the frame a stream that lost a reference can be
// decoded from again.

#include <cstdint>
#include <span>

namespace nimbar::client {

enum class VideoCodec { VP8, H264 };

// The viewer's codec selector: 1 is H.264, anything else VP8.
inline VideoCodec codec_from_selector(uint8_t selector) {
    return selector == 1 ? VideoCodec::H264 : VideoCodec::VP8;
}

// VP8: the key-frame bit of the frame tag (bit 0 of the first byte) is clear.
bool is_vp8_keyframe(std::span<const uint8_t> frame);
// H.264 in Annex B: the frame's first slice is an IDR slice (NAL unit type 5). Parameter sets and
// other non-slice units before it are passed over.
bool is_h264_idr(std::span<const uint8_t> frame);

inline bool is_keyframe(VideoCodec codec, std::span<const uint8_t> frame) {
    return codec == VideoCodec::H264 ? is_h264_idr(frame) : is_vp8_keyframe(frame);
}

}  // namespace nimbar::client
