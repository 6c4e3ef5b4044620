#pragma once

// How much larger than on a 96-dpi display the viewer's own controls (the control bar, the stats
// panel) are drawn on a scaled one (125 %, 150 % ...), so that they keep their size on the screen.
// The video itself is drawn in the window's pixels: 1:1 when the window is as large as the
// picture.

#include <SDL.h>

namespace nimbar::viewer {

// The display dpi at which the controls are drawn at their own size.
inline constexpr float BASE_DPI = 96.0f;

// dpi / 96 to the nearest quarter, within 1 to 4; 1 when the dpi is unknown (0 or less, or not a
// number).
float ui_scale_for_dpi(float dpi);

// The scale for the display `window` is on now; 1 without a window or a known dpi.
float window_ui_scale(SDL_Window* window);

}  // namespace nimbar::viewer
