#pragma once

// The receiver's insides, for tests only.

#include <mutex>
#include <vector>

#include "receiver/video_receiver.h"

namespace nimbar::client {

struct ReceiverProbe {
    // Lets handle_video_packet work without a window or a decode thread: completed frames stay in
    // the decode queue, as behind a decoder that never wakes.
    static void start_reassembly_only(VideoReceiver& receiver) { receiver.running = true; }

    static size_t slot_count(VideoReceiver& receiver) {
        std::lock_guard lock(receiver.slots_mutex);
        return receiver.frame_slots.size();
    }
    // The slots' bytes as the receiver counts them, and as they really are.
    static std::pair<uint64_t, uint64_t> slot_bytes(VideoReceiver& receiver) {
        std::lock_guard lock(receiver.slots_mutex);
        uint64_t actual = 0;
        for (const auto& [id, slot] : receiver.frame_slots) {
            actual += slot.buffer.size();
        }
        return {receiver.buffered_bytes, actual};
    }
    // The frames waiting for the decoder, oldest first (copies).
    static std::vector<QueuedFrame> queued(VideoReceiver& receiver) {
        std::lock_guard lock(receiver.queue_mutex);
        std::vector<QueuedFrame> frames;
        for (uint64_t i = 0; i < receiver.queue_count; ++i) {
            frames.push_back(receiver.decode_queue[(receiver.queue_read + i) % DECODE_QUEUE_SLOTS]);
        }
        return frames;
    }
    struct Handles {
        void* window;
        void* renderer;
        void* texture;
    };
    static Handles handles(const VideoReceiver& receiver) {
        return {receiver.window, receiver.renderer, receiver.texture};
    }
    static uint32_t audio_queued_bytes(const VideoReceiver& receiver) {
        return receiver.audio_device.queued_bytes();
    }
    // Queues samples straight to the playback device, past the receiver's rules.
    static void queue_audio(VideoReceiver& receiver, const int16_t* samples, int count) {
        receiver.audio_device.queue(samples, count);
    }
    // Drops whatever waits for playback, as if the device had played it.
    static void drain_audio(VideoReceiver& receiver) {
        SDL_ClearQueuedAudio(receiver.audio_device.device_id);
    }
    static bool screen_audio_enabled(const VideoReceiver& receiver) {
        return receiver.screen_audio_enabled;
    }
    static std::vector<uint8_t> picture(VideoReceiver& receiver) {
        std::lock_guard lock(receiver.picture_mutex);
        return receiver.front_buffer;
    }
};

}  // namespace nimbar::client
