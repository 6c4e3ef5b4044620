// The decoder and the decode thread: complete frames from the queue through libavcodec, the
// newest picture converted to BGRA at the receiver's size and handed to the presentation.

#include <cstdio>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include "receiver/picture_conversion.h"
#include "receiver/video_receiver.h"

namespace nimbar::client {

static_assert(DECODER_INPUT_PADDING >= AV_INPUT_BUFFER_PADDING_SIZE,
              "frames handed to the decoder must carry libavcodec's input padding");

namespace {

// Decoder threads. Slice threading only: frame threading would hold each picture back until the
// next frame is sent, so the last change before a pause would stay invisible.
constexpr int DECODER_THREADS = 2;
// Decoder failures in a row that are logged; later ones in the same run are only counted.
constexpr uint32_t LOGGED_DECODE_ERRORS = 5;
// How long a join may block before the watchdog says so (the join itself keeps waiting).
constexpr auto JOIN_WATCHDOG_DELAY = std::chrono::seconds(5);

// What the join watchdog and stop_decode_and_codecs share; it outlives whichever ends first.
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

std::shared_ptr<JoinWatch> start_join_watchdog() {
    auto watch = std::make_shared<JoinWatch>();
    std::thread([watch] { watch->watch(); }).detach();
    return watch;
}

}  // namespace

bool VideoReceiver::open_decoder(uint8_t codec_selector) {
    const bool h264 = codec_selector == 1;
    codec = avcodec_find_decoder(h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_VP8);
    if (codec == nullptr) {
        fprintf(stderr, "[VideoReceiver] %s decoder not found\n", h264 ? "H.264" : "VP8");
        return false;
    }
    codec_context = avcodec_alloc_context3(codec);
    if (codec_context == nullptr) {
        fprintf(stderr, "[VideoReceiver] Failed to allocate codec context\n");
        return false;
    }
    codec_context->width = width;
    codec_context->height = height;
    codec_context->thread_count = DECODER_THREADS;
    codec_context->thread_type = FF_THREAD_SLICE;
    codec_context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (avcodec_open2(codec_context, codec, nullptr) < 0) {
        fprintf(stderr, "[VideoReceiver] Failed to open VP8 decoder\n");
        avcodec_free_context(&codec_context);
        return false;
    }
    decoded_frame = av_frame_alloc();
    packet = av_packet_alloc();
    newest_picture = av_frame_alloc();
    if (decoded_frame == nullptr || packet == nullptr || newest_picture == nullptr) {
        fprintf(stderr, "[VideoReceiver] Failed to allocate frame/packet\n");
        av_frame_free(&decoded_frame);
        av_packet_free(&packet);
        av_frame_free(&newest_picture);
        avcodec_free_context(&codec_context);
        return false;
    }
    return true;
}

void VideoReceiver::decode_loop() {
    std::vector<QueuedFrame> batch;
    while (running) {
        batch.clear();
        {
            std::unique_lock queue_lock(queue_mutex);
            queue_condition.wait(queue_lock, [&] { return queue_count > 0 || !running; });
            if (!running) {
                return;
            }
            take_decode_frames(decode_queue, queue_read, queue_count, batch);
        }

        const auto started = Clock::now();
        bool have_picture = false;
        Clock::time_point picture_completed_at{};
        for (const QueuedFrame& frame : batch) {
            if (!running) {
                break;
            }
            if (decode_frame(frame)) {
                have_picture = true;
                picture_completed_at = frame.completed_at;
            }
        }
        // Only the newest picture of a batch is worth converting; nothing new, nothing to show.
        if (running && have_picture) {
            publish_picture(picture_completed_at);
            stats.decode_time.record(Clock::now() - started);
        }
        {
            std::lock_guard picture_lock(picture_mutex);
            frames_taken_up += batch.size();
        }
        picture_ready.notify_all();
    }
}

bool VideoReceiver::decode_frame(const QueuedFrame& frame) {
    // The packet borrows the frame's bytes; the decoder copies what it keeps during the send.
    packet->data = const_cast<uint8_t*>(frame.bytes.data());
    packet->size = static_cast<int>(frame.length);
    const int sent = avcodec_send_packet(codec_context, packet);
    packet->data = nullptr;
    packet->size = 0;
    if (sent < 0) {
        count_decode_error();
        if (decode_error_count <= LOGGED_DECODE_ERRORS) {
            fprintf(stderr, "[VideoReceiver] VP8 send_packet error: %d (frame %zu bytes)\n", sent,
                    frame.length);
        }
        return false;
    }
    // Take every picture the decoder has ready. "Not ready yet" is no failure: the decoder simply
    // holds nothing more for now.
    bool delivered = false;
    for (;;) {
        const int received = avcodec_receive_frame(codec_context, decoded_frame);
        if (received == AVERROR(EAGAIN)) {
            break;
        }
        if (received < 0) {
            count_decode_error();
            if (decode_error_count <= LOGGED_DECODE_ERRORS) {
                fprintf(stderr, "[VideoReceiver] VP8 receive_frame error: %d\n", received);
            }
            break;
        }
        decode_error_count = 0;
        av_frame_unref(newest_picture);
        av_frame_move_ref(newest_picture, decoded_frame);
        stats.frames_decoded.fetch_add(1, std::memory_order_relaxed);
        delivered = true;
    }
    return delivered;
}

void VideoReceiver::count_decode_error() {
    ++decode_error_count;
    stats.decode_errors.fetch_add(1, std::memory_order_relaxed);
    if (decode_error_count == 1) {
        keyframe_requested = true;
    }
}

void VideoReceiver::publish_picture(Clock::time_point completed_at) {
    // A stream may change its size or pixel format midway: the context follows the picture.
    scaler = conversion_for(scaler, *newest_picture, width, height);
    if (scaler == nullptr ||
        !convert_to_bgra(scaler, *newest_picture, back_buffer.data(), width, height)) {
        return;
    }
    if (!running) {
        return;
    }
    {
        std::lock_guard picture_lock(picture_mutex);
        back_buffer.swap(front_buffer);
        front_completed_at = completed_at;
        new_picture = true;
    }
    stats.pictures_published.fetch_add(1, std::memory_order_relaxed);
    stats.latency_to_publish.record(Clock::now() - completed_at);
}

void VideoReceiver::wait_for_picture(std::chrono::milliseconds limit) {
    std::unique_lock picture_lock(picture_mutex);
    picture_ready.wait_for(picture_lock, limit, [&] {
        return !running || new_picture || frames_handed_over == frames_taken_up;
    });
}

void VideoReceiver::stop_decode_and_codecs() {
    bool expected = false;
    if (!cleanup_done.compare_exchange_strong(expected, true)) {
        return;
    }
    running = false;
    printf("[VideoReceiver] Stopping decode thread and cleaning up codecs for user %llu\n",
           static_cast<unsigned long long>(uid));

    if (decode_thread.joinable()) {
        printf("[VideoReceiver] Signaling decode thread to stop\n");
        {
            std::lock_guard queue_lock(queue_mutex);
            queue_count = 0;
            queue_read = 0;
            queue_write = 0;
        }
        queue_condition.notify_all();
        printf("[VideoReceiver] Waiting for decode thread to join...\n");
        fflush(stdout);
        fflush(stderr);

        const auto watchdog = start_join_watchdog();
        decode_thread.join();
        watchdog->done();
        printf("[VideoReceiver] Decode thread joined successfully\n");
    }

    if (scaler != nullptr) {
        sws_freeContext(scaler);
        scaler = nullptr;
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
    back_buffer = {};
    {
        std::lock_guard picture_lock(picture_mutex);
        front_buffer = {};
    }
    release_screen_audio();
    {
        std::lock_guard slots_lock(slots_mutex);
        frame_slots.clear();
        buffered_bytes = 0;
    }
    {
        std::lock_guard queue_lock(queue_mutex);
        decode_queue.clear();
        queue_count = 0;
        queue_read = 0;
        queue_write = 0;
    }
    printf("[VideoReceiver] Decode and codec cleanup complete\n");
}

}  // namespace nimbar::client
