// The receiver's datagram paths on the main thread: fragments to the reassembler, complete frames
// to the decode queue, losses to the counters and the keyframe request; audio to the player.

#include "receiver/video_receiver.h"

#include <cstdio>

#include "receiver/keyframe_gate.h"

namespace nimbar::client {

void VideoReceiver::handle_video_packet(const uint8_t* datagram, int length, protocol::Sender from,
                                        Clock::time_point now) {
    if (!running || length < 0) {
        return;
    }
    FragmentResult result = reassembler.add({datagram, static_cast<size_t>(length)}, from, now);
    if (result.malformed) {
        stats.fragments_malformed.fetch_add(1, std::memory_order_relaxed);
    }
    if (!result.stored) {
        return;
    }
    stats.fragments_stored.fetch_add(1, std::memory_order_relaxed);
    for (CompressedFrame& frame : result.completed) {
        stats.frames_completed.fetch_add(1, std::memory_order_relaxed);
        if (codec_check.observe({frame.bytes.data(), frame.length}, now)) {
            fputs(codec_check.line(), stderr);
        }
        const size_t flushed = decode_queue.push(std::move(frame), now);
        stats.frames_flushed.fetch_add(flushed, std::memory_order_relaxed);
    }
    if (!result.completed.empty()) {
        stream_progressed_at = now;
    }
    if (result.held_back) {
        // A frame held back while the stream shows nothing new may be the host's own (a new
        // socket, a new numbering): the picture is frozen as far as the viewer knows, and the host
        // hears of it, at the keyframe gate's pace. While the stream goes on, it hears nothing.
        stats.frames_held_back.fetch_add(1, std::memory_order_relaxed);
        const bool frozen =
            !stream_progressed_at || now - *stream_progressed_at >= KEYFRAME_ASK_AGAIN;
        if (frozen && (!held_frame_asked || now - *held_frame_asked >= KEYFRAME_ASK_AGAIN)) {
            held_frame_asked = now;
            keyframe_requested = true;
        }
    }
    count_losses(result);
}

void VideoReceiver::expire_incomplete_frames(Clock::time_point now) {
    if (running) {
        count_losses(reassembler.sweep(now));
    }
}

void VideoReceiver::count_losses(const FragmentResult& result) {
    stats.frames_lost.fetch_add(result.frames_lost, std::memory_order_relaxed);
    if (result.frames_timed_out > 0) {
        stats.frames_dropped.fetch_add(result.frames_timed_out, std::memory_order_relaxed);
        if (!keyframe_requested) {
            fprintf(stderr, "[VideoReceiver] Requesting keyframe due to dropped frames\n");
            keyframe_requested = true;
        }
    }
}

void VideoReceiver::handle_audio_packet(const uint8_t* datagram, int length,
                                        Clock::time_point now) {
    if (running && length >= 0) {
        screen_audio.handle_packet({datagram, static_cast<size_t>(length)}, now);
    }
}

bool VideoReceiver::take_keyframe_request() {
    return keyframe_requested.exchange(false);
}

bool VideoReceiver::wait_for_picture(std::chrono::milliseconds limit) {
    pictures.wait_for_picture(limit, [&] { return !running || decode_queue.idle(); });
    return decode_queue.idle();
}

}  // namespace nimbar::client
