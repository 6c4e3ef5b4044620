#pragma once

// A small built-in font for text drawn with renderer primitives: the public-domain 6 x 10
// "misc-fixed" terminal font, printable ASCII only. Each glyph fills its whole cell, spacing
// included, so text is laid out cell by cell.

#include <cstdint>
#include <string_view>

namespace nimbar::viewer {

inline constexpr int GLYPH_WIDTH = 6;
inline constexpr int GLYPH_HEIGHT = 10;

// The glyph's rows, top first; bit 7 is the cell's leftmost pixel. Characters outside printable
// ASCII get the glyph of '?'.
const uint8_t* glyph_rows(char c);

// Calls fill(x, y, w) for every horizontal run of lit pixels of `text` laid out from (0, 0), in
// font pixels; one call per run keeps the number of rectangles small.
template <typename Fill>
void for_each_text_run(std::string_view text, Fill&& fill) {
    for (size_t i = 0; i < text.size(); ++i) {
        const uint8_t* rows = glyph_rows(text[i]);
        const int left = static_cast<int>(i) * GLYPH_WIDTH;
        for (int y = 0; y < GLYPH_HEIGHT; ++y) {
            for (int x = 0; x < GLYPH_WIDTH;) {
                if ((rows[y] & (0x80 >> x)) == 0) {
                    ++x;
                    continue;
                }
                const int start = x;
                while (x < GLYPH_WIDTH && (rows[y] & (0x80 >> x)) != 0) {
                    ++x;
                }
                fill(left + start, y, x - start);
            }
        }
    }
}

}  // namespace nimbar::viewer
