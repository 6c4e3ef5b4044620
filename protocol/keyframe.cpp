#include "protocol/keyframe.h"

#include <cstddef>
#include <iterator>

namespace nimbar::protocol {

namespace {

// NAL unit types (H.264, table 7-1): slices of a coded picture, the IDR slice among them, SEI and
// the parameter sets.
constexpr uint8_t NAL_SLICE = 1;
constexpr uint8_t NAL_IDR_SLICE = 5;
constexpr uint8_t NAL_SEI = 6;
constexpr uint8_t NAL_SEQUENCE_PARAMETER_SET = 7;
constexpr uint8_t NAL_PICTURE_PARAMETER_SET = 8;
constexpr uint8_t NAL_TYPE_MASK = 0x1F;
constexpr uint8_t NAL_FORBIDDEN_BIT = 0x80;
constexpr uint8_t ANNEX_B_START_CODE[] = {0, 0, 0, 1};
// SEI payload type of a recovery point (annex D.1.8).
constexpr uint32_t SEI_RECOVERY_POINT = 6;
// A VP8 keyframe's uncompressed header: the 3-byte frame tag, the start code, width and height.
constexpr size_t VP8_FRAME_TAG = 3;
constexpr size_t VP8_KEYFRAME_HEADER = 10;
constexpr uint8_t VP8_START_CODE[] = {0x9d, 0x01, 0x2a};
constexpr uint8_t VP8_SHOW_FRAME_BIT = 0x10;
// The frame tag's first partition size, from bit 5 on; a keyframe's start code and picture size
// (7 bytes) follow the tag.
constexpr int VP8_PARTITION_SIZE_SHIFT = 5;
constexpr size_t VP8_KEYFRAME_EXTRA = VP8_KEYFRAME_HEADER - VP8_FRAME_TAG;
// The NAL unit types the standard gives a meaning (table 7-1).
constexpr uint8_t NAL_LAST_TYPE = 23;

// The bytes of one NAL unit's payload with the emulation prevention bytes (00 00 03) taken out.
class RbspReader {
  public:
    explicit RbspReader(std::span<const uint8_t> nal) : nal(nal) {}
    bool next(uint8_t& byte) {
        if (at < nal.size() && zeros >= 2 && nal[at] == 3) {
            ++at;
            zeros = 0;
        }
        if (at >= nal.size()) {
            return false;
        }
        byte = nal[at++];
        zeros = byte == 0 ? zeros + 1 : 0;
        return true;
    }
    // A payload type or size: bytes of 255 each add 255, the first other byte ends it.
    bool next_sei_number(uint32_t& value) {
        value = 0;
        uint8_t byte = 0;
        while (next(byte)) {
            value += byte;
            if (byte != 0xFF) {
                return true;
            }
        }
        return false;
    }

  private:
    std::span<const uint8_t> nal;
    size_t at = 0;
    int zeros = 0;
};

bool starts_code(std::span<const uint8_t> frame, size_t at) {
    return frame[at] == 0 && frame[at + 1] == 0 && frame[at + 2] == 1;
}

bool is_slice(uint8_t type) {
    return type >= NAL_SLICE && type <= NAL_IDR_SLICE;
}

// Calls visit(type, unit) for each NAL unit of an Annex B frame, from its header byte to the next
// start code, up to its first slice (the units an access unit has before its picture), and for
// that slice with only its header byte. Stops at a unit that is none (forbidden bit set).
template <typename Visit>
void visit_units_to_first_slice(std::span<const uint8_t> frame, Visit&& visit) {
    for (size_t i = 0; i + 3 < frame.size(); ++i) {
        if (!starts_code(frame, i)) {
            continue;
        }
        const size_t unit = i + 3;
        const uint8_t header = frame[unit];
        if ((header & NAL_FORBIDDEN_BIT) != 0) {
            return;
        }
        const uint8_t type = header & NAL_TYPE_MASK;
        if (is_slice(type)) {
            visit(type, frame.subspan(unit, 1));
            return;
        }
        size_t end = unit + 1;
        while (end + 3 <= frame.size() && !starts_code(frame, end)) {
            ++end;
        }
        end = end + 3 <= frame.size() ? end : frame.size();
        visit(type, frame.subspan(unit, end - unit));
        i = end - 1;  // the next start code, if any, is at `end`
    }
}

// Whether an SEI NAL unit (header byte excluded) holds a recovery point.
bool holds_recovery_point(std::span<const uint8_t> sei) {
    RbspReader reader(sei);
    uint32_t type = 0;
    uint32_t size = 0;
    while (reader.next_sei_number(type) && reader.next_sei_number(size)) {
        if (type == SEI_RECOVERY_POINT) {
            return true;
        }
        uint8_t skipped = 0;
        for (uint32_t i = 0; i < size; ++i) {
            if (!reader.next(skipped)) {
                return false;
            }
        }
    }
    return false;
}

}  // namespace

FrameTraits vp8_frame_traits(std::span<const uint8_t> frame) {
    FrameTraits traits;
    traits.keyframe = is_vp8_keyframe(frame);
    traits.shows_picture = frame.size() >= VP8_FRAME_TAG && (frame[0] & VP8_SHOW_FRAME_BIT) != 0;
    return traits;
}

FrameTraits h264_frame_traits(std::span<const uint8_t> frame) {
    FrameTraits traits;
    bool sequence_set = false;
    bool picture_set = false;
    visit_units_to_first_slice(frame, [&](uint8_t type, std::span<const uint8_t> unit) {
        sequence_set = sequence_set || type == NAL_SEQUENCE_PARAMETER_SET;
        picture_set = picture_set || type == NAL_PICTURE_PARAMETER_SET;
        if (type == NAL_SEI && unit.size() > 1) {
            traits.recovery_point = traits.recovery_point || holds_recovery_point(unit.subspan(1));
        }
        if (is_slice(type)) {
            traits.keyframe = type == NAL_IDR_SLICE;
            traits.shows_picture = true;
        }
    });
    traits.parameter_sets = sequence_set && picture_set;
    return traits;
}

std::vector<uint8_t> h264_parameter_sets(std::span<const uint8_t> frame) {
    std::vector<uint8_t> sets;
    visit_units_to_first_slice(frame, [&](uint8_t type, std::span<const uint8_t> unit) {
        if (type == NAL_SEQUENCE_PARAMETER_SET || type == NAL_PICTURE_PARAMETER_SET) {
            sets.insert(sets.end(), std::begin(ANNEX_B_START_CODE), std::end(ANNEX_B_START_CODE));
            sets.insert(sets.end(), unit.begin(), unit.end());
        }
    });
    return sets;
}

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
    return (header & NAL_FORBIDDEN_BIT) == 0 && type >= NAL_SLICE && type <= NAL_LAST_TYPE;
}

bool looks_like_vp8(std::span<const uint8_t> frame) {
    if (frame.size() < VP8_FRAME_TAG) {
        return false;
    }
    const bool keyframe = (frame[0] & 0x01) == 0;
    const uint32_t tag = frame[0] | frame[1] << 8 | frame[2] << 16;
    const size_t header = VP8_FRAME_TAG + (keyframe ? VP8_KEYFRAME_EXTRA : 0);
    if (frame.size() < header || (tag >> VP8_PARTITION_SIZE_SHIFT) > frame.size() - header) {
        return false;
    }
    return !keyframe || (frame[3] == VP8_START_CODE[0] && frame[4] == VP8_START_CODE[1] &&
                         frame[5] == VP8_START_CODE[2]);
}

bool is_vp8_keyframe(std::span<const uint8_t> frame) {
    return frame.size() >= VP8_KEYFRAME_HEADER && (frame[0] & 0x01) == 0 &&
           frame[3] == VP8_START_CODE[0] && frame[4] == VP8_START_CODE[1] &&
           frame[5] == VP8_START_CODE[2];
}

bool is_h264_idr(std::span<const uint8_t> frame) {
    const FrameTraits traits = h264_frame_traits(frame);
    return traits.keyframe && traits.parameter_sets;
}

}  // namespace nimbar::protocol
