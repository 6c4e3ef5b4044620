#pragma once

// Real compressed video for tests: the host's test pattern encoded with libvpx or libx264, and
// cut into fragment datagrams as the host sends them.

#include <cstdint>
#include <vector>

#include "host/video_encoder.h"

namespace nimbar::testing {

// Pattern frames `first_number` .. `first_number + count - 1`, encoded in one stream: the first is
// a keyframe, and so is every `keyframe_every`-th after it (0: none), the rest delta frames.
std::vector<std::vector<uint8_t>> encode_pattern(host::VideoCodec codec, int width, int height,
                                                 int count, uint32_t first_number = 1,
                                                 int keyframe_every = 0);

// The fragment datagrams of one frame, in index order.
std::vector<std::vector<uint8_t>> fragment_datagrams(const std::vector<uint8_t>& frame,
                                                     uint32_t frame_id);

}  // namespace nimbar::testing
