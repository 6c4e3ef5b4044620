#include "receiver/codec_check.h"

namespace nimbar::client {

namespace {

// H.264 NAL header: the forbidden bit, and the types the standard gives a meaning (table 7-1).
constexpr uint8_t NAL_FORBIDDEN_BIT = 0x80;
constexpr uint8_t NAL_TYPE_MASK = 0x1F;
constexpr uint8_t NAL_FIRST_TYPE = 1;
constexpr uint8_t NAL_LAST_TYPE = 23;
// VP8 frame tag (3 bytes): bit 0 clear on a keyframe, the first partition's size from bit 5 on;
// a keyframe's start code and picture size (7 bytes) follow it.
constexpr size_t VP8_TAG_SIZE = 3;
constexpr size_t VP8_KEYFRAME_EXTRA = 7;
constexpr int VP8_PARTITION_SIZE_SHIFT = 5;
constexpr uint8_t VP8_START_CODE[] = {0x9d, 0x01, 0x2a};

bool looks_like_h264(std::span<const uint8_t> frame) {
    size_t zeros = 0;
    while (zeros < frame.size() && frame[zeros] == 0) {
        ++zeros;
    }
    if (zeros < 2 || zeros + 1 >= frame.size() || frame[zeros] != 1) {
        return false;
    }
    const uint8_t header = frame[zeros + 1];
    const uint8_t type = header & NAL_TYPE_MASK;
    return (header & NAL_FORBIDDEN_BIT) == 0 && type >= NAL_FIRST_TYPE && type <= NAL_LAST_TYPE;
}

bool looks_like_vp8(std::span<const uint8_t> frame) {
    if (frame.size() < VP8_TAG_SIZE) {
        return false;
    }
    const bool keyframe = (frame[0] & 0x01) == 0;
    const uint32_t tag = frame[0] | frame[1] << 8 | frame[2] << 16;
    const size_t header = VP8_TAG_SIZE + (keyframe ? VP8_KEYFRAME_EXTRA : 0);
    if (frame.size() < header || (tag >> VP8_PARTITION_SIZE_SHIFT) > frame.size() - header) {
        return false;
    }
    return !keyframe || (frame[3] == VP8_START_CODE[0] && frame[4] == VP8_START_CODE[1] &&
                         frame[5] == VP8_START_CODE[2]);
}

}  // namespace

std::optional<VideoCodec> codec_of_frame(std::span<const uint8_t> frame) {
    if (looks_like_h264(frame)) {
        return VideoCodec::H264;
    }
    if (looks_like_vp8(frame)) {
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
