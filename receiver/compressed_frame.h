#pragma once

// One complete compressed video frame on its way from reassembly to the decoder.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "protocol/keyframe.h"

namespace nimbar::client {

// Extra zero bytes after every frame handed to the decoder: libavcodec may read up to this far past
// a packet's end (AV_INPUT_BUFFER_PADDING_SIZE, 64 in every release this builds with).
inline constexpr size_t DECODER_INPUT_PADDING = 64;

struct CompressedFrame {
    using Clock = std::chrono::steady_clock;

    std::vector<uint8_t> bytes;  // the frame, then DECODER_INPUT_PADDING zero bytes
    size_t length = 0;           // the frame's own length
    uint32_t frame_id = 0;
    bool keyframe = false;  // decodable on its own (H.264: given its parameter sets)
    // H.264: the frame brings a sequence and a picture parameter set; it holds a recovery point
    // (periodic intra refresh).
    bool parameter_sets = false;
    bool recovery_point = false;
    bool shows_picture = true;         // a picture to show comes of it (not a hidden VP8 frame)
    Clock::time_point completed_at{};  // arrival of its last fragment
    // A frame before this one was lost (given up, overtaken, purged or flushed), so this one may
    // refer to a picture the decoder never saw. lost_at is when the first such loss was noticed.
    bool follows_loss = false;
    Clock::time_point lost_at{};
    // A keyframe was among the frames lost before this one: the host does send keyframes, so a
    // wait for one is worth keeping up. When its loss was noticed.
    std::optional<Clock::time_point> keyframe_lost_at;

    void set_traits(const protocol::FrameTraits& traits) {
        keyframe = traits.keyframe;
        parameter_sets = traits.parameter_sets;
        recovery_point = traits.recovery_point;
        shows_picture = traits.shows_picture;
    }

    // Marks the frame as following a loss noticed at `when`, keeping an earlier loss's time.
    void mark_loss(Clock::time_point when) {
        if (!follows_loss) {
            follows_loss = true;
            lost_at = when;
        }
    }
};

}  // namespace nimbar::client
