#pragma once

// The viewer's two codecs, and whether a frame of one stands on its own.

#include <cstdint>
#include <span>

#include "protocol/keyframe.h"

namespace nimbar::client {

enum class VideoCodec { VP8, H264 };

// The viewer's codec selector: 1 is H.264, anything else VP8.
inline VideoCodec codec_from_selector(uint8_t selector) {
    return selector == 1 ? VideoCodec::H264 : VideoCodec::VP8;
}

inline bool is_keyframe(VideoCodec codec, std::span<const uint8_t> frame) {
    return codec == VideoCodec::H264 ? protocol::is_h264_idr(frame)
                                     : protocol::is_vp8_keyframe(frame);
}

}  // namespace nimbar::client
