#include "receiver/codec_check.h"

namespace nimbar::client {

std::optional<VideoCodec> codec_of_frame(std::span<const uint8_t> frame) {
    if (protocol::looks_like_h264(frame)) {
        return VideoCodec::H264;
    }
    if (protocol::looks_like_vp8(frame)) {
        return VideoCodec::VP8;
    }
    return std::nullopt;
}

bool CodecCheck::observe(std::span<const uint8_t> frame, Clock::time_point now) {
    const auto codec = codec_of_frame(frame);
    if (!codec || *codec == expected) {
        mismatched_in_a_row = 0;
        return false;
    }
    if (mismatched_in_a_row < MISMATCHED_FRAMES) {
        ++mismatched_in_a_row;
    }
    if (mismatched_in_a_row < MISMATCHED_FRAMES ||
        (last_line && now - *last_line < REPEAT_INTERVAL)) {
        return false;
    }
    last_line = now;
    return true;
}

const char* CodecCheck::line() const {
    return expected == VideoCodec::VP8
               ? "[VideoReceiver] The stream does not look like VP8; is --codec right? It looks "
                 "like H.264 (--codec 1)\n"
               : "[VideoReceiver] The stream does not look like H.264; is --codec right? It looks "
                 "like VP8 (--codec 0)\n";
}

}  // namespace nimbar::client
