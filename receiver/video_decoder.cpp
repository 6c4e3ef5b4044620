#include "receiver/video_decoder.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "receiver/ffmpeg_log.h"
#include "receiver/picture_path.h"

namespace nimbar::client {

static_assert(DECODER_INPUT_PADDING >= AV_INPUT_BUFFER_PADDING_SIZE,
              "frames handed to the decoder must carry libavcodec's input padding");

namespace {

using Clock = CompressedFrame::Clock;

// Threads per decoder context, of either kind (see DecodePace for when each is used).
constexpr int DECODER_THREADS = 2;
// Pictures the decoder may make, as a multiple of the receiver's own size: a stream may be larger
// than announced (a 4K screen for a 1080p window is 4 times), but a keyframe that claims
// 16383 x 16383 must not make the decoder allocate gigabytes. Never below 4K UHD.
constexpr int64_t MAX_PICTURE_SIZE_FACTOR = 16;
constexpr int64_t MIN_PICTURE_LIMIT = 3840 * 2160;
// Frames sent whose pictures may still come out: frame threads hold one back per extra thread.
constexpr size_t MAX_FRAMES_IN_FLIGHT = 16;
// How long a decoder that holds a picture back waits for the next frame before it takes the pause
// for one and drains the picture out: past a frame interval at 30 frames/s with room for jitter,
// and short enough that the picture is up well within 100 ms of its frame's arrival.
constexpr auto HELD_PICTURE_WAIT = std::chrono::milliseconds(50);
// Decoder failures in a row that are logged; later ones in the same run are only counted.
constexpr uint32_t LOGGED_DECODE_ERRORS = 5;
// How long a join may block before the watchdog says so (the join itself keeps waiting).
constexpr auto JOIN_WATCHDOG_DELAY = std::chrono::seconds(5);

// What the join watchdog and join() share; it outlives whichever ends first.
class JoinWatch {
  public:
    void done() {
        {
            std::lock_guard lock(mutex);
            joined = true;
        }
        changed.notify_all();
    }
    // Reports the join if it has not completed within JOIN_WATCHDOG_DELAY.
    void watch() {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, JOIN_WATCHDOG_DELAY, [&] { return joined; })) {
            fprintf(stderr, "[VideoReceiver] ERROR: Decode thread join() blocked >5s!\n");
            fflush(stderr);
        }
    }

  private:
    std::mutex mutex;
    std::condition_variable changed;
    bool joined = false;
};

}  // namespace

VideoDecoder::~VideoDecoder() {
    if (thread.joinable()) {
        thread.join();
    }
    release();
}

bool VideoDecoder::open(VideoCodec video_codec, int picture_width, int picture_height,
                        YuvTextures show_yuv) {
    route_ffmpeg_log();
    width = picture_width;
    height = picture_height;
    yuv_textures = show_yuv;
    this->video_codec = video_codec;
    codec =
        avcodec_find_decoder(video_codec == VideoCodec::H264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_VP8);
    if (codec == nullptr) {
        fprintf(stderr, "[VideoReceiver] %s decoder not found\n", codec_name(video_codec));
        return false;
    }
    if (!open_context(DecoderThreads::Slice)) {
        return false;
    }
    decoded_frame = av_frame_alloc();
    packet = av_packet_alloc();
    newest_picture = av_frame_alloc();
    outgoing = av_frame_alloc();
    if (decoded_frame == nullptr || packet == nullptr || newest_picture == nullptr ||
        outgoing == nullptr) {
        fprintf(stderr, "[VideoReceiver] Failed to allocate frame/packet\n");
        release();
        return false;
    }
    return true;
}

bool VideoDecoder::open_context(DecoderThreads kind) {
    codec_context = avcodec_alloc_context3(codec);
    if (codec_context == nullptr) {
        fprintf(stderr, "[VideoReceiver] Failed to allocate codec context\n");
        return false;
    }
    codec_context->width = width;
    codec_context->height = height;
    codec_context->thread_count = DECODER_THREADS;
    codec_context->max_pixels =
        std::max(MIN_PICTURE_LIMIT, MAX_PICTURE_SIZE_FACTOR * int64_t{width} * int64_t{height});
    if (!parameter_sets.empty()) {
        // Annex B extradata: the decoder reads the sets as if they had come first in the stream.
        codec_context->extradata =
            static_cast<uint8_t*>(av_mallocz(parameter_sets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (codec_context->extradata != nullptr) {
            std::memcpy(codec_context->extradata, parameter_sets.data(), parameter_sets.size());
            codec_context->extradata_size = static_cast<int>(parameter_sets.size());
        }
    }
    if (kind == DecoderThreads::Slice) {
        codec_context->thread_type = FF_THREAD_SLICE;
        codec_context->flags |=
            AV_CODEC_FLAG_LOW_DELAY;  // (low delay also rules out frame threads)
    } else {
        codec_context->thread_type = FF_THREAD_FRAME;
    }
    if (avcodec_open2(codec_context, codec, nullptr) < 0) {
        fprintf(stderr, "[VideoReceiver] Failed to open %s decoder\n", codec_name(video_codec));
        avcodec_free_context(&codec_context);
        return false;
    }
    threads = kind;
    in_flight.clear();
    in_frame_threads.clear();
    return true;
}

void VideoDecoder::switch_threads(DecoderThreads kind) {
    // At a keyframe nothing before it matters: a new decoder starts there. A picture the old one
    // still held back (frame threads) is dropped.
    const DecoderThreads previous = threads;
    avcodec_free_context(&codec_context);
    if (!open_context(kind) && !open_context(previous)) {
        return;  // no decoder: every frame fails until a later keyframe tries again
    }
    stats.decoder_thread_switches.fetch_add(1, std::memory_order_relaxed);
    stats.decoder_frame_threads.store(threads == DecoderThreads::Frame ? 1 : 0,
                                      std::memory_order_relaxed);
}

bool VideoDecoder::start(const std::atomic<bool>& running) {
    try {
        thread = std::thread([this, &running] { run(running); });
    } catch (const std::system_error& error) {
        fprintf(stderr, "[VideoReceiver] Failed to start the decode thread: %s\n", error.what());
        return false;
    }
    return true;
}

void VideoDecoder::join() {
    if (!thread.joinable()) {
        return;
    }
    // Without the memory or a thread for the watchdog, the join goes on unwatched.
    std::shared_ptr<JoinWatch> watch;
    try {
        watch = std::make_shared<JoinWatch>();
        std::thread([watch] { watch->watch(); }).detach();
    } catch (const std::exception&) {
        watch.reset();
    }
    thread.join();
    if (watch) {
        watch->done();
    }
}

void VideoDecoder::release() {
    bgra.close();
    if (outgoing != nullptr) {
        av_frame_free(&outgoing);
    }
    if (packet != nullptr) {
        av_packet_free(&packet);
    }
    if (decoded_frame != nullptr) {
        av_frame_free(&decoded_frame);
    }
    if (newest_picture != nullptr) {
        av_frame_free(&newest_picture);
    }
    if (codec_context != nullptr) {
        avcodec_free_context(&codec_context);
    }
}

void VideoDecoder::run(const std::atomic<bool>& running) {
    std::vector<CompressedFrame> batch;
    while (running) {
        batch.clear();
        // A picture held back inside the decoder comes out with the next frame; when none comes in
        // time, the stream has paused and the picture is drained out instead.
        const auto limit = pictures_held() > 0 ? std::optional(HELD_PICTURE_WAIT) : std::nullopt;
        const auto taken = queue.take_all(batch, limit);
        if (taken == DecodeQueue::Taken::Aborted || !running) {
            return;
        }
        if (taken == DecodeQueue::Taken::Nothing) {
            drain_held_pictures(running);
            pictures.notify();
            continue;
        }
        const auto started = Clock::now();
        std::optional<Clock::time_point> picture_completed_at;
        size_t decoded = 0;
        for (CompressedFrame& frame : batch) {
            if (!running) {
                break;
            }
            pace.frame_arrived(frame.completed_at);
            // An IDR picture without parameter sets of its own starts nothing unless the decoder
            // has had some.
            frame.keyframe = frame.keyframe && (video_codec != VideoCodec::H264 ||
                                                frame.parameter_sets || !parameter_sets.empty());
            const auto now = Clock::now();
            const auto verdict = gate.admit(frame, now);
            if (verdict.ask_for_keyframe) {
                keyframe_requested = true;
            }
            if (!verdict.decode) {
                continue;
            }
            if (verdict.start_refresh && codec_context != nullptr) {
                // From here libavcodec hands out only pictures that the refresh made whole.
                avcodec_flush_buffers(codec_context);
                in_frame_threads.clear();
            }
            if (frame.keyframe) {
                if (const auto wanted = pace.choose(threads, now);
                    wanted != threads || codec_context == nullptr) {
                    switch_threads(wanted);
                }
            }
            ++decoded;
            if (const auto completed_at = decode(frame)) {
                picture_completed_at = completed_at;
            }
        }
        // Only the newest picture of a batch is worth converting; nothing new, nothing to show.
        if (running && picture_completed_at) {
            publish(*picture_completed_at);
            stats.decode_time.record(Clock::now() - started);
        }
        pace.frames_decoded(Clock::now() - started, decoded, Clock::now());
        report_gate();
        queue.finished(batch.size());
        pictures.notify();
    }
}

void VideoDecoder::drain_held_pictures(const std::atomic<bool>& running) {
    // End of input: the decoder hands out every picture it holds. A decoder drained like this
    // takes nothing more until it is flushed, and a flushed one has no reference pictures left, so
    // a new one starts at the next keyframe, with slice threads, which hold nothing back.
    const auto fallback = in_flight.empty() ? Clock::now() : in_flight.back().second;
    in_frame_threads.clear();
    std::optional<Clock::time_point> completed_at;
    if (codec_context != nullptr && avcodec_send_packet(codec_context, nullptr) >= 0) {
        completed_at = receive_pictures(fallback);
    }
    if (running && completed_at) {
        publish(*completed_at);
    }
    switch_threads(DecoderThreads::Slice);
    gate.decoder_restarted();
    keyframe_requested = true;
}

std::optional<Clock::time_point> VideoDecoder::decode(const CompressedFrame& frame) {
    if (codec_context == nullptr) {
        count_decode_error();
        return std::nullopt;
    }
    // The packet borrows the frame's bytes; the decoder copies what it keeps during the send. Its
    // number comes back on the picture, which with frame threads is an earlier frame's.
    packet->data = const_cast<uint8_t*>(frame.bytes.data());
    packet->size = static_cast<int>(frame.length);
    packet->pts = next_packet_number++;
    const int sent = avcodec_send_packet(codec_context, packet);
    packet->data = nullptr;
    packet->size = 0;
    if (sent < 0) {
        count_decode_error();
        if (decode_error_count <= LOGGED_DECODE_ERRORS) {
            fprintf(stderr, "[VideoReceiver] %s send_packet error: %d (frame %zu bytes)\n",
                    codec_name(video_codec), sent, frame.length);
        }
        return std::nullopt;
    }
    if (video_codec == VideoCodec::H264 && frame.parameter_sets) {
        parameter_sets = protocol::h264_parameter_sets({frame.bytes.data(), frame.length});
    }
    in_flight.push_back({packet->pts, frame.completed_at});
    if (in_flight.size() > MAX_FRAMES_IN_FLIGHT) {
        in_flight.pop_front();
    }
    if (threads == DecoderThreads::Frame) {
        in_frame_threads.push_back(frame.shows_picture);
        while (in_frame_threads.size() > static_cast<size_t>(DECODER_THREADS - 1)) {
            in_frame_threads.pop_front();
        }
    }
    return receive_pictures(frame.completed_at);
}

std::optional<Clock::time_point> VideoDecoder::receive_pictures(Clock::time_point fallback) {
    // Take every picture the decoder has ready. "Not ready yet" is no failure: the decoder simply
    // holds nothing more for now; "end of stream" follows a drain.
    std::optional<Clock::time_point> delivered;
    for (;;) {
        const int received = avcodec_receive_frame(codec_context, decoded_frame);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
            break;
        }
        if (received < 0) {
            count_decode_error();
            if (decode_error_count <= LOGGED_DECODE_ERRORS) {
                fprintf(stderr, "[VideoReceiver] %s receive_frame error: %d\n",
                        codec_name(video_codec), received);
            }
            break;
        }
        decode_error_count = 0;
        gate.picture_delivered();
        av_frame_unref(newest_picture);
        av_frame_move_ref(newest_picture, decoded_frame);
        stats.frames_decoded.fetch_add(1, std::memory_order_relaxed);
        delivered = completed_at_of(newest_picture->pts, fallback);
    }
    return delivered;
}

VideoDecoder::Clock::time_point VideoDecoder::completed_at_of(int64_t packet_number,
                                                              Clock::time_point fallback) {
    while (!in_flight.empty() && in_flight.front().first < packet_number) {
        in_flight.pop_front();
    }
    if (!in_flight.empty() && in_flight.front().first == packet_number) {
        return in_flight.front().second;
    }
    return fallback;
}

size_t VideoDecoder::pictures_held() const {
    return static_cast<size_t>(std::count(in_frame_threads.begin(), in_frame_threads.end(), true));
}

void VideoDecoder::count_decode_error() {
    ++decode_error_count;
    stats.decode_errors.fetch_add(1, std::memory_order_relaxed);
    gate.decoder_failed(Clock::now());
    if (decode_error_count == 1) {
        keyframe_requested = true;
    }
}

void VideoDecoder::publish(Clock::time_point completed_at) {
    // A stream may change its size, format or colours midway: each picture goes its own way.
    const bool as_it_is = yuv_textures.fit(newest_picture->width, newest_picture->height) &&
                          yuv_texture_mode(tags_of(*newest_picture));
    if (as_it_is ? av_frame_ref(outgoing, newest_picture) < 0
                 : !bgra.convert(*newest_picture, *outgoing)) {
        return;
    }
    if (!pictures.publish(*outgoing, {completed_at, gate.take_loss_to_heal(), newest_picture->width,
                                      newest_picture->height})) {
        av_frame_unref(outgoing);
        return;
    }
    stats.pictures_published.fetch_add(1, std::memory_order_relaxed);
    stats.latency_to_publish.record(Clock::now() - completed_at);
}

void VideoDecoder::report_gate() {
    stats.frames_skipped.store(gate.frames_skipped(), std::memory_order_relaxed);
    stats.keyframe_waits.store(gate.waits(), std::memory_order_relaxed);
    stats.keyframe_waits_given_up.store(gate.waits_given_up(), std::memory_order_relaxed);
}

}  // namespace nimbar::client
