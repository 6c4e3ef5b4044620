#include "protocol/keyframe.h"

namespace nimbar::protocol {

namespace {

// NAL unit types (H.264, table 7-1): slices of a coded picture, and the IDR slice among them.
constexpr uint8_t NAL_SLICE = 1;
constexpr uint8_t NAL_SLICE_PARTITION_C = 4;
constexpr uint8_t NAL_IDR_SLICE = 5;
constexpr uint8_t NAL_SEQUENCE_PARAMETER_SET = 7;
constexpr uint8_t NAL_PICTURE_PARAMETER_SET = 8;
constexpr uint8_t NAL_TYPE_MASK = 0x1F;
// A VP8 keyframe's uncompressed header: the 3-byte frame tag, the start code, width and height.
constexpr size_t VP8_KEYFRAME_HEADER = 10;
constexpr uint8_t VP8_START_CODE[] = {0x9d, 0x01, 0x2a};

}  // namespace

bool is_vp8_keyframe(std::span<const uint8_t> frame) {
    return frame.size() >= VP8_KEYFRAME_HEADER && (frame[0] & 0x01) == 0 &&
           frame[3] == VP8_START_CODE[0] && frame[4] == VP8_START_CODE[1] &&
           frame[5] == VP8_START_CODE[2];
}

bool is_h264_idr(std::span<const uint8_t> frame) {
    // Each NAL unit follows a 00 00 01 start code (a four-byte 00 00 00 01 ends the same way).
    bool sequence_set = false;
    bool picture_set = false;
    for (size_t i = 0; i + 3 < frame.size(); ++i) {
        if (frame[i] != 0 || frame[i + 1] != 0 || frame[i + 2] != 1) {
            continue;
        }
        const uint8_t type = frame[i + 3] & NAL_TYPE_MASK;
        sequence_set = sequence_set || type == NAL_SEQUENCE_PARAMETER_SET;
        picture_set = picture_set || type == NAL_PICTURE_PARAMETER_SET;
        if (type == NAL_IDR_SLICE) {
            return sequence_set && picture_set;
        }
        if (type >= NAL_SLICE && type <= NAL_SLICE_PARTITION_C) {
            return false;  // the first slice decides
        }
        i += 3;
    }
    return false;
}

}  // namespace nimbar::protocol
