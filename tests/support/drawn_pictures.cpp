#include "tests/support/drawn_pictures.h"

#include <algorithm>
#include <chrono>

#include "receiver/video_receiver.h"
#include "tests/support/encoded_stream.h"

namespace nimbar::testing {

namespace {

using namespace std::chrono_literals;

// Frames fed again after the last one: more than any encoder here holds pictures back.
constexpr size_t EXTRA_FRAMES = 16;
// How long one frame may take to decode before the reference is given up.
constexpr auto FRAME_TIMEOUT = 10s;

}  // namespace

std::optional<uint64_t> DrawnPictureReader::read(SDL_Renderer* renderer, int width, int height) {
    pixels.resize(static_cast<size_t>(width) * height + 1);
    if (SDL_RenderReadPixels(renderer, nullptr, SDL_PIXELFORMAT_ARGB8888, pixels.data(),
                             width * 4) != 0) {
        return std::nullopt;
    }
    uint64_t hash = 0xcbf29ce484222325ull;
    for (size_t i = 0; i + 1 < pixels.size(); i += 2) {
        hash = (hash ^ (uint64_t{pixels[i]} << 32 | pixels[i + 1])) * 0x100000001b3ull;
    }
    return hash;
}

std::vector<uint64_t> reference_pictures(const std::vector<std::vector<uint8_t>>& frames,
                                         uint8_t codec_selector, int width, int height,
                                         size_t pictures) {
    std::vector<uint64_t> hashes;
    client::VideoReceiver receiver;
    if (!receiver.init_standalone(width, height, codec_selector)) {
        return hashes;
    }
    DrawnPictureReader reader;
    receiver.set_overlay_callback([&](SDL_Renderer* renderer, int w, int h) {
        if (const auto hash = reader.read(renderer, w, h); hash && hashes.size() < pictures) {
            hashes.push_back(*hash);
        }
    });
    const auto& stats = receiver.statistics();
    const size_t total = frames.size() + std::min(EXTRA_FRAMES, frames.size());
    for (size_t i = 0; i < total && hashes.size() < pictures; ++i) {
        const uint64_t published = stats.pictures_published.load();
        for (const auto& datagram :
             fragment_datagrams(frames[i % frames.size()], static_cast<uint32_t>(i + 1))) {
            receiver.handle_video_packet(datagram.data(), static_cast<int>(datagram.size()), 0,
                                         client::VideoReceiver::Clock::now());
        }
        const auto deadline = std::chrono::steady_clock::now() + FRAME_TIMEOUT;
        while (!receiver.wait_for_picture(10ms) || stats.frames_completed.load() <= i) {
            if (std::chrono::steady_clock::now() > deadline) {
                return hashes;
            }
        }
        if (stats.pictures_published.load() != published) {
            receiver.update();
        }
    }
    return hashes;
}

}  // namespace nimbar::testing
