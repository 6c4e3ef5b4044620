#pragma once

// The viewer's two codecs, and what a frame of one says of itself.

#include <cstdint>
#include <span>

#include "protocol/keyframe.h"

namespace nimbar::client {

enum class VideoCodec { VP8, H264 };

// The viewer's codec selector: 1 is H.264, anything else VP8.
inline VideoCodec codec_from_selector(uint8_t selector) {
    return selector == 1 ? VideoCodec::H264 : VideoCodec::VP8;
}

inline const char* codec_name(VideoCodec codec) {
    return codec == VideoCodec::H264 ? "H.264" : "VP8";
}

inline protocol::FrameTraits frame_traits(VideoCodec codec, std::span<const uint8_t> frame) {
    return codec == VideoCodec::H264 ? protocol::h264_frame_traits(frame)
                                     : protocol::vp8_frame_traits(frame);
}

// A decoder can start here (for H.264: given parameter sets, in the frame or held already).
inline bool is_keyframe(VideoCodec codec, std::span<const uint8_t> frame) {
    return frame_traits(codec, frame).keyframe;
}

}  // namespace nimbar::client
