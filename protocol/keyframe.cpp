#include "protocol/keyframe.h"

namespace nimbar::protocol {

namespace {

// NAL unit types (H.264, table 7-1): slices of a coded picture, and the IDR slice among them.
constexpr uint8_t NAL_SLICE = 1;
constexpr uint8_t NAL_SLICE_PARTITION_C = 4;
constexpr uint8_t NAL_IDR_SLICE = 5;
constexpr uint8_t NAL_TYPE_MASK = 0x1F;

}  // namespace

bool is_vp8_keyframe(std::span<const uint8_t> frame) {
    return !frame.empty() && (frame[0] & 0x01) == 0;
}

bool is_h264_idr(std::span<const uint8_t> frame) {
    // Each NAL unit follows a 00 00 01 start code (a four-byte 00 00 00 01 ends the same way).
    for (size_t i = 0; i + 3 < frame.size(); ++i) {
        if (frame[i] != 0 || frame[i + 1] != 0 || frame[i + 2] != 1) {
            continue;
        }
        const uint8_t type = frame[i + 3] & NAL_TYPE_MASK;
        if (type == NAL_IDR_SLICE) {
            return true;
        }
        if (type >= NAL_SLICE && type <= NAL_SLICE_PARTITION_C) {
            return false;  // the first slice decides
        }
        i += 3;
    }
    return false;
}

}  // namespace nimbar::protocol
