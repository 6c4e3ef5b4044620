#pragma once

// The host's moving test pattern, drawn so that a test can predict every pixel: seven colour bars
// over the top two thirds, and below them a grey band with a square block that moves right with
// the frame number. No pixel is black, so a gap left by a lost fragment (zero bytes) stands out.

#include <cstddef>
#include <cstdint>
#include <span>

namespace nimbar::host {

struct Rgb {
    uint8_t r = 0;
    uint8_t g = 0;
    uint8_t b = 0;
    bool operator==(const Rgb&) const = default;
};

inline constexpr int PATTERN_BAR_COUNT = 7;
inline constexpr Rgb PATTERN_BARS[PATTERN_BAR_COUNT] = {
    {255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
    {255, 0, 255},   {255, 0, 0},   {0, 0, 255},
};
inline constexpr Rgb PATTERN_BAND = {64, 64, 64};
inline constexpr Rgb PATTERN_BLOCK = {255, 128, 0};

// Where things lie in a width x height pattern.
struct PatternLayout {
    int bars_height = 0;  // rows [0, bars_height) hold the bars
    int block_size = 0;   // side of the moving block
    int block_top = 0;    // first row of the block
    int block_step = 0;   // pixels the block moves per frame
};

PatternLayout pattern_layout(int width, int height);
// The bar under column x (0 to PATTERN_BAR_COUNT - 1).
int pattern_bar_at(int x, int width);
// Left column of the block in frame `frame_number`; it wraps back to 0 at the right edge.
int pattern_block_left(int width, int height, uint32_t frame_number);
// The colour the pattern has at (x, y) in frame `frame_number`.
Rgb pattern_colour_at(int x, int y, int width, int height, uint32_t frame_number);

// Draws frame `frame_number` into `bgra`, which holds width * height * 4 bytes (bytes blue, green,
// red, alpha; alpha opaque).
void draw_test_pattern(std::span<uint8_t> bgra, int width, int height, uint32_t frame_number);

// Over a pattern drawn by draw_test_pattern: fills the band with noise of its own for each frame
// number (the same for the same number), never black, so that the stream costs an encoder and a
// decoder what a busy screen does. The bars stay as they are, and so do the block and a grey
// margin a quarter of its side wide around it.
void draw_pattern_noise(std::span<uint8_t> bgra, int width, int height, uint32_t frame_number);

}  // namespace nimbar::host
