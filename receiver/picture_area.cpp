#include "receiver/picture_area.h"

#include <cstdint>

namespace nimbar::client {

SDL_Rect picture_area(int window_width, int window_height, int picture_width, int picture_height,
                      bool keep_shape) {
    const SDL_Rect whole{0, 0, window_width, window_height};
    if (!keep_shape || window_width < 1 || window_height < 1 || picture_width < 1 ||
        picture_height < 1) {
        return whole;
    }
    // Compare the proportions exactly, in 64 bits: the window is wider than the picture when
    // window_w * picture_h > picture_w * window_h.
    const int64_t wide = int64_t{window_width} * picture_height;
    const int64_t tall = int64_t{picture_width} * window_height;
    if (wide == tall) {
        return whole;
    }
    if (wide > tall) {  // bars left and right
        const int width = static_cast<int>((tall + picture_height / 2) / picture_height);
        return {(window_width - width) / 2, 0, width, window_height};
    }
    const int height = static_cast<int>((wide + picture_width / 2) / picture_width);
    return {0, (window_height - height) / 2, window_width, height};
}

}  // namespace nimbar::client
