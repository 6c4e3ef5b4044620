#pragma once

// Conversion of decoded pictures to BGRA at the receiver's size: bilinear, on two threads, with a
// context that follows the picture's size and pixel format.

#include <cstdint>

struct AVFrame;
struct SwsContext;

namespace nimbar::client {

// A context converting pictures like `picture` to BGRA width x height: `current` when it was made
// for the same source size and pixel format, otherwise a new one (and `current` is freed). Null
// when no context can be made for the picture.
SwsContext* conversion_for(SwsContext* current, const AVFrame& picture, int width, int height);

// Converts `picture` into `destination`, width * height * 4 bytes in rows of width * 4 bytes.
bool convert_to_bgra(SwsContext* context, const AVFrame& picture, uint8_t* destination, int width,
                     int height);

}  // namespace nimbar::client
