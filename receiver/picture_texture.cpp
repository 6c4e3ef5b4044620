#include "receiver/picture_texture.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include "receiver/picture_path.h"

namespace nimbar::client {

namespace {

// Limited-range black: what a fresh YUV texture shows before the first picture.
constexpr uint8_t BLACK_LUMA = 16;
constexpr uint8_t NEUTRAL_CHROMA = 128;

bool fits_an_int(int width, int height) {
    return width > 0 && height > 0 && int64_t{width} * height * 4 <= INT_MAX;
}

}  // namespace

YuvTextures yuv_textures_of(SDL_Renderer* renderer) {
    SDL_RendererInfo info;
    if (renderer == nullptr || SDL_GetRendererInfo(renderer, &info) != 0) {
        return {};
    }
    for (Uint32 i = 0; i < info.num_texture_formats; ++i) {
        if (info.texture_formats[i] == SDL_PIXELFORMAT_IYUV) {
            return {true, info.max_texture_width, info.max_texture_height};
        }
    }
    return {};
}

bool PictureTexture::create(SDL_Renderer* renderer, int width, int height) {
    const bool yuv = yuv_textures_of(renderer).fit(width, height);
    if (!make(renderer, {yuv ? SDL_PIXELFORMAT_IYUV : SDL_PIXELFORMAT_ARGB8888, width, height,
                         SDL_YUV_CONVERSION_BT601})) {
        return false;
    }
    fill_black();
    return true;
}

void PictureTexture::fill_black() {
    const int width = shape.width;
    const int height = shape.height;
    if (shape.format == SDL_PIXELFORMAT_IYUV) {
        // Two luma rows and their chroma row at a time, packed as SDL_UpdateTexture reads a YUV
        // rectangle (Y rows, then U, then V, the chroma rows rounded up), which every renderer
        // takes at odd sizes too.
        const uint8_t luma = shape.mode == SDL_YUV_CONVERSION_JPEG ? 0 : BLACK_LUMA;
        const int chroma_width = (width + 1) / 2;
        std::vector<uint8_t> rows;
        for (int y = 0; y < height; y += 2) {
            const int count = std::min(2, height - y);
            rows.assign(static_cast<size_t>(width) * count, luma);
            rows.resize(rows.size() + 2 * static_cast<size_t>(chroma_width), NEUTRAL_CHROMA);
            const SDL_Rect rect{0, y, width, count};
            SDL_UpdateTexture(texture, &rect, rows.data(), width);
        }
    } else {
        const std::vector<uint8_t> row(static_cast<size_t>(width) * 4, 0);
        for (int y = 0; y < height; ++y) {
            const SDL_Rect one{0, y, width, 1};
            SDL_UpdateTexture(texture, &one, row.data(), width * 4);
        }
    }
}

PictureTexture::Shape PictureTexture::shape_of(const AVFrame& picture) {
    const auto mode = yuv_texture_mode(tags_of(picture));
    if (picture.format != AV_PIX_FMT_BGRA && mode) {
        return {SDL_PIXELFORMAT_IYUV, picture.width, picture.height, *mode};
    }
    return {SDL_PIXELFORMAT_ARGB8888, picture.width, picture.height, SDL_YUV_CONVERSION_BT601};
}

bool PictureTexture::show(SDL_Renderer* renderer, const AVFrame& picture) {
    const Shape wanted = shape_of(picture);
    if ((texture == nullptr || !(wanted == shape)) && !make(renderer, wanted)) {
        return false;
    }
    return upload(picture);
}

bool PictureTexture::recreate(SDL_Renderer* renderer, const AVFrame* picture) {
    const bool has_picture = picture != nullptr && picture->data[0] != nullptr;
    const Shape wanted = has_picture ? shape_of(*picture) : shape;
    destroy();
    if (!make(renderer, wanted)) {
        return false;
    }
    if (!has_picture) {
        fill_black();  // a new texture's contents are undefined (zeros: green in YUV)
        return true;
    }
    return upload(*picture);
}

void PictureTexture::destroy() {
    if (texture != nullptr) {
        SDL_DestroyTexture(texture);
        texture = nullptr;
    }
}

bool PictureTexture::make(SDL_Renderer* renderer, const Shape& wanted) {
    destroy();
    if (!fits_an_int(wanted.width, wanted.height)) {
        if (wanted.width > 0 && wanted.height > 0) {
            SDL_SetError("Texture dimensions are limited to %d bytes", INT_MAX);
        } else {
            SDL_SetError("Texture dimensions can't be 0");
        }
        return false;
    }
    if (wanted.format == SDL_PIXELFORMAT_IYUV) {
        // Global, and read by some renderers when the texture is made: set for this one.
        SDL_SetYUVConversionMode(wanted.mode);
    }
    texture = SDL_CreateTexture(renderer, wanted.format, SDL_TEXTUREACCESS_STREAMING, wanted.width,
                                wanted.height);
    shape = texture != nullptr ? wanted : Shape{};
    return texture != nullptr;
}

bool PictureTexture::upload(const AVFrame& picture) {
    if (shape.format == SDL_PIXELFORMAT_IYUV && (shape.width % 2 != 0 || shape.height % 2 != 0)) {
        return upload_packed(picture);
    }
    if (shape.format == SDL_PIXELFORMAT_IYUV) {
        return SDL_UpdateYUVTexture(texture, nullptr, picture.data[0], picture.linesize[0],
                                    picture.data[1], picture.linesize[1], picture.data[2],
                                    picture.linesize[2]) == 0;
    }
    return SDL_UpdateTexture(texture, nullptr, picture.data[0], picture.linesize[0]) == 0;
}

bool PictureTexture::upload_packed(const AVFrame& picture) {
    const int chroma_width = (shape.width + 1) / 2;
    const int chroma_height = (shape.height + 1) / 2;
    packed.resize(static_cast<size_t>(shape.width) * shape.height +
                  2 * static_cast<size_t>(chroma_width) * chroma_height);
    uint8_t* to = packed.data();
    const auto copy_plane = [&](int plane, int width, int height) {
        for (int y = 0; y < height; ++y, to += width) {
            std::memcpy(to,
                        picture.data[plane] + static_cast<ptrdiff_t>(y) * picture.linesize[plane],
                        static_cast<size_t>(width));
        }
    };
    copy_plane(0, shape.width, shape.height);
    copy_plane(1, chroma_width, chroma_height);
    copy_plane(2, chroma_width, chroma_height);
    // The chroma planes' pitch is read as (pitch + 1) / 2: chroma_width.
    return SDL_UpdateTexture(texture, nullptr, packed.data(), shape.width) == 0;
}

}  // namespace nimbar::client
