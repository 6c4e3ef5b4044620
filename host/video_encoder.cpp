#include "host/video_encoder.h"

#include <cstdio>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace nimbar::host {

namespace {

const char* encoder_name(VideoCodec codec) {
    return codec == VideoCodec::H264 ? "libx264" : "libvpx";
}

void set_option(AVCodecContext* context, const char* name, const char* value) {
    av_opt_set(context->priv_data, name, value, 0);
}

}  // namespace

VideoEncoder::~VideoEncoder() {
    close();
}

void VideoEncoder::close() {
    sws_freeContext(converter);
    converter = nullptr;
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
}

bool VideoEncoder::open(const EncoderSettings& settings) {
    close();
    current = settings;
    next_pts = 0;
    const AVCodec* codec = avcodec_find_encoder_by_name(encoder_name(settings.codec));
    if (codec == nullptr) {
        fprintf(stderr, "[Host] Error: encoder %s not available\n", encoder_name(settings.codec));
        return false;
    }
    context = avcodec_alloc_context3(codec);
    frame = av_frame_alloc();
    packet = av_packet_alloc();
    if (context == nullptr || frame == nullptr || packet == nullptr) {
        fprintf(stderr, "[Host] Error: out of memory for the encoder\n");
        close();
        return false;
    }
    context->width = settings.width;
    context->height = settings.height;
    context->time_base = AVRational{1, settings.fps};
    context->framerate = AVRational{settings.fps, 1};
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->bit_rate = int64_t{settings.bitrate_kbps} * 1000;
    context->gop_size = settings.keyframe_interval;
    context->max_b_frames = 0;
    context->thread_count = 2;
    if (settings.codec == VideoCodec::H264) {
        set_option(context, "preset", "veryfast");
        set_option(context, "tune", "zerolatency");
        set_option(context, "forced-idr", "1");
    } else {
        set_option(context, "deadline", "realtime");
        set_option(context, "cpu-used", "8");
        set_option(context, "lag-in-frames", "0");
    }
    const int result = avcodec_open2(context, codec, nullptr);
    if (result < 0) {
        char reason[AV_ERROR_MAX_STRING_SIZE];
        av_strerror(result, reason, sizeof reason);
        fprintf(stderr, "[Host] Error: cannot open %s at %dx%d: %s\n", encoder_name(settings.codec),
                settings.width, settings.height, reason);
        close();
        return false;
    }
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = settings.width;
    frame->height = settings.height;
    if (av_frame_get_buffer(frame, 0) < 0) {
        fprintf(stderr, "[Host] Error: out of memory for the encoder\n");
        close();
        return false;
    }
    converter = sws_getContext(settings.width, settings.height, AV_PIX_FMT_BGRA, settings.width,
                               settings.height, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr,
                               nullptr);
    if (converter == nullptr) {
        fprintf(stderr, "[Host] Error: cannot convert BGRA to YUV\n");
        close();
        return false;
    }
    return true;
}

bool VideoEncoder::encode(std::span<const uint8_t> bgra, bool force_keyframe,
                          std::vector<uint8_t>& out, bool& keyframe) {
    out.clear();
    keyframe = false;
    const size_t expected = static_cast<size_t>(current.width) * current.height * 4;
    if (context == nullptr) {
        fprintf(stderr, "[Host] Error: the encoder is not open\n");
        return false;
    }
    if (bgra.size() < expected) {
        fprintf(stderr, "[Host] Error: a frame of %zu bytes is short of %dx%d BGRA\n", bgra.size(),
                current.width, current.height);
        return false;
    }
    if (av_frame_make_writable(frame) < 0) {
        fprintf(stderr, "[Host] Error: out of memory for the encoder\n");
        return false;
    }
    const uint8_t* source[1] = {bgra.data()};
    const int source_stride[1] = {current.width * 4};
    sws_scale(converter, source, source_stride, 0, current.height, frame->data, frame->linesize);
    frame->pts = next_pts++;
    frame->pict_type = force_keyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;

    int result = avcodec_send_frame(context, frame);
    if (result < 0) {
        fprintf(stderr, "[Host] Error: encoding failed: %d\n", result);
        return false;
    }
    // Low-latency settings give one packet per frame; take whatever is ready.
    while ((result = avcodec_receive_packet(context, packet)) >= 0) {
        out.insert(out.end(), packet->data, packet->data + packet->size);
        keyframe = keyframe || (packet->flags & AV_PKT_FLAG_KEY) != 0;
        av_packet_unref(packet);
    }
    if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) {
        fprintf(stderr, "[Host] Error: encoding failed: %d\n", result);
        return false;
    }
    return true;
}

}  // namespace nimbar::host
