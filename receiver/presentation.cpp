// The window side: opening window, renderer, texture and decoder, and the update that draws only
// when something visible changed.

#include <climits>
#include <cstdio>

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

bool picture_bytes_fit(int width, int height) {
    return width > 0 && height > 0 && int64_t{width} * height * 4 <= INT_MAX;
}

// The streaming texture for pictures of width x height, or null after setting SDL's error. The
// picture buffers hold width * height * 4 bytes; a size beyond an int's reach is refused before
// anything is sized by it.
SDL_Texture* create_picture_texture(SDL_Renderer* renderer, int width, int height) {
    if (picture_bytes_fit(width, height)) {
        return SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING,
                                 width, height);
    }
    if (width > 0 && height > 0) {
        SDL_SetError("Texture dimensions are limited to %d bytes", INT_MAX);
    } else {
        SDL_SetError("Texture dimensions can't be 0");
    }
    return nullptr;
}

}  // namespace

bool VideoReceiver::init_standalone(int width, int height, uint8_t codec_selector) {
    uid = 0;
    this->width = width;
    this->height = height;
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
        if (texture != nullptr) {
            SDL_DestroyTexture(texture);
            texture = nullptr;
        }
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
    texture = create_picture_texture(renderer, width, height);
    if (texture == nullptr) {
        fprintf(stderr, "[VideoReceiver] Failed to create texture: %s\n", SDL_GetError());
        return give_up();
    }
    if (!decoder.open(codec_from_selector(codec_selector), width, height)) {
        return give_up();
    }
    if (!pictures.allocate(static_cast<size_t>(width) * static_cast<size_t>(height) * 4)) {
        fprintf(stderr, "[VideoReceiver] Not enough memory for %dx%d pictures\n", width, height);
        return give_up();
    }
    // A renderer's first upload and draw can take most of a second while it builds its shaders
    // (Direct3D under wine, for one). Paid here, before the owner opens its socket, that cannot
    // hold up the stream's first frames.
    pictures.upload_current(
        [&](const uint8_t* bytes) { SDL_UpdateTexture(texture, nullptr, bytes, width * 4); });
    SDL_RenderClear(renderer);
    SDL_RenderCopy(renderer, texture, nullptr, nullptr);
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
    if (window == nullptr || renderer == nullptr || texture == nullptr || !running) {
        return;
    }
    if ((SDL_GetWindowFlags(window) & (SDL_WINDOW_MINIMIZED | SDL_WINDOW_HIDDEN)) != 0) {
        return;  // nobody sees it: the newest picture waits in the hand-off
    }
    const auto started = Clock::now();
    if (present_retry_at && started >= *present_retry_at) {
        redraw_needed = true;
    }
    const auto picture = pictures.take_new(
        [&](const uint8_t* bytes) { SDL_UpdateTexture(texture, nullptr, bytes, width * 4); });
    if (!picture && !redraw_needed) {
        return;  // nothing visible changed: the window keeps what it shows
    }
    redraw_needed = false;
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
    if (texture != nullptr) {
        SDL_DestroyTexture(texture);
    }
    texture = create_picture_texture(renderer, width, height);
    if (texture == nullptr) {
        fprintf(stderr, "[VideoReceiver] Failed to create texture: %s\n", SDL_GetError());
        return false;
    }
    pictures.upload_current(
        [&](const uint8_t* bytes) { SDL_UpdateTexture(texture, nullptr, bytes, width * 4); });
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

void VideoReceiver::set_overlay_callback(OverlayCallback callback) {
    overlay_callback = std::move(callback);
    redraw_needed = true;
}

}  // namespace nimbar::client
