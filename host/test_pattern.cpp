#include "host/test_pattern.h"

#include <algorithm>
#include <cstring>

namespace nimbar::host {

namespace {

// About 4 s for the block to cross a window at 60 frames/s, whatever the width.
constexpr int BLOCK_STEPS_PER_WIDTH = 240;
// Set in every noise byte: no noise pixel is black, like every other pixel of the pattern.
constexpr uint8_t NOISE_FLOOR_BITS = 0x10;
// The grey margin kept around the block, as a share of its side (a quarter): wider than the blur
// a codec and a scaled window spread, so that the block is found as cleanly as without noise.
constexpr int NOISE_MARGIN_DIVISOR = 4;

void put_pixel(uint8_t* p, Rgb colour) {
    p[0] = colour.b;
    p[1] = colour.g;
    p[2] = colour.r;
    p[3] = 255;
}

void fill_row(uint8_t* row, int from, int to, Rgb colour) {
    for (int x = from; x < to; ++x) {
        put_pixel(row + static_cast<size_t>(x) * 4, colour);
    }
}

}  // namespace

PatternLayout pattern_layout(int width, int height) {
    PatternLayout layout;
    layout.bars_height = height * 2 / 3;
    const int band = height - layout.bars_height;
    layout.block_size = std::min(std::max(1, band / 2), width);
    layout.block_top = layout.bars_height + (band - layout.block_size) / 2;
    layout.block_step = std::max(1, width / BLOCK_STEPS_PER_WIDTH);
    return layout;
}

int pattern_bar_at(int x, int width) {
    return std::min(PATTERN_BAR_COUNT - 1,
                    static_cast<int>(static_cast<int64_t>(x) * PATTERN_BAR_COUNT / width));
}

int pattern_block_left(int width, int height, uint32_t frame_number) {
    const PatternLayout layout = pattern_layout(width, height);
    const uint64_t positions = static_cast<uint64_t>(width - layout.block_size) + 1;
    return static_cast<int>(uint64_t{frame_number} * layout.block_step % positions);
}

Rgb pattern_colour_at(int x, int y, int width, int height, uint32_t frame_number) {
    const PatternLayout layout = pattern_layout(width, height);
    if (y < layout.bars_height) {
        return PATTERN_BARS[pattern_bar_at(x, width)];
    }
    const int left = pattern_block_left(width, height, frame_number);
    const bool in_block = y >= layout.block_top && y < layout.block_top + layout.block_size &&
                          x >= left && x < left + layout.block_size;
    return in_block ? PATTERN_BLOCK : PATTERN_BAND;
}

void draw_test_pattern(std::span<uint8_t> bgra, int width, int height, uint32_t frame_number) {
    const size_t stride = static_cast<size_t>(width) * 4;
    if (width <= 0 || height <= 0 || bgra.size() < stride * height) {
        return;
    }
    const PatternLayout layout = pattern_layout(width, height);
    uint8_t* const pixels = bgra.data();

    // Every row of a region is the same but for the block, so draw one and copy it.
    if (layout.bars_height > 0) {
        for (int x = 0; x < width; ++x) {
            put_pixel(pixels + static_cast<size_t>(x) * 4, PATTERN_BARS[pattern_bar_at(x, width)]);
        }
        for (int y = 1; y < layout.bars_height; ++y) {
            std::memcpy(pixels + y * stride, pixels, stride);
        }
    }
    uint8_t* const band = pixels + layout.bars_height * stride;
    fill_row(band, 0, width, PATTERN_BAND);
    for (int y = layout.bars_height + 1; y < height; ++y) {
        std::memcpy(pixels + y * stride, band, stride);
    }
    const int left = pattern_block_left(width, height, frame_number);
    for (int y = layout.block_top; y < layout.block_top + layout.block_size; ++y) {
        fill_row(pixels + y * stride, left, left + layout.block_size, PATTERN_BLOCK);
    }
}

void draw_pattern_noise(std::span<uint8_t> bgra, int width, int height, uint32_t frame_number) {
    const size_t stride = static_cast<size_t>(width) * 4;
    if (width <= 0 || height <= 0 || bgra.size() < stride * height) {
        return;
    }
    const PatternLayout layout = pattern_layout(width, height);
    // The block and a grey margin around it stay clean, so that its edges are the pattern's.
    const int margin = layout.block_size / NOISE_MARGIN_DIVISOR;
    const int left = pattern_block_left(width, height, frame_number);
    const int clean_top = layout.block_top - margin;
    const int clean_bottom = layout.block_top + layout.block_size + margin;
    const int clean_left = left - margin;
    const int clean_right = left + layout.block_size + margin;
    // splitmix64, seeded by the frame number: cheap, and the same noise for the same frame.
    uint64_t state = 0x9e3779b97f4a7c15ull * (uint64_t{frame_number} + 1);
    const auto next = [&state] {
        uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    };
    for (int y = layout.bars_height; y < height; ++y) {
        const bool clean_rows = y >= clean_top && y < clean_bottom;
        uint8_t* row = bgra.data() + y * stride;
        for (int x = 0; x < width; ++x) {
            if (clean_rows && x >= clean_left && x < clean_right) {
                continue;
            }
            const uint64_t bits = next();
            uint8_t* p = row + static_cast<size_t>(x) * 4;
            p[0] = static_cast<uint8_t>(bits) | NOISE_FLOOR_BITS;
            p[1] = static_cast<uint8_t>(bits >> 8) | NOISE_FLOOR_BITS;
            p[2] = static_cast<uint8_t>(bits >> 16) | NOISE_FLOOR_BITS;
            p[3] = 255;
        }
    }
}

}  // namespace nimbar::host
