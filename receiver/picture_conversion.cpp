#include "receiver/picture_conversion.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace nimbar::client {

namespace {

// Conversion threads: the scaling of a 1080p picture costs about as much as decoding it, and the
// decoder's slice threads are idle meanwhile.
constexpr int CONVERSION_THREADS = 2;

// Threaded conversion goes through sws_scale_frame, which libswscale has had since 6.1.
#if LIBSWSCALE_VERSION_INT >= AV_VERSION_INT(6, 1, 100)
#define NIMBAR_THREADED_CONVERSION 1
#else
#define NIMBAR_THREADED_CONVERSION 0
#endif

int64_t option(SwsContext* context, const char* name) {
    int64_t value = -1;
    av_opt_get_int(context, name, 0, &value);
    return value;
}

bool made_for(SwsContext* context, const AVFrame& picture, int width, int height) {
    return option(context, "srcw") == picture.width && option(context, "srch") == picture.height &&
           option(context, "src_format") == picture.format && option(context, "dstw") == width &&
           option(context, "dsth") == height;
}

SwsContext* make_context(const AVFrame& picture, int width, int height) {
    SwsContext* context = sws_alloc_context();
    if (context == nullptr) {
        return nullptr;
    }
    av_opt_set_int(context, "srcw", picture.width, 0);
    av_opt_set_int(context, "srch", picture.height, 0);
    av_opt_set_int(context, "src_format", picture.format, 0);
    av_opt_set_int(context, "dstw", width, 0);
    av_opt_set_int(context, "dsth", height, 0);
    av_opt_set_int(context, "dst_format", AV_PIX_FMT_BGRA, 0);
    av_opt_set_int(context, "sws_flags", SWS_BILINEAR, 0);
#if NIMBAR_THREADED_CONVERSION
    av_opt_set_int(context, "threads", CONVERSION_THREADS, 0);
#endif
    if (sws_init_context(context, nullptr, nullptr) < 0) {
        sws_freeContext(context);
        return nullptr;
    }
    return context;
}

}  // namespace

SwsContext* conversion_for(SwsContext* current, const AVFrame& picture, int width, int height) {
    if (current != nullptr && made_for(current, picture, width, height)) {
        return current;
    }
    sws_freeContext(current);
    return make_context(picture, width, height);
}

bool convert_to_bgra(SwsContext* context, const AVFrame& picture, uint8_t* destination, int width,
                     int height) {
#if NIMBAR_THREADED_CONVERSION
    // sws_scale_frame writes into a frame that owns a buffer; this one borrows `destination`.
    AVFrame* target = av_frame_alloc();
    if (target == nullptr) {
        return false;
    }
    const size_t size = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
    target->buf[0] = av_buffer_create(
        destination, static_cast<int>(size), [](void*, uint8_t*) {}, nullptr, 0);
    target->data[0] = destination;
    target->linesize[0] = width * 4;
    target->width = width;
    target->height = height;
    target->format = AV_PIX_FMT_BGRA;
    const bool converted =
        target->buf[0] != nullptr && sws_scale_frame(context, target, &picture) >= 0;
    av_frame_free(&target);
    return converted;
#else
    uint8_t* planes[4] = {destination, nullptr, nullptr, nullptr};
    const int strides[4] = {width * 4, 0, 0, 0};
    return sws_scale(context, picture.data, picture.linesize, 0, picture.height, planes, strides) >
           0;
#endif
}

}  // namespace nimbar::client
