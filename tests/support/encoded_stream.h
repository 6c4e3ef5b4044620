#pragma once

// Real compressed video for tests, benchmarks and fuzz seeds: pictures encoded with libvpx or
// libx264 as the host encodes them, and cut into fragment datagrams as the host sends them.

#include <cstdint>
#include <functional>
#include <vector>

#include "host/video_encoder.h"

namespace nimbar::testing {

// Draws picture number `n` into a BGRA buffer of the encoder's width x height.
using DrawPicture = std::function<void(uint32_t n, std::vector<uint8_t>& bgra)>;

// Pictures `first_number` .. `first_number + count - 1`, encoded in one stream: the first is a
// keyframe, and so is every `keyframe_every`-th after it (0: none), the rest as the encoder
// chooses. Empty when the encoder fails or holds a frame back.
std::vector<std::vector<uint8_t>> encode_frames(const host::EncoderSettings& settings, int count,
                                                const DrawPicture& draw, uint32_t first_number = 1,
                                                int keyframe_every = 0);

// The host's test pattern at 8 Mbit/s, as encode_frames encodes it.
std::vector<std::vector<uint8_t>> encode_pattern(host::VideoCodec codec, int width, int height,
                                                 int count, uint32_t first_number = 1,
                                                 int keyframe_every = 0);

// The fragment datagrams of one frame, in index order.
std::vector<std::vector<uint8_t>> fragment_datagrams(const std::vector<uint8_t>& frame,
                                                     uint32_t frame_id);

}  // namespace nimbar::testing
