// The receiver's teardown: stop, the decode thread and codecs, the SDL objects, the destructor,
// each step logged and flushed.

#include <cstdarg>
#include <cstdio>
#include <thread>

extern "C" {
#include <libavutil/frame.h>
}

#include "receiver/video_receiver.h"

namespace nimbar::client {

namespace {

// Pause before the SDL objects go, with the window still there.
constexpr auto TEARDOWN_PAUSE = std::chrono::milliseconds(10);

// One teardown line on stdout, flushed at once: a hang further on must not hide it.
#ifdef __GNUC__
__attribute__((format(printf, 1, 2)))
#endif
void log_line(const char* format, ...) {
    va_list values;
    va_start(values, format);
    vprintf(format, values);
    va_end(values);
    fflush(stdout);
}

}  // namespace

VideoReceiver::~VideoReceiver() {
    log_line("[VideoReceiver] Destructor called for uid=%u, cleanup_done=%d\n", uid,
             cleanup_done ? 1 : 0);
    if (!cleanup_done) {
        log_line("[VideoReceiver] Destructor calling stop()\n");
        stop();
    }
    log_line("[VideoReceiver] Destructor complete for uid=%u\n", uid);
}

void VideoReceiver::stop() {
    stop_decode_and_codecs();
    destroy_sdl_objects();
    log_line("[VideoReceiver] Stop complete\n");
}

void VideoReceiver::stop_decode_and_codecs() {
    bool expected = false;
    if (!cleanup_done.compare_exchange_strong(expected, true)) {
        return;
    }
    running = false;
    printf("[VideoReceiver] Stopping decode thread and cleaning up codecs for user %llu\n",
           static_cast<unsigned long long>(uid));
    if (decoder.thread_started()) {
        printf("[VideoReceiver] Signaling decode thread to stop\n");
        decode_queue.abort();
        printf("[VideoReceiver] Waiting for decode thread to join...\n");
        fflush(stdout);
        fflush(stderr);
        decoder.join();
        printf("[VideoReceiver] Decode thread joined successfully\n");
    }
    decoder.release();
    pictures.release();
    av_frame_free(&on_screen);
    screen_audio.close();
    reassembler.clear();
    decode_queue.clear();
    printf("[VideoReceiver] Decode and codec cleanup complete\n");
}

void VideoReceiver::destroy_sdl_objects() {
    log_line(
        "[RECV SDL DESTROY] uid=%u, window_id=%u: START (window=%p, renderer=%p, texture=%p)\n",
        uid, window_id, static_cast<void*>(window), static_cast<void*>(renderer),
        static_cast<void*>(picture_texture.get()));
    if (window != nullptr) {
        log_line("[RECV SDL DESTROY] uid=%u: Sleeping 10ms for event processing\n", uid);
        std::this_thread::sleep_for(TEARDOWN_PAUSE);
    }
    if (picture_texture.get() != nullptr) {
        log_line("[RECV SDL DESTROY] uid=%u: Destroying texture %p\n", uid,
                 static_cast<void*>(picture_texture.get()));
        picture_texture.destroy();
        log_line("[RECV SDL DESTROY] uid=%u: Texture destroyed\n", uid);
    }
    if (renderer != nullptr) {
        log_line("[RECV SDL DESTROY] uid=%u: Destroying renderer %p\n", uid,
                 static_cast<void*>(renderer));
        SDL_DestroyRenderer(renderer);
        renderer = nullptr;
        log_line("[RECV SDL DESTROY] uid=%u: Renderer destroyed\n", uid);
    }
    if (window != nullptr) {
        log_line("[RECV SDL DESTROY] uid=%u: Destroying window %p (ID=%u)\n", uid,
                 static_cast<void*>(window), window_id);
        SDL_DestroyWindow(window);
        window = nullptr;
        log_line("[RECV SDL DESTROY] uid=%u: Window destroyed\n", uid);
    }
    log_line("[RECV SDL DESTROY] uid=%u: COMPLETE\n", uid);
}

}  // namespace nimbar::client
