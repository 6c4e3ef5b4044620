#include "host/video_file_source.h"

#include <cstdio>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libswscale/swscale.h>
}

namespace nimbar::host {

namespace {

// Enough to keep a large file's decoding ahead of the encoder on the two cores the host usually
// shares with the viewer it feeds.
constexpr int DECODER_THREADS = 2;

}  // namespace

VideoFileSource::VideoFileSource(int width, int height, const std::string& path)
    : width(width), height(height), path(path) {
    packet = av_packet_alloc();
    picture = av_frame_alloc();
    if (packet == nullptr || picture == nullptr) {
        fail("out of memory");
        return;
    }
    if (!open_file()) {
        return;
    }
    const AVCodecParameters* parameters = format->streams[stream_index]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (codec == nullptr) {
        fail("has no decoder for its video");
        return;
    }
    decoder = avcodec_alloc_context3(codec);
    if (decoder == nullptr || avcodec_parameters_to_context(decoder, parameters) < 0) {
        fail("cannot set up its decoder");
        return;
    }
    decoder->thread_count = DECODER_THREADS;
    if (avcodec_open2(decoder, codec, nullptr) < 0) {
        fail("cannot open its decoder");
        return;
    }
    usable = true;
}

VideoFileSource::~VideoFileSource() {
    close_file();
    sws_freeContext(scaler);
    avcodec_free_context(&decoder);
    av_frame_free(&picture);
    av_packet_free(&packet);
}

bool VideoFileSource::fail(const char* what) {
    fprintf(stderr, "[Host] Error: %s %s\n", path.c_str(), what);
    usable = false;
    return false;
}

bool VideoFileSource::open_file() {
    int result = avformat_open_input(&format, path.c_str(), nullptr, nullptr);
    if (result < 0) {
        char reason[AV_ERROR_MAX_STRING_SIZE];
        av_strerror(result, reason, sizeof reason);
        fprintf(stderr, "[Host] Error: cannot open %s: %s\n", path.c_str(), reason);
        usable = false;
        return false;
    }
    if (avformat_find_stream_info(format, nullptr) < 0) {
        return fail("cannot be read as a video file");
    }
    result = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (result < 0) {
        return fail("holds no video stream");
    }
    stream_index = result;
    return true;
}

void VideoFileSource::close_file() {
    avformat_close_input(&format);
}

// Opening the file again rather than seeking: seeking to the start is not possible in every format
// (raw streams, some containers) and may land after the first keyframe.
bool VideoFileSource::restart() {
    if (pictures_this_pass == 0) {
        return fail("holds no picture that can be decoded");
    }
    close_file();
    if (!open_file()) {
        return false;
    }
    avcodec_flush_buffers(decoder);
    pictures_this_pass = 0;
    return true;
}

bool VideoFileSource::next(std::vector<uint8_t>& frame) {
    if (!usable) {
        return false;
    }
    for (;;) {
        int result = avcodec_receive_frame(decoder, picture);
        if (result == 0) {
            ++pictures_this_pass;
            const bool converted = convert(frame);
            av_frame_unref(picture);
            return converted;
        }
        if (result == AVERROR_EOF) {
            if (!restart()) {
                return false;
            }
            continue;
        }
        if (result == AVERROR_INVALIDDATA) {
            continue;  // a picture lost to damage; the ones after it may still decode
        }
        if (result != AVERROR(EAGAIN)) {
            return fail("cannot be decoded");
        }
        // The decoder wants more: the next packet of the stream, or at the end (or a read error,
        // which ends the pass the same way) the signal to give up the pictures it still holds.
        result = av_read_frame(format, packet);
        if (result < 0) {
            avcodec_send_packet(decoder, nullptr);
            continue;
        }
        if (packet->stream_index == stream_index) {
            // A damaged packet is passed over, as a player would; the decoder conceals the rest.
            avcodec_send_packet(decoder, packet);
        }
        av_packet_unref(packet);
    }
}

bool VideoFileSource::convert(std::vector<uint8_t>& frame) {
    // Pictures may change size or format mid-stream; the cached context follows them.
    scaler = sws_getCachedContext(scaler, picture->width, picture->height,
                                  static_cast<AVPixelFormat>(picture->format), width, height,
                                  AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (scaler == nullptr) {
        return fail("has pictures that cannot be converted to BGRA");
    }
    frame.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
    uint8_t* const target[1] = {frame.data()};
    const int target_stride[1] = {width * 4};
    if (sws_scale(scaler, picture->data, picture->linesize, 0, picture->height, target,
                  target_stride) <= 0) {
        return fail("has pictures that cannot be converted to BGRA");
    }
    return true;
}

}  // namespace nimbar::host
