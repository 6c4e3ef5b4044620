#pragma once

// The viewer's view arithmetic, without a window: zoom at the pointer, pan, the source rectangle
// the receiver draws from, and the control bar's geometry and hit zones. Sizes are in pixels:
// the picture's W x H (the receiver's size) and the window's winW x winH; the control bar's are in
// its own units, pixels of a 96-dpi display, scaled on others (display_scale.h).

#include <cstdint>

namespace nimbar::viewer {

// Magnification and the centre of the visible region, as fractions of the picture's size.
struct ViewState {
    float zoom = 1.0f;  // 1.0 to 10.0
    float center_x = 0.5f;
    float center_y = 0.5f;
};

struct Size {
    int width = 0;
    int height = 0;
};

struct Point {
    int x = 0;
    int y = 0;
};

// The part of the picture to draw; `enabled` false means the whole picture.
struct SourceRect {
    bool enabled = false;
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
    bool operator==(const SourceRect&) const = default;
};

inline constexpr float MIN_ZOOM = 1.0f;
inline constexpr float MAX_ZOOM = 10.0f;
// One wheel step multiplies or divides the zoom by this.
inline constexpr float ZOOM_STEP = 1.25f;

// One wheel event (`wheel_y` > 0 zooms in, < 0 out, 0 leaves the zoom) with the pointer at
// `pointer`: the picture point under the pointer stays there. False, changing nothing, when a
// picture or window dimension is below 1.
bool zoom_at_pointer(ViewState& view, int wheel_y, Point pointer, Size window, Size picture);

// One pan step of a right-button drag from `from` to `to`: the picture follows the pointer. False,
// changing nothing, when a window or picture dimension is 0 or less.
bool pan_step(ViewState& view, Point from, Point to, Size window, Size picture);

// The rectangle of the picture to draw for `view`: disabled at zoom 1 or for an empty picture.
SourceRect source_rect_for(const ViewState& view, Size picture);

// The control bar along the bottom of the window.
inline constexpr int BAR_HEIGHT = 36;
inline constexpr int MUTE_ZONE_RIGHT = 43;             // mute button: x <= 43
inline constexpr int SLIDER_LEFT = 48;                 // slider track starts here
inline constexpr int FULLSCREEN_ZONE_FROM_RIGHT = 40;  // fullscreen button: x >= winW - 40
inline constexpr int MAX_SLIDER_WIDTH = 300;
inline constexpr int MIN_SLIDER_WIDTH = 40;
// Room the slider leaves for the buttons: winW - 70, within 40 to 300.
inline constexpr int SLIDER_MARGIN = 70;

int slider_width(int window_width);
// The volume a pointer x on the slider stands for: (x - 48) / sliderWidth, within 0.0 to 1.0.
float slider_value(int x, int window_width);

enum class BarZone {
    Above,       // not in the bar
    Fullscreen,  // x >= winW - 40, tested first
    Mute,        // x <= 43
    Slider,      // 48 <= x <= 48 + sliderWidth
    Nothing,     // the gap at 44..47, or right of the slider
};

// Where a left press at `point` lands in a window of `window` size.
BarZone bar_zone(Point point, Size window);

}  // namespace nimbar::viewer
