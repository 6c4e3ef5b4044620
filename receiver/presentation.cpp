// The window side: opening window, renderer, texture and decoder, and the per-pass update.

#include <climits>
#include <cstdio>

#include "receiver/video_receiver.h"

namespace nimbar::client {

namespace {

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

bool picture_bytes_fit(int width, int height) {
    return width > 0 && height > 0 && int64_t{width} * height * 4 <= INT_MAX;
}

}  // namespace

bool VideoReceiver::init_standalone(int width, int height, uint8_t codec_selector) {
    uid = 0;
    this->width = width;
    this->height = height;
    {
        std::lock_guard slots_lock(slots_mutex);
        last_completed_frame_id = 0;
        last_completed_valid = false;
    }

    const WindowSize size = initial_window_size(width, height);
    window = SDL_CreateWindow("Video Stream", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                              size.width, size.height, SDL_WINDOW_SHOWN | SDL_WINDOW_RESIZABLE);
    if (window == nullptr) {
        fprintf(stderr, "[VideoReceiver] Failed to create window: %s\n", SDL_GetError());
        return false;
    }
    window_id = SDL_GetWindowID(window);

    renderer = SDL_CreateRenderer(window, -1, SDL_RENDERER_ACCELERATED);
    if (renderer == nullptr) {
        renderer = SDL_CreateRenderer(window, -1, SDL_RENDERER_SOFTWARE);
    }
    if (renderer == nullptr) {
        fprintf(stderr, "[VideoReceiver] Failed to create renderer: %s\n", SDL_GetError());
        SDL_DestroyWindow(window);
        window = nullptr;
        return false;
    }

    // The picture buffers hold width * height * 4 bytes; a size beyond an int's reach is refused
    // before anything is sized by it.
    if (picture_bytes_fit(width, height)) {
        texture = SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING,
                                    width, height);
    } else if (width > 0 && height > 0) {
        SDL_SetError("Texture dimensions are limited to %d bytes", INT_MAX);
    } else {
        SDL_SetError("Texture dimensions can't be 0");
    }
    if (texture == nullptr) {
        fprintf(stderr, "[VideoReceiver] Failed to create texture: %s\n", SDL_GetError());
        SDL_DestroyRenderer(renderer);
        renderer = nullptr;
        SDL_DestroyWindow(window);
        window = nullptr;
        return false;
    }

    if (!open_decoder(codec_selector)) {
        SDL_DestroyTexture(texture);
        texture = nullptr;
        SDL_DestroyRenderer(renderer);
        renderer = nullptr;
        SDL_DestroyWindow(window);
        window = nullptr;
        return false;
    }

    const size_t picture_bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
    front_buffer.assign(picture_bytes, 0);
    back_buffer.assign(picture_bytes, 0);
    printf("[VideoReceiver] Standalone initialized (%dx%d)\n", width, height);
    fflush(stdout);

    running = true;
    decode_thread = std::thread(&VideoReceiver::decode_loop, this);
    return true;
}

void VideoReceiver::update() {
    if (window == nullptr || renderer == nullptr || texture == nullptr || !running) {
        return;
    }
    const auto started = Clock::now();
    bool uploaded = false;
    Clock::time_point completed_at{};
    {
        std::lock_guard picture_lock(picture_mutex);
        if (new_picture) {
            SDL_UpdateTexture(texture, nullptr, front_buffer.data(), width * 4);
            new_picture = false;
            uploaded = true;
            completed_at = front_completed_at;
        }
    }
    SDL_RenderClear(renderer);
    const bool use_source = source_rect_enabled && source_rect.w > 0 && source_rect.h > 0;
    SDL_RenderCopy(renderer, texture, use_source ? &source_rect : nullptr, nullptr);
    if (overlay_callback) {
        int window_width = 0;
        int window_height = 0;
        SDL_GetWindowSize(window, &window_width, &window_height);
        overlay_callback(renderer, window_width, window_height);
    }
    SDL_RenderPresent(renderer);
    const auto presented = Clock::now();
    stats.draw_time.record(presented - started);
    if (uploaded) {
        stats.pictures_presented.fetch_add(1, std::memory_order_relaxed);
        stats.latency_to_present.record(presented - completed_at);
    }
}

void VideoReceiver::set_source_rect(bool enabled, int x, int y, int w, int h) {
    source_rect_enabled = enabled;
    source_rect = SDL_Rect{x, y, w, h};
}

void VideoReceiver::set_overlay_callback(OverlayCallback callback) {
    overlay_callback = std::move(callback);
}

}  // namespace nimbar::client
