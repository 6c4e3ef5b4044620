#include "viewer/display_scale.h"

#include <algorithm>
#include <cmath>

namespace nimbar::viewer {

namespace {

// Windows offers scaling in 25 % steps; anything finer is a display's own inaccuracy.
constexpr float SCALE_STEP = 0.25f;
constexpr float MIN_SCALE = 1.0f;
// 384 dpi: past any display a control bar is worth enlarging for.
constexpr float MAX_SCALE = 4.0f;

}  // namespace

float ui_scale_for_dpi(float dpi) {
    if (!(dpi > 0.0f)) {
        return MIN_SCALE;
    }
    const float steps = std::round(dpi / BASE_DPI / SCALE_STEP);
    return std::clamp(steps * SCALE_STEP, MIN_SCALE, MAX_SCALE);
}

float window_ui_scale(SDL_Window* window) {
    if (window == nullptr) {
        return MIN_SCALE;
    }
    const int display = SDL_GetWindowDisplayIndex(window);
    float horizontal_dpi = 0.0f;
    if (display < 0 || SDL_GetDisplayDPI(display, nullptr, &horizontal_dpi, nullptr) != 0) {
        return MIN_SCALE;
    }
    return ui_scale_for_dpi(horizontal_dpi);
}

}  // namespace nimbar::viewer
