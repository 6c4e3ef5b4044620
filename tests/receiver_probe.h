#pragma once

// The receiver's window handles and screen-audio device, for tests and benchmarks only.

#include "receiver/video_receiver.h"

namespace nimbar::client {

struct ReceiverProbe {
    // Lets handle_audio_packet work without a window or a decode thread.
    static void start_audio_only(VideoReceiver& receiver) { receiver.running = true; }

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
};

}  // namespace nimbar::client
