#include "viewer/view_state.h"

#include <algorithm>

namespace nimbar::viewer {

namespace {

// The visible region as the zoom step sees it: whole-pixel size, fractional position kept inside
// the picture, so the picture point under the pointer is the one the user actually sees there.
struct Region {
    float left;
    float top;
    int width;
    int height;
};

// Start of a span of `visible` pixels centred at `center` (a fraction of `full`), moved back inside
// 0 .. full - visible. Fractional; the caller decides how to round.
float span_start(float center, int visible, int full) {
    float start = center * static_cast<float>(full) - static_cast<float>(visible) / 2.0f;
    if (start < 0.0f) {
        start = 0.0f;
    }
    if (start + static_cast<float>(visible) > static_cast<float>(full)) {
        start = static_cast<float>(full - visible);
    }
    return start;
}

Region visible_region(const ViewState& view, Size picture) {
    const float zoom = std::max(view.zoom, MIN_ZOOM);
    const int width = static_cast<int>(static_cast<float>(picture.width) / zoom);
    const int height = static_cast<int>(static_cast<float>(picture.height) / zoom);
    return {span_start(view.center_x, width, picture.width),
            span_start(view.center_y, height, picture.height), width, height};
}

// Whole-pixel counterpart of span_start for the drawn rectangle: truncated toward zero first, then
// kept inside the picture.
int pixel_span_start(float center, int visible, int full) {
    int start =
        static_cast<int>(center * static_cast<float>(full) - static_cast<float>(visible) / 2.0f);
    start = std::max(start, 0);
    if (start + visible > full) {
        start = full - visible;
    }
    return start;
}

}  // namespace

bool zoom_at_pointer(ViewState& view, int wheel_y, Point pointer, Size window, Size picture) {
    if (picture.width < 1 || picture.height < 1 || window.width < 1 || window.height < 1) {
        return false;
    }

    // The picture point under the pointer, as fractions of the picture, before the zoom changes.
    const Region shown = visible_region(view, picture);
    const float anchor_x = (static_cast<float>(shown.width) *
                                (static_cast<float>(pointer.x) / static_cast<float>(window.width)) +
                            shown.left) /
                           static_cast<float>(picture.width);
    const float anchor_y = (static_cast<float>(shown.height) * (static_cast<float>(pointer.y) /
                                                                static_cast<float>(window.height)) +
                            shown.top) /
                           static_cast<float>(picture.height);

    // One event is one step, however far the wheel says it turned.
    const float old_zoom = view.zoom;
    if (wheel_y > 0) {
        view.zoom *= ZOOM_STEP;
    } else if (wheel_y < 0) {
        view.zoom /= ZOOM_STEP;
    }
    view.zoom = std::clamp(view.zoom, MIN_ZOOM, MAX_ZOOM);

    if (view.zoom > MIN_ZOOM) {
        // Moving the centre this fraction of the way towards the anchor keeps the anchor under the
        // pointer while the region shrinks or grows by old/new.
        const float pull = 1.0f - old_zoom / view.zoom;
        view.center_x += (anchor_x - view.center_x) * pull;
        view.center_y += (anchor_y - view.center_y) * pull;
    } else {
        view.center_x = 0.5f;
        view.center_y = 0.5f;
    }
    return true;
}

bool pan_step(ViewState& view, Point from, Point to, Size window, Size picture) {
    if (window.width <= 0 || window.height <= 0 || picture.width <= 0 || picture.height <= 0) {
        return false;
    }
    const int dx = to.x - from.x;
    const int dy = to.y - from.y;
    // A window's width of drag moves the centre by one visible region's width.
    view.center_x -= (static_cast<float>(dx) / static_cast<float>(window.width)) / view.zoom;
    view.center_y -= (static_cast<float>(dy) / static_cast<float>(window.height)) / view.zoom;
    view.center_x = std::clamp(view.center_x, 0.0f, 1.0f);
    view.center_y = std::clamp(view.center_y, 0.0f, 1.0f);
    return true;
}

SourceRect source_rect_for(const ViewState& view, Size picture) {
    if (picture.width <= 0 || picture.height <= 0 || !(view.zoom > MIN_ZOOM)) {
        return {};
    }
    // At least one pixel, so that a tiny picture at high zoom still has something to draw.
    const int width = std::max(static_cast<int>(static_cast<float>(picture.width) / view.zoom), 1);
    const int height =
        std::max(static_cast<int>(static_cast<float>(picture.height) / view.zoom), 1);
    return {true, pixel_span_start(view.center_x, width, picture.width),
            pixel_span_start(view.center_y, height, picture.height), width, height};
}

int slider_width(int window_width) {
    return std::max(std::min(window_width - SLIDER_MARGIN, MAX_SLIDER_WIDTH), MIN_SLIDER_WIDTH);
}

float slider_value(int x, int window_width) {
    const float value =
        static_cast<float>(x - SLIDER_LEFT) / static_cast<float>(slider_width(window_width));
    return std::clamp(value, 0.0f, 1.0f);
}

BarZone bar_zone(Point point, Size window) {
    if (point.y < window.height - BAR_HEIGHT) {
        return BarZone::Above;
    }
    // The fullscreen button wins where a narrow window makes it overlap the others.
    if (point.x >= window.width - FULLSCREEN_ZONE_FROM_RIGHT) {
        return BarZone::Fullscreen;
    }
    if (point.x <= MUTE_ZONE_RIGHT) {
        return BarZone::Mute;
    }
    if (point.x >= SLIDER_LEFT && point.x <= SLIDER_LEFT + slider_width(window.width)) {
        return BarZone::Slider;
    }
    return BarZone::Nothing;
}

}  // namespace nimbar::viewer
