// The window side: opening window, renderer, texture and decoder, and the update that draws only
// when something visible changed.

#include <algorithm>
#include <cstdint>
#include <cstdio>

extern "C" {
#include <libavutil/frame.h>
}

#include "receiver/picture_area.h"
#include "receiver/render_output.h"
#include "receiver/video_receiver.h"

namespace nimbar::client {

namespace {

// While the render device is lost, a present is made again this often: the window comes back
// within a tenth of a second of the device, at a cost of nothing while it stays away.
constexpr auto PRESENT_RETRY = std::chrono::milliseconds(100);
// The window opens at the video size, shrunk to fit half the display, and never smaller than this.
constexpr int MIN_WINDOW_WIDTH = 320;
constexpr int MIN_WINDOW_HEIGHT = 240;

struct WindowSize {
    int width;
    int height;
};

WindowSize initial_window_size(int video_width, int video_height) {
    WindowSize size{video_width, video_height};
    SDL_DisplayMode mode;
    if (SDL_GetCurrentDisplayMode(0, &mode) == 0) {
        const int half_width = mode.w / 2;
        const int half_height = mode.h / 2;
        if (half_width < size.width || half_height < size.height) {
            const float scale =
                std::min(static_cast<float>(half_width) / static_cast<float>(size.width),
                         static_cast<float>(half_height) / static_cast<float>(size.height));
            size.width = static_cast<int>(static_cast<float>(size.width) * scale);
            size.height = static_cast<int>(static_cast<float>(size.height) * scale);
        }
    }
    size.width = std::max(size.width, MIN_WINDOW_WIDTH);
    size.height = std::max(size.height, MIN_WINDOW_HEIGHT);
    return size;
}

// The receiver's source rectangle, in its own width x height units, on a texture of another size.
SDL_Rect texture_source(const SDL_Rect& rect, int width, int height, int texture_width,
                        int texture_height) {
    if (texture_width == width && texture_height == height) {
        return rect;
    }
    const auto scale = [](int value, int to, int from) {
        return static_cast<int>((int64_t{value} * to + from / 2) / from);
    };
    return {scale(rect.x, texture_width, width), scale(rect.y, texture_height, height),
            std::max(1, scale(rect.w, texture_width, width)),
            std::max(1, scale(rect.h, texture_height, height))};
}

}  // namespace

bool VideoReceiver::init_standalone(int width, int height, uint8_t codec_selector) {
    uid = 0;
    this->width = width;
    this->height = height;
    shown_width = width;
    shown_height = height;
    reassembler = FrameReassembler(codec_from_selector(codec_selector));
    codec_check = CodecCheck(codec_from_selector(codec_selector));

    const WindowSize size = initial_window_size(width, height);
    window = SDL_CreateWindow("Video Stream", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                              size.width, size.height, SDL_WINDOW_SHOWN | SDL_WINDOW_RESIZABLE);
    if (window == nullptr) {
        fprintf(stderr, "[VideoReceiver] Failed to create window: %s\n", SDL_GetError());
        return false;
    }
    window_id = SDL_GetWindowID(window);

    // Undoes what was made so far; the receiver is as before the call.
    const auto give_up = [&] {
        pictures.release();
        decoder.release();
        av_frame_free(&on_screen);
        picture_texture.destroy();
        if (renderer != nullptr) {
            SDL_DestroyRenderer(renderer);
            renderer = nullptr;
        }
        SDL_DestroyWindow(window);
        window = nullptr;
        return false;
    };
    renderer = SDL_CreateRenderer(window, -1, SDL_RENDERER_ACCELERATED);
    if (renderer == nullptr) {
        renderer = SDL_CreateRenderer(window, -1, SDL_RENDERER_SOFTWARE);
    }
    if (renderer == nullptr) {
        fprintf(stderr, "[VideoReceiver] Failed to create renderer: %s\n", SDL_GetError());
        return give_up();
    }
    // A renderer's first upload and draw can take most of a second while it builds its shaders
    // (Direct3D under wine, for one). Paid here, before the owner opens its socket, that cannot
    // hold up the stream's first frames.
    if (!picture_texture.create(renderer, width, height)) {
        fprintf(stderr, "[VideoReceiver] Failed to create texture: %s\n", SDL_GetError());
        return give_up();
    }
    if (!decoder.open(codec_from_selector(codec_selector), width, height,
                      yuv_textures_of(renderer))) {
        return give_up();
    }
    on_screen = av_frame_alloc();
    if (on_screen == nullptr || !decoder.allocate_pictures()) {
        fprintf(stderr, "[VideoReceiver] Not enough memory for %dx%d pictures\n", width, height);
        return give_up();
    }
    SDL_RenderClear(renderer);
    SDL_RenderCopy(renderer, picture_texture.get(), nullptr, nullptr);
    SDL_RenderPresent(renderer);

    running = true;
    if (!decoder.start(running)) {
        running = false;
        return give_up();
    }
    printf("[VideoReceiver] Standalone initialized (%dx%d)\n", width, height);
    fflush(stdout);
    return true;
}

void VideoReceiver::update() {
    if (window == nullptr || renderer == nullptr || !running) {
        return;
    }
    if ((SDL_GetWindowFlags(window) & (SDL_WINDOW_MINIMIZED | SDL_WINDOW_HIDDEN)) != 0) {
        return;  // nobody sees it: the newest picture waits in the hand-off
    }
    const auto started = Clock::now();
    if (present_retry_at && started >= *present_retry_at) {
        redraw_needed = true;
    }
    const auto picture = pictures.take_new(*on_screen);
    if (picture) {
        shown_width = picture->width;
        shown_height = picture->height;
        const bool shown = picture_texture.show(renderer, *on_screen);
        if (!shown && !texture_failing) {
            fprintf(stderr, "[VideoReceiver] Failed to create texture: %s\n", SDL_GetError());
        }
        texture_failing = !shown;
    }
    if (picture_texture.get() == nullptr) {
        return;  // nothing to draw with; the next picture tries again
    }
    if (!picture && !redraw_needed) {
        return;  // nothing visible changed: the window keeps what it shows
    }
    redraw_needed = false;
    SDL_SetRenderDrawColor(renderer, 0, 0, 0, SDL_ALPHA_OPAQUE);  // the bars beside a kept shape
    SDL_RenderClear(renderer);
    const bool use_source = source_rect_enabled && source_rect.w > 0 && source_rect.h > 0;
    const SDL_Rect source = texture_source(source_rect, width, height, picture_texture.width(),
                                           picture_texture.height());
    int window_width = 0;
    int window_height = 0;
    SDL_GetWindowSize(window, &window_width, &window_height);
    const SDL_Rect area =
        client::picture_area(window_width, window_height, shown_width, shown_height, keep_shape);
    SDL_RenderCopy(renderer, picture_texture.get(), use_source ? &source : nullptr,
                   keep_shape ? &area : nullptr);
    if (overlay_callback) {
        overlay_callback(renderer, window_width, window_height);
    }
    SDL_RenderPresent(renderer);
    const auto presented = Clock::now();
    present_retry_at.reset();
    if (render_output_lost(renderer)) {
        present_retry_at = presented + PRESENT_RETRY;
    }
    stats.draw_time.record(presented - started);
    if (picture) {
        stats.pictures_presented.fetch_add(1, std::memory_order_relaxed);
        stats.latency_to_present.record(presented - picture->completed_at);
        if (picture->heals_loss_from) {
            stats.heal_time.record(presented - *picture->heals_loss_from);
        }
    }
}

bool VideoReceiver::recover_render_device() {
    if (renderer == nullptr || !running) {
        return false;
    }
    if (!picture_texture.recreate(renderer, on_screen)) {
        fprintf(stderr, "[VideoReceiver] Failed to create texture: %s\n", SDL_GetError());
        return false;
    }
    redraw_needed = true;
    return true;
}

void VideoReceiver::set_source_rect(bool enabled, int x, int y, int w, int h) {
    const SDL_Rect rect{x, y, w, h};
    if (enabled != source_rect_enabled || !SDL_RectEquals(&rect, &source_rect)) {
        redraw_needed = true;
    }
    source_rect_enabled = enabled;
    source_rect = rect;
}

void VideoReceiver::set_keep_shape(bool keep) {
    redraw_needed = redraw_needed || keep != keep_shape;
    keep_shape = keep;
}

SDL_Rect VideoReceiver::picture_area() const {
    int window_width = 0;
    int window_height = 0;
    if (window != nullptr) {
        SDL_GetWindowSize(window, &window_width, &window_height);
    }
    return client::picture_area(window_width, window_height, shown_width, shown_height, keep_shape);
}

void VideoReceiver::set_overlay_callback(OverlayCallback callback) {
    overlay_callback = std::move(callback);
    redraw_needed = true;
}

}  // namespace nimbar::client
