#include "receiver/picture_conversion.h"

#include <vector>

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "receiver/picture_path.h"

namespace nimbar::client {

namespace {

// Conversion threads: the scaling of a 1080p picture costs about as much as decoding it, and the
// decoder's slice threads are idle meanwhile.
constexpr int CONVERSION_THREADS = 2;
// Buffers made up front: one being written, one handed over, one on screen.
constexpr int POOL_BUFFERS = 3;
// libswscale's fixed-point one, for sws_setColorspaceDetails' brightness, contrast and saturation.
constexpr int SWS_UNITY = 1 << 16;

// Threaded conversion goes through sws_scale_frame, which libswscale has had since 6.1.
#if LIBSWSCALE_VERSION_INT >= AV_VERSION_INT(6, 1, 100)
#define NIMBAR_THREADED_CONVERSION 1
#else
#define NIMBAR_THREADED_CONVERSION 0
#endif

// The yuvj formats are their plain twins at full range; named so, libswscale takes the range from
// the context (and says nothing of deprecated formats).
int plain_format(int format) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P:
            return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P:
            return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P:
            return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P:
            return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P:
            return AV_PIX_FMT_YUV411P;
        default:
            return format;
    }
}

}  // namespace

bool BgraConversion::open(int picture_width, int picture_height) {
    close();
    width = picture_width;
    height = picture_height;
    const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
    pool = av_buffer_pool_init(bytes, av_buffer_allocz);
    if (pool == nullptr) {
        return false;
    }
    std::vector<AVBufferRef*> made;
    for (int i = 0; i < POOL_BUFFERS; ++i) {
        AVBufferRef* buffer = av_buffer_pool_get(pool);
        if (buffer == nullptr) {
            break;
        }
        made.push_back(buffer);
    }
    const bool all = made.size() == POOL_BUFFERS;
    for (AVBufferRef*& buffer : made) {
        av_buffer_unref(&buffer);  // back to the pool, for the pictures to come
    }
    if (!all) {
        close();
    }
    return all;
}

void BgraConversion::close() {
    if (context != nullptr) {
        sws_freeContext(context);
        context = nullptr;
    }
    if (pool != nullptr) {
        av_buffer_pool_uninit(&pool);  // buffers still out are freed when they come back
    }
    made_for = {};
}

bool BgraConversion::make_context(const Source& source) {
    if (context != nullptr) {
        sws_freeContext(context);
    }
    made_for = {};
    context = sws_alloc_context();
    if (context == nullptr) {
        return false;
    }
    av_opt_set_int(context, "srcw", source.width, 0);
    av_opt_set_int(context, "srch", source.height, 0);
    av_opt_set_int(context, "src_format", source.format, 0);
    av_opt_set_int(context, "dstw", width, 0);
    av_opt_set_int(context, "dsth", height, 0);
    av_opt_set_int(context, "dst_format", AV_PIX_FMT_BGRA, 0);
    av_opt_set_int(context, "sws_flags", SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, 0);
#if NIMBAR_THREADED_CONVERSION
    av_opt_set_int(context, "threads", CONVERSION_THREADS, 0);
#endif
    if (sws_init_context(context, nullptr, nullptr) < 0) {
        sws_freeContext(context);
        context = nullptr;
        return false;
    }
    // RGB formats have no matrix; libswscale refuses the details for them, and needs none.
    const AVPixFmtDescriptor* descriptor =
        av_pix_fmt_desc_get(static_cast<AVPixelFormat>(source.format));
    if (descriptor != nullptr && (descriptor->flags & AV_PIX_FMT_FLAG_RGB) == 0) {
        const int* matrix = sws_getCoefficients(source.colorspace);
        sws_setColorspaceDetails(context, matrix, source.full_range ? 1 : 0,
                                 sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, SWS_UNITY, SWS_UNITY);
    }
    made_for = source;
    return true;
}

bool BgraConversion::convert(const AVFrame& picture, AVFrame& into) {
    av_frame_unref(&into);
    if (pool == nullptr) {
        return false;
    }
    const PictureTags tags = tags_of(picture);
    const Source source{picture.width, picture.height, plain_format(picture.format),
                        sws_colorspace(tags), full_range(tags)};
    if ((context == nullptr || !(source == made_for)) && !make_context(source)) {
        return false;
    }
    into.buf[0] = av_buffer_pool_get(pool);
    if (into.buf[0] == nullptr) {
        return false;
    }
    into.data[0] = into.buf[0]->data;
    into.linesize[0] = width * 4;
    into.width = width;
    into.height = height;
    into.format = AV_PIX_FMT_BGRA;
#if NIMBAR_THREADED_CONVERSION
    // The context's format, range and matrix are the ones used, whatever the frame says.
    const bool converted = sws_scale_frame(context, &into, &picture) >= 0;
#else
    const bool converted = sws_scale(context, picture.data, picture.linesize, 0, picture.height,
                                     into.data, into.linesize) > 0;
#endif
    if (!converted) {
        av_frame_unref(&into);
    }
    return converted;
}

}  // namespace nimbar::client
