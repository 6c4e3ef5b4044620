#include "receiver/picture_path.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace nimbar::client {

namespace {

// The matrices SDL's BT.601 modes stand for: the one of SD television and of screens' encoders,
// and what an untagged picture means.
bool bt601(int colorspace) {
    return colorspace == AVCOL_SPC_UNSPECIFIED || colorspace == AVCOL_SPC_BT470BG ||
           colorspace == AVCOL_SPC_SMPTE170M;
}

}  // namespace

PictureTags tags_of(const AVFrame& picture) {
    return {picture.format, picture.color_range, picture.colorspace};
}

bool full_range(const PictureTags& tags) {
    return tags.color_range == AVCOL_RANGE_JPEG || tags.format == AV_PIX_FMT_YUVJ420P ||
           tags.format == AV_PIX_FMT_YUVJ422P || tags.format == AV_PIX_FMT_YUVJ444P ||
           tags.format == AV_PIX_FMT_YUVJ440P || tags.format == AV_PIX_FMT_YUVJ411P;
}

std::optional<SDL_YUV_CONVERSION_MODE> yuv_texture_mode(const PictureTags& tags) {
    if (tags.format != AV_PIX_FMT_YUV420P && tags.format != AV_PIX_FMT_YUVJ420P) {
        return std::nullopt;
    }
    if (full_range(tags)) {
        return bt601(tags.colorspace) ? std::optional(SDL_YUV_CONVERSION_JPEG) : std::nullopt;
    }
    if (tags.colorspace == AVCOL_SPC_BT709) {
        return SDL_YUV_CONVERSION_BT709;
    }
    return bt601(tags.colorspace) ? std::optional(SDL_YUV_CONVERSION_BT601) : std::nullopt;
}

int sws_colorspace(const PictureTags& tags) {
    switch (tags.colorspace) {
        case AVCOL_SPC_BT709:
            return SWS_CS_ITU709;
        case AVCOL_SPC_FCC:
            return SWS_CS_FCC;
        case AVCOL_SPC_SMPTE240M:
            return SWS_CS_SMPTE240M;
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL:
            return SWS_CS_BT2020;
        default:
            return SWS_CS_ITU601;
    }
}

}  // namespace nimbar::client
