// The viewer's view arithmetic: zooming at the pointer, panning, the rectangle drawn from the
// picture, and the control bar's slider and hit zones.

#include <gtest/gtest.h>

#include <cmath>

#include "receiver/picture_area.h"
#include "viewer/view_state.h"

namespace nimbar::viewer {
namespace {

// A 1080p picture in a window of half its size, so window and picture pixels differ.
constexpr Size PICTURE{1920, 1080};
constexpr Size WINDOW{960, 540};
constexpr int WHEEL_UP = 1;
constexpr int WHEEL_DOWN = -1;
// How far, in picture pixels, the point under the pointer may move in one wheel step: the drawn
// rectangle is whole pixels, so its size and position each round by up to one.
constexpr float POINT_TOLERANCE = 2.0f;

struct PicturePoint {
    float x;
    float y;
};

// The picture point drawn under `pointer`: the source rectangle (or the whole picture) stretched
// over the window, as the receiver draws it.
PicturePoint point_under(const ViewState& view, Point pointer, Size window = WINDOW,
                         Size picture = PICTURE) {
    SourceRect shown = source_rect_for(view, picture);
    if (!shown.enabled) {
        shown = {false, 0, 0, picture.width, picture.height};
    }
    return {
        static_cast<float>(shown.x) + static_cast<float>(shown.w) * static_cast<float>(pointer.x) /
                                          static_cast<float>(window.width),
        static_cast<float>(shown.y) + static_cast<float>(shown.h) * static_cast<float>(pointer.y) /
                                          static_cast<float>(window.height)};
}

void expect_view(const ViewState& view, float zoom, float center_x, float center_y) {
    EXPECT_FLOAT_EQ(view.zoom, zoom);
    EXPECT_FLOAT_EQ(view.center_x, center_x);
    EXPECT_FLOAT_EQ(view.center_y, center_y);
}

// Zoom steps ----------------------------------------------------------------------------------

TEST(ZoomAtPointer, TenStepsInReachAboutNineAndAThirdAndTheEleventhStopsAtTen) {
    ViewState view;
    for (int step = 0; step < 10; ++step) {
        ASSERT_TRUE(zoom_at_pointer(view, WHEEL_UP, {480, 270}, WINDOW, PICTURE));
    }
    EXPECT_NEAR(view.zoom, std::pow(1.25f, 10.0f), 1e-3f);
    EXPECT_NEAR(view.zoom, 9.31f, 0.01f);

    ASSERT_TRUE(zoom_at_pointer(view, WHEEL_UP, {480, 270}, WINDOW, PICTURE));
    EXPECT_EQ(view.zoom, MAX_ZOOM);
    ASSERT_TRUE(zoom_at_pointer(view, WHEEL_UP, {480, 270}, WINDOW, PICTURE));
    EXPECT_EQ(view.zoom, MAX_ZOOM);
}

TEST(ZoomAtPointer, OneStepOutFromTheFirstStepIsExactlyOneAndRecentres) {
    ViewState view;
    ASSERT_TRUE(zoom_at_pointer(view, WHEEL_UP, {100, 400}, WINDOW, PICTURE));
    EXPECT_EQ(view.zoom, 1.25f);
    EXPECT_NE(view.center_x, 0.5f);

    ASSERT_TRUE(zoom_at_pointer(view, WHEEL_DOWN, {900, 20}, WINDOW, PICTURE));
    EXPECT_EQ(view.zoom, 1.0f);
    EXPECT_EQ(view.center_x, 0.5f);
    EXPECT_EQ(view.center_y, 0.5f);
    EXPECT_FALSE(source_rect_for(view, PICTURE).enabled);
}

TEST(ZoomAtPointer, OutAtOneStaysAtOneCentred) {
    ViewState view;
    ASSERT_TRUE(zoom_at_pointer(view, WHEEL_DOWN, {0, 0}, WINDOW, PICTURE));
    expect_view(view, 1.0f, 0.5f, 0.5f);
}

TEST(ZoomAtPointer, AnyWheelAmountIsOneStep) {
    ViewState view;
    ASSERT_TRUE(zoom_at_pointer(view, 120, {480, 270}, WINDOW, PICTURE));
    EXPECT_FLOAT_EQ(view.zoom, 1.25f);
    ASSERT_TRUE(zoom_at_pointer(view, 7, {480, 270}, WINDOW, PICTURE));
    EXPECT_FLOAT_EQ(view.zoom, 1.5625f);
    ASSERT_TRUE(zoom_at_pointer(view, -120, {480, 270}, WINDOW, PICTURE));
    EXPECT_FLOAT_EQ(view.zoom, 1.25f);
}

TEST(ZoomAtPointer, NoWheelMovementChangesNothingButStillCounts) {
    ViewState view{2.0f, 0.3f, 0.7f};
    EXPECT_TRUE(zoom_at_pointer(view, 0, {10, 500}, WINDOW, PICTURE));
    expect_view(view, 2.0f, 0.3f, 0.7f);
}

TEST(ZoomAtPointer, DegenerateSizesChangeNothing) {
    const ViewState before{2.0f, 0.3f, 0.7f};
    const Size bad_windows[] = {{0, 540}, {960, 0}, {-5, 540}, {960, -1}};
    for (const Size& window : bad_windows) {
        ViewState view = before;
        EXPECT_FALSE(zoom_at_pointer(view, WHEEL_UP, {10, 10}, window, PICTURE));
        expect_view(view, before.zoom, before.center_x, before.center_y);
    }
    const Size bad_pictures[] = {{0, 1080}, {1920, 0}, {-1920, 1080}, {1920, -1}};
    for (const Size& picture : bad_pictures) {
        ViewState view = before;
        EXPECT_FALSE(zoom_at_pointer(view, WHEEL_DOWN, {10, 10}, WINDOW, picture));
        expect_view(view, before.zoom, before.center_x, before.center_y);
    }
    // One pixel of each is enough.
    ViewState view = before;
    EXPECT_TRUE(zoom_at_pointer(view, WHEEL_UP, {0, 0}, {1, 1}, {1, 1}));
}

// The point under the pointer -----------------------------------------------------------------

TEST(ZoomAtPointer, TopLeftCornerStaysUnderThePointer) {
    ViewState view;
    for (int step = 0; step < 11; ++step) {
        ASSERT_TRUE(zoom_at_pointer(view, WHEEL_UP, {0, 0}, WINDOW, PICTURE));
        const SourceRect shown = source_rect_for(view, PICTURE);
        ASSERT_TRUE(shown.enabled);
        EXPECT_EQ(shown.x, 0) << "zoom " << view.zoom;
        EXPECT_EQ(shown.y, 0) << "zoom " << view.zoom;
    }
}

TEST(ZoomAtPointer, BottomRightCornerStaysUnderThePointer) {
    const Point corner{WINDOW.width - 1, WINDOW.height - 1};
    ViewState view;
    for (int step = 0; step < 11; ++step) {
        const PicturePoint before = point_under(view, corner);
        ASSERT_TRUE(zoom_at_pointer(view, WHEEL_UP, corner, WINDOW, PICTURE));
        const PicturePoint after = point_under(view, corner);
        EXPECT_NEAR(after.x, before.x, POINT_TOLERANCE) << "zoom " << view.zoom;
        EXPECT_NEAR(after.y, before.y, POINT_TOLERANCE) << "zoom " << view.zoom;
        // The region stays against the picture's bottom-right corner.
        const SourceRect shown = source_rect_for(view, PICTURE);
        EXPECT_NEAR(shown.x + shown.w, PICTURE.width, 3);
        EXPECT_NEAR(shown.y + shown.h, PICTURE.height, 3);
    }
}

TEST(ZoomAtPointer, AnArbitraryPointStaysUnderThePointerInAndOut) {
    const Point pointer{213, 377};
    ViewState view;
    for (int step = 0; step < 10; ++step) {
        const PicturePoint before = point_under(view, pointer);
        ASSERT_TRUE(zoom_at_pointer(view, WHEEL_UP, pointer, WINDOW, PICTURE));
        const PicturePoint after = point_under(view, pointer);
        EXPECT_NEAR(after.x, before.x, POINT_TOLERANCE) << "in, zoom " << view.zoom;
        EXPECT_NEAR(after.y, before.y, POINT_TOLERANCE) << "in, zoom " << view.zoom;
    }
    // The region has shrunk around the pointer, so the point under it is where it was at zoom 1.
    const PicturePoint deep = point_under(view, pointer);
    EXPECT_NEAR(deep.x, 213.0f * 2.0f, POINT_TOLERANCE);
    EXPECT_NEAR(deep.y, 377.0f * 2.0f, POINT_TOLERANCE);

    for (int step = 0; step < 10; ++step) {
        const PicturePoint before = point_under(view, pointer);
        ASSERT_TRUE(zoom_at_pointer(view, WHEEL_DOWN, pointer, WINDOW, PICTURE));
        const PicturePoint after = point_under(view, pointer);
        EXPECT_NEAR(after.x, before.x, POINT_TOLERANCE) << "out, zoom " << view.zoom;
        EXPECT_NEAR(after.y, before.y, POINT_TOLERANCE) << "out, zoom " << view.zoom;
    }
    EXPECT_FLOAT_EQ(view.zoom, 1.0f);
}

TEST(ZoomAtPointer, ThePointStaysUntilTheRegionMeetsThePicturesEdge) {
    // Zoomed in at the middle, then out at the window's left edge: the region keeps its left end
    // and grows to the right until it reaches the picture's right edge.
    ViewState view;
    for (int step = 0; step < 5; ++step) {
        ASSERT_TRUE(zoom_at_pointer(view, WHEEL_UP, {480, 270}, WINDOW, PICTURE));
    }
    const Point pointer{0, 270};
    const PicturePoint anchor = point_under(view, pointer);
    int steps_before_edge = 0;
    while (view.zoom > MIN_ZOOM) {
        ASSERT_TRUE(zoom_at_pointer(view, WHEEL_DOWN, pointer, WINDOW, PICTURE));
        const SourceRect shown = source_rect_for(view, PICTURE);
        if (!shown.enabled) {
            break;
        }
        EXPECT_GE(shown.x, 0);
        EXPECT_LE(shown.x + shown.w, PICTURE.width);
        if (shown.x + shown.w == PICTURE.width) {
            break;
        }
        ++steps_before_edge;
        EXPECT_NEAR(point_under(view, pointer).x, anchor.x, POINT_TOLERANCE)
            << "zoom " << view.zoom;
    }
    EXPECT_GE(steps_before_edge, 2);
    // Pressed against the right edge, the region can no longer keep its left end.
    const SourceRect shown = source_rect_for(view, PICTURE);
    ASSERT_TRUE(shown.enabled);
    EXPECT_LT(static_cast<float>(shown.x), anchor.x - POINT_TOLERANCE);
}

TEST(ZoomAtPointer, AimsAtThePointAsShownWhenTheRegionIsAgainstAnEdge) {
    // At zoom 2 a centre of 0.8 would put the region past the right edge; it is shown from x 960
    // instead, so the pointer at the window's left edge is over picture x 960 (a fraction of 0.5),
    // not over 1056 where the unclamped centre would have put it.
    ViewState view{2.0f, 0.8f, 0.5f};
    ASSERT_EQ(source_rect_for(view, PICTURE).x, 960);
    ASSERT_TRUE(zoom_at_pointer(view, WHEEL_UP, {0, 270}, WINDOW, PICTURE));
    EXPECT_FLOAT_EQ(view.zoom, 2.5f);
    EXPECT_FLOAT_EQ(view.center_x, 0.8f + (0.5f - 0.8f) * (1.0f - 2.0f / 2.5f));
    EXPECT_FLOAT_EQ(view.center_y, 0.5f);
}

// Panning -------------------------------------------------------------------------------------

TEST(PanStep, DraggingRightShowsMoreOfTheLeft) {
    ViewState view{2.0f, 0.5f, 0.5f};
    const SourceRect before = source_rect_for(view, PICTURE);
    ASSERT_TRUE(pan_step(view, {500, 300}, {596, 300}, WINDOW, PICTURE));
    // A tenth of the window at zoom 2 is a twentieth of the picture.
    EXPECT_FLOAT_EQ(view.center_x, 0.45f);
    EXPECT_FLOAT_EQ(view.center_y, 0.5f);
    const SourceRect after = source_rect_for(view, PICTURE);
    EXPECT_LT(after.x, before.x);
    EXPECT_EQ(after.y, before.y);
}

TEST(PanStep, ThePictureFollowsThePointer) {
    // The picture point under the pointer at the start of the drag is under it at the end.
    ViewState view{4.0f, 0.5f, 0.5f};
    const Point from{400, 300};
    const Point to{350, 220};
    const PicturePoint grabbed = point_under(view, from);
    ASSERT_TRUE(pan_step(view, from, to, WINDOW, PICTURE));
    const PicturePoint dropped = point_under(view, to);
    EXPECT_NEAR(dropped.x, grabbed.x, POINT_TOLERANCE);
    EXPECT_NEAR(dropped.y, grabbed.y, POINT_TOLERANCE);
    EXPECT_GT(view.center_x, 0.5f);
    EXPECT_GT(view.center_y, 0.5f);
}

TEST(PanStep, TheCentreStaysWithinThePicture) {
    ViewState view{1.5f, 0.5f, 0.5f};
    ASSERT_TRUE(pan_step(view, {0, 0}, {5000, 5000}, WINDOW, PICTURE));
    EXPECT_EQ(view.center_x, 0.0f);
    EXPECT_EQ(view.center_y, 0.0f);
    ASSERT_TRUE(pan_step(view, {5000, 5000}, {-5000, -5000}, WINDOW, PICTURE));
    EXPECT_EQ(view.center_x, 1.0f);
    EXPECT_EQ(view.center_y, 1.0f);
    EXPECT_FLOAT_EQ(view.zoom, 1.5f);
}

TEST(PanStep, DegenerateSizesChangeNothing) {
    const Size bad[] = {{0, 540}, {960, 0}, {-1, 540}};
    for (const Size& size : bad) {
        ViewState view{2.0f, 0.4f, 0.6f};
        EXPECT_FALSE(pan_step(view, {0, 0}, {100, 100}, size, PICTURE));
        expect_view(view, 2.0f, 0.4f, 0.6f);
        EXPECT_FALSE(pan_step(view, {0, 0}, {100, 100}, WINDOW, size));
        expect_view(view, 2.0f, 0.4f, 0.6f);
    }
}

// The source rectangle ------------------------------------------------------------------------

TEST(SourceRectFor, DisabledAtZoomOneOrForAnEmptyPicture) {
    EXPECT_EQ(source_rect_for({1.0f, 0.2f, 0.9f}, PICTURE), SourceRect{});
    EXPECT_EQ(source_rect_for({2.0f, 0.5f, 0.5f}, {0, 1080}), SourceRect{});
    EXPECT_EQ(source_rect_for({2.0f, 0.5f, 0.5f}, {1920, -3}), SourceRect{});
    // Just above 1 is already a rectangle, one pixel short of the whole picture.
    EXPECT_EQ(source_rect_for({1.0001f, 0.5f, 0.5f}, PICTURE),
              (SourceRect{true, 0, 0, 1919, 1079}));
}

TEST(SourceRectFor, CentredAndTruncated) {
    EXPECT_EQ(source_rect_for({2.0f, 0.5f, 0.5f}, PICTURE), (SourceRect{true, 480, 270, 960, 540}));
    // 1001 / 2 = 500 wide; 500.5 - 250 = 250.5 starts at pixel 250, not 251.
    EXPECT_EQ(source_rect_for({2.0f, 0.5f, 0.5f}, {1001, 1001}),
              (SourceRect{true, 250, 250, 500, 500}));
}

TEST(SourceRectFor, StaysInsideThePictureAtItsEdges) {
    EXPECT_EQ(source_rect_for({3.0f, 0.0f, 0.0f}, PICTURE), (SourceRect{true, 0, 0, 640, 360}));
    EXPECT_EQ(source_rect_for({3.0f, 1.0f, 1.0f}, PICTURE),
              (SourceRect{true, 1920 - 640, 1080 - 360, 640, 360}));
    EXPECT_EQ(source_rect_for({3.0f, 0.1f, 0.95f}, PICTURE),
              (SourceRect{true, 0, 1080 - 360, 640, 360}));
}

TEST(SourceRectFor, TinyPicturesAtFullZoomKeepAPixel) {
    EXPECT_EQ(source_rect_for({MAX_ZOOM, 0.5f, 0.5f}, {1, 1}), (SourceRect{true, 0, 0, 1, 1}));
    EXPECT_EQ(source_rect_for({MAX_ZOOM, 1.0f, 1.0f}, {5, 3}), (SourceRect{true, 4, 2, 1, 1}));
    EXPECT_EQ(source_rect_for({MAX_ZOOM, 0.5f, 0.5f}, {5, 3}), (SourceRect{true, 2, 1, 1, 1}));
    EXPECT_EQ(source_rect_for({MAX_ZOOM, 0.5f, 0.5f}, {25, 9}), (SourceRect{true, 11, 4, 2, 1}));
}

// The control bar -----------------------------------------------------------------------------

TEST(Slider, WidthFollowsTheWindowWithinItsLimits) {
    const struct {
        int window;
        int slider;
    } cases[] = {{100, 40},  {109, 40},  {110, 40},   {200, 130},
                 {370, 300}, {388, 300}, {1000, 300}, {0, 40}};
    for (const auto& c : cases) {
        EXPECT_EQ(slider_width(c.window), c.slider) << "window " << c.window;
    }
}

TEST(Slider, ValueIsThePositionAlongTheTrackClamped) {
    EXPECT_FLOAT_EQ(slider_value(48, 1000), 0.0f);
    EXPECT_FLOAT_EQ(slider_value(198, 1000), 0.5f);
    EXPECT_FLOAT_EQ(slider_value(348, 1000), 1.0f);
    EXPECT_FLOAT_EQ(slider_value(123, 1000), 0.25f);
    EXPECT_FLOAT_EQ(slider_value(0, 1000), 0.0f);
    EXPECT_FLOAT_EQ(slider_value(349, 1000), 1.0f);
    EXPECT_FLOAT_EQ(slider_value(900, 1000), 1.0f);
    // A narrow window's slider is shorter, so the same x stands for more.
    EXPECT_FLOAT_EQ(slider_value(68, 100), 0.5f);
    EXPECT_FLOAT_EQ(slider_value(98, 100), 1.0f);
}

TEST(BarZones, ButtonsAndSliderAlongTheBar) {
    const Size window{800, 600};
    const int y = 600 - BAR_HEIGHT;
    EXPECT_EQ(bar_zone({0, y}, window), BarZone::Mute);
    EXPECT_EQ(bar_zone({43, y}, window), BarZone::Mute);
    for (int x = 44; x <= 47; ++x) {
        EXPECT_EQ(bar_zone({x, y}, window), BarZone::Nothing) << "x " << x;
    }
    EXPECT_EQ(bar_zone({48, y}, window), BarZone::Slider);
    EXPECT_EQ(bar_zone({48 + 300, 599}, window), BarZone::Slider);
    EXPECT_EQ(bar_zone({48 + 301, y}, window), BarZone::Nothing);
    EXPECT_EQ(bar_zone({759, y}, window), BarZone::Nothing);
    EXPECT_EQ(bar_zone({760, y}, window), BarZone::Fullscreen);
    EXPECT_EQ(bar_zone({799, 599}, window), BarZone::Fullscreen);
}

TEST(BarZones, AboveTheBarIsNotTheBar) {
    const Size window{800, 600};
    for (int x : {0, 43, 48, 200, 760, 799}) {
        EXPECT_EQ(bar_zone({x, 600 - BAR_HEIGHT - 1}, window), BarZone::Above) << "x " << x;
        EXPECT_EQ(bar_zone({x, 0}, window), BarZone::Above) << "x " << x;
    }
}

TEST(BarZones, FullscreenWinsInANarrowWindow) {
    // 100 wide: the slider spans 48..88 but the fullscreen button takes x >= 60.
    const Size window{100, 200};
    EXPECT_EQ(bar_zone({59, 190}, window), BarZone::Slider);
    for (int x = 60; x < 100; ++x) {
        EXPECT_EQ(bar_zone({x, 190}, window), BarZone::Fullscreen) << "x " << x;
    }
    // 70 wide: it takes part of the mute button too.
    EXPECT_EQ(bar_zone({29, 190}, {70, 200}), BarZone::Mute);
    EXPECT_EQ(bar_zone({30, 190}, {70, 200}), BarZone::Fullscreen);
}

// Stretched, the picture fills the window; with its shape kept, the largest rectangle of the
// stream's proportions, centred.
TEST(PictureArea, KeepsTheStreamsShapeWhenAsked) {
    struct Case {
        Size window, picture;
        bool keep;
        SDL_Rect area;
    };
    for (const auto& [window, picture, keep, area] : {
             Case{{1000, 540}, {1920, 1080}, false, {0, 0, 1000, 540}},
             Case{{960, 540}, {1920, 1080}, true, {0, 0, 960, 540}},
             Case{{1000, 540}, {1920, 1080}, true, {20, 0, 960, 540}},
             Case{{960, 720}, {1920, 1080}, true, {0, 90, 960, 540}},
             Case{{1280, 720}, {1024, 768}, true, {160, 0, 960, 720}},
             Case{{1001, 500}, {1366, 768}, true, {56, 0, 889, 500}},
             Case{{640, 480}, {0, 0}, true, {0, 0, 640, 480}},
         }) {
        const SDL_Rect got = client::picture_area(window.width, window.height, picture.width,
                                                  picture.height, keep);
        EXPECT_TRUE(SDL_RectEquals(&got, &area))
            << window.width << "x" << window.height << " for " << picture.width << "x"
            << picture.height << ": " << got.x << "," << got.y << " " << got.w << "x" << got.h;
    }
}

}  // namespace
}  // namespace nimbar::viewer
