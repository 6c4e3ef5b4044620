#pragma once

// Which way a decoded picture goes to the screen, and with which colours. SDL's YUV textures take
// 8-bit 4:2:0 pictures as they are, and the GPU converts them, in one of three ways: BT.601 or
// BT.709 limited range, or BT.601 full range (JPEG). A picture whose colour tags ask for one of
// those goes that way; any other (4:4:4, 10-bit, full-range BT.709, another matrix), or any
// picture when the renderer has no YUV textures, is converted to BGRA by libswscale, which
// honours every tag. Untagged pictures are BT.601 limited range, what encoders of screens mean by
// none (SDL's own automatic choice would read HD ones as BT.709). Pure logic.

#include <SDL.h>

#include <optional>

struct AVFrame;

namespace nimbar::client {

// What libavcodec says of a picture's samples: its pixel format, colour range and matrix (the
// AVPixelFormat, AVColorRange and AVColorSpace values).
struct PictureTags {
    int format = -1;
    int color_range = 0;
    int colorspace = 2;  // unspecified
};

PictureTags tags_of(const AVFrame& picture);

// Full range: tagged so, or a yuvj format (which means it).
bool full_range(const PictureTags& tags);

// The mode SDL's YUV textures show the picture truly with; none when they cannot.
std::optional<SDL_YUV_CONVERSION_MODE> yuv_texture_mode(const PictureTags& tags);

// What a renderer's YUV textures take: nothing (the software renderer), or pictures up to its
// largest texture. A larger picture goes the BGRA way, at the receiver's size.
struct YuvTextures {
    bool available = false;
    int max_width = 0;  // 0: the renderer names no limit
    int max_height = 0;
    bool fit(int width, int height) const {
        return available && (max_width == 0 || width <= max_width) &&
               (max_height == 0 || height <= max_height);
    }
};

// libswscale's coefficient set (SWS_CS_...) for the picture's matrix.
int sws_colorspace(const PictureTags& tags);

}  // namespace nimbar::client
