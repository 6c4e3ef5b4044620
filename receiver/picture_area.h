#pragma once

// Where in the window the picture is drawn. Stretched, it fills the window. With its shape kept,
// it is the largest rectangle of the stream's proportions that fits, centred, with black bars
// beside or above and below it. Pure arithmetic.

#include <SDL.h>

namespace nimbar::client {

// In window coordinates. A window or picture dimension below 1 gives the whole window.
SDL_Rect picture_area(int window_width, int window_height, int picture_width, int picture_height,
                      bool keep_shape);

}  // namespace nimbar::client
