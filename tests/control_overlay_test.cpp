// The control bar as drawn: pixels read back from a software renderer drawing into a surface that
// stands in for the video.

#include <gtest/gtest.h>

#include <SDL.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <utility>

#include "viewer/control_overlay.h"
#include "viewer/view_state.h"

namespace nimbar::viewer {
namespace {

struct Rgba {
    int r;
    int g;
    int b;
    int a;
    bool operator==(const Rgba&) const = default;
};

void PrintTo(const Rgba& c, std::ostream* out) {
    *out << "(" << c.r << ", " << c.g << ", " << c.b << ", " << c.a << ")";
}

// The "video" behind the bar: no channel at 0 or 255, so blending shows in every channel.
constexpr Rgba BACKGROUND{40, 120, 200, 255};
constexpr Rgba WHITE{255, 255, 255, 255};
constexpr Rgba MUTED_RED{200, 60, 60, 255};
constexpr Rgba SLASH_RED{255, 80, 80, 255};
constexpr Rgba TRACK_GREY{80, 80, 80, 255};
constexpr Rgba LEVEL_BLUE{100, 180, 255, 255};
constexpr Rgba ICON_GREY{200, 200, 200, 255};
constexpr int BAR_ALPHA = 180;
constexpr int WAVE_GREY = 180;
constexpr int WAVE_ALPHA = 200;
// The software renderer blends in 8-bit fixed point, which rounds differently from exact maths.
constexpr int BLEND_TOLERANCE = 2;

// `grey` at `alpha` over `under`, as exact maths has it.
Rgba blend(int grey, int alpha, const Rgba& under) {
    const auto channel = [&](int below) {
        return static_cast<int>(std::lround((grey * alpha + below * (255 - alpha)) / 255.0));
    };
    return {channel(under.r), channel(under.g), channel(under.b), 255};
}

bool near(const Rgba& actual, const Rgba& expected) {
    return std::abs(actual.r - expected.r) <= BLEND_TOLERANCE &&
           std::abs(actual.g - expected.g) <= BLEND_TOLERANCE &&
           std::abs(actual.b - expected.b) <= BLEND_TOLERANCE;
}

// A w x h ARGB8888 surface filled with BACKGROUND and a software renderer drawing into it. The
// software renderer needs no video subsystem.
class Canvas {
  public:
    Canvas(int w, int h)
        : w(w),
          h(h),
          surface(SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_ARGB8888)),
          renderer(surface != nullptr ? SDL_CreateSoftwareRenderer(surface) : nullptr) {}
    ~Canvas() {
        if (renderer != nullptr) {
            SDL_DestroyRenderer(renderer);
        }
        SDL_FreeSurface(surface);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    bool ready() const { return renderer != nullptr; }

    void draw(bool muted, float volume, bool fullscreen) {
        SDL_FillRect(
            surface, nullptr,
            SDL_MapRGBA(surface->format, BACKGROUND.r, BACKGROUND.g, BACKGROUND.b, BACKGROUND.a));
        draw_control_overlay(renderer, w, h, 1.0f, muted, volume, fullscreen);
        SDL_RenderFlush(renderer);
    }

    Rgba at(int x, int y) const {
        const auto* row = static_cast<const Uint8*>(surface->pixels) + y * surface->pitch;
        Uint32 pixel;
        std::memcpy(&pixel, row + x * 4, sizeof pixel);
        Uint8 r, g, b, a;
        SDL_GetRGBA(pixel, surface->format, &r, &g, &b, &a);
        return {r, g, b, a};
    }

    // The bar where nothing is drawn on it: its right end, left of the fullscreen button.
    Rgba bar() const { return at(w - 48, h - 1); }

    SDL_Renderer* sdl_renderer() const { return renderer; }

    const int w;
    const int h;
    const int cy = h - 18;

  private:
    SDL_Surface* surface;
    SDL_Renderer* renderer;
};

// Wide enough for the longest slider, 300 pixels.
constexpr int WIDTH = 640;
constexpr int HEIGHT = 120;
constexpr float SOME_VOLUME = 0.7f;

class ControlOverlay : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(canvas.ready()) << SDL_GetError(); }
    Canvas canvas{WIDTH, HEIGHT};
    const int cy = canvas.cy;
};

// The bar ------------------------------------------------------------------------------------

TEST_F(ControlOverlay, TheBarDarkensTheBottomOfTheWindowOnly) {
    canvas.draw(false, SOME_VOLUME, false);
    const Rgba expected = blend(0, BAR_ALPHA, BACKGROUND);
    for (const auto& [x, y] : {std::pair{0, HEIGHT - 36}, std::pair{WIDTH - 1, HEIGHT - 36},
                               std::pair{400, HEIGHT - 1}, std::pair{0, HEIGHT - 1}}) {
        EXPECT_PRED2(near, canvas.at(x, y), expected) << "at " << x << ", " << y;
    }
    EXPECT_EQ(canvas.at(0, HEIGHT - 37), BACKGROUND);
    EXPECT_EQ(canvas.at(WIDTH - 1, HEIGHT - 37), BACKGROUND);
    EXPECT_EQ(canvas.at(WIDTH / 2, 0), BACKGROUND);
}

TEST_F(ControlOverlay, LeavesTheRendererAsItsLastStepSetIt) {
    canvas.draw(true, SOME_VOLUME, true);
    Uint8 r, g, b, a;
    SDL_GetRenderDrawColor(canvas.sdl_renderer(), &r, &g, &b, &a);
    EXPECT_EQ((Rgba{r, g, b, a}), ICON_GREY);
    SDL_BlendMode mode;
    SDL_GetRenderDrawBlendMode(canvas.sdl_renderer(), &mode);
    EXPECT_EQ(mode, SDL_BLENDMODE_BLEND);
}

// The speaker --------------------------------------------------------------------------------

TEST_F(ControlOverlay, SpeakerBodyIsWhiteOrRedWhenMuted) {
    canvas.draw(false, SOME_VOLUME, false);
    const Rgba bar = canvas.bar();
    for (const auto& [x, y] : {std::pair{12, cy - 5}, std::pair{19, cy - 5}, std::pair{12, cy + 4},
                               std::pair{19, cy + 4}, std::pair{15, cy}}) {
        EXPECT_EQ(canvas.at(x, y), WHITE) << "at " << x << ", cy" << y - cy;
    }
    EXPECT_EQ(canvas.at(11, cy), bar);
    EXPECT_EQ(canvas.at(12, cy - 6), bar);
    EXPECT_EQ(canvas.at(12, cy + 5), bar);

    canvas.draw(true, SOME_VOLUME, false);
    EXPECT_EQ(canvas.at(12, cy - 5), MUTED_RED);
    EXPECT_EQ(canvas.at(15, cy), MUTED_RED);
    EXPECT_EQ(canvas.at(19, cy + 4), MUTED_RED);
}

TEST_F(ControlOverlay, ConeWidensByAPixelEachSideEverySecondColumn) {
    canvas.draw(false, 0.0f, false);
    const Rgba bar = canvas.bar();
    for (int i = 0; i < 8; ++i) {
        const int x = 20 + i;
        const int half = 5 + i / 2;
        EXPECT_EQ(canvas.at(x, cy - half), WHITE) << "column " << i;
        EXPECT_EQ(canvas.at(x, cy + half), WHITE) << "column " << i;
        EXPECT_EQ(canvas.at(x, cy), WHITE) << "column " << i;
        EXPECT_EQ(canvas.at(x, cy - half - 1), bar) << "column " << i;
        EXPECT_EQ(canvas.at(x, cy + half + 1), bar) << "column " << i;
    }
    EXPECT_EQ(canvas.at(28, cy), bar);
}

// Waves: the near pair from (30, 4) to (32, 6) off the middle line, the far pair from (33, 6) to
// (36, 9). Both are exact diagonals, so every pixel on them is known.
constexpr int NEAR_WAVE[][2] = {{30, 4}, {31, 5}, {32, 6}};
constexpr int FAR_WAVE[][2] = {{33, 6}, {34, 7}, {35, 8}, {36, 9}};

class Waves : public ControlOverlay {
  protected:
    template <size_t N>
    void expect_wave(const int (&wave)[N][2], bool shown, const char* what) {
        const Rgba bar = canvas.bar();
        const Rgba lit = blend(WAVE_GREY, WAVE_ALPHA, bar);
        for (const auto& [x, offset] : wave) {
            for (int y : {cy - offset, cy + offset}) {
                if (shown) {
                    EXPECT_PRED2(near, canvas.at(x, y), lit) << what << " at " << x << ", " << y;
                } else {
                    EXPECT_EQ(canvas.at(x, y), bar) << what << " at " << x << ", " << y;
                }
            }
        }
    }
};

TEST_F(Waves, NoneAtOrBelowAFifth) {
    for (float volume : {0.0f, 0.1f, 0.2f}) {
        SCOPED_TRACE(volume);
        canvas.draw(false, volume, false);
        expect_wave(NEAR_WAVE, false, "near");
        expect_wave(FAR_WAVE, false, "far");
    }
}

TEST_F(Waves, NearPairAboveAFifthUpToHalf) {
    for (float volume : {0.21f, 0.5f}) {
        SCOPED_TRACE(volume);
        canvas.draw(false, volume, false);
        expect_wave(NEAR_WAVE, true, "near");
        expect_wave(FAR_WAVE, false, "far");
    }
}

TEST_F(Waves, BothPairsAboveHalf) {
    for (float volume : {0.51f, 1.0f}) {
        SCOPED_TRACE(volume);
        canvas.draw(false, volume, false);
        expect_wave(NEAR_WAVE, true, "near");
        expect_wave(FAR_WAVE, true, "far");
    }
}

TEST_F(Waves, NoneWhenMuted) {
    canvas.draw(true, 0.8f, false);
    expect_wave(NEAR_WAVE, false, "near");
    expect_wave(FAR_WAVE, false, "far");
}

// Muted --------------------------------------------------------------------------------------

TEST_F(ControlOverlay, MutedShowsARedSlashedSpeakerAndAnEmptySlider) {
    canvas.draw(true, 0.8f, false);
    const Rgba bar = canvas.bar();
    EXPECT_EQ(canvas.at(15, cy), MUTED_RED);
    // Two parallel lines from (8, +12) and (9, +12) up to (36, -12) and (37, -12); each crosses
    // the middle line halfway, over the cone.
    for (const auto& [x, y] : {std::pair{8, cy + 12}, std::pair{22, cy}, std::pair{36, cy - 12},
                               std::pair{9, cy + 12}, std::pair{23, cy}, std::pair{37, cy - 12}}) {
        EXPECT_EQ(canvas.at(x, y), SLASH_RED) << "at " << x << ", cy" << y - cy;
    }
    EXPECT_EQ(canvas.at(38, cy - 12), bar);
    EXPECT_EQ(canvas.at(7, cy + 12), bar);

    // No level: the knob sits at the track's start, x 42..53, and the track is grey behind it.
    for (int x = 42; x <= 53; ++x) {
        EXPECT_EQ(canvas.at(x, cy - 6), WHITE) << "x " << x;
        EXPECT_EQ(canvas.at(x, cy + 5), WHITE) << "x " << x;
    }
    EXPECT_EQ(canvas.at(41, cy), bar);
    EXPECT_EQ(canvas.at(42, cy - 7), bar);
    EXPECT_EQ(canvas.at(42, cy + 6), bar);
    EXPECT_EQ(canvas.at(54, cy), TRACK_GREY);
    EXPECT_EQ(canvas.at(200, cy - 3), TRACK_GREY);
    EXPECT_EQ(canvas.at(347, cy + 2), TRACK_GREY);
}

TEST_F(ControlOverlay, SlashIsAbsentWhenNotMuted) {
    canvas.draw(false, 0.0f, false);
    const Rgba bar = canvas.bar();
    EXPECT_EQ(canvas.at(8, cy + 12), bar);
    EXPECT_EQ(canvas.at(37, cy - 12), bar);
    EXPECT_EQ(canvas.at(22, cy), WHITE);
}

// The slider ---------------------------------------------------------------------------------

TEST_F(ControlOverlay, HalfVolumeFillsHalfTheTrack) {
    canvas.draw(false, 0.5f, false);
    const Rgba bar = canvas.bar();
    // Track rows cy-3..cy+2 from x 48; level to x 197, under the knob at x 192..203.
    EXPECT_EQ(canvas.at(48, cy - 3), LEVEL_BLUE);
    EXPECT_EQ(canvas.at(191, cy + 2), LEVEL_BLUE);
    EXPECT_EQ(canvas.at(191, cy - 4), bar);
    EXPECT_EQ(canvas.at(191, cy + 3), bar);
    EXPECT_EQ(canvas.at(47, cy), bar);
    EXPECT_EQ(canvas.at(192, cy), WHITE);
    EXPECT_EQ(canvas.at(203, cy), WHITE);
    EXPECT_EQ(canvas.at(204, cy), TRACK_GREY);
    EXPECT_EQ(canvas.at(347, cy), TRACK_GREY);
    EXPECT_EQ(canvas.at(348, cy), bar);
}

TEST_F(ControlOverlay, LevelLengthIsTruncated) {
    // 300 x 0.333 = 99.9: 99 pixels, so the knob starts at 48 + 99 - 6.
    canvas.draw(false, 0.333f, false);
    EXPECT_EQ(canvas.at(140, cy), LEVEL_BLUE);
    EXPECT_EQ(canvas.at(141, cy), WHITE);
}

TEST_F(ControlOverlay, FullVolumePutsTheKnobAtTheTracksEnd) {
    canvas.draw(false, 1.0f, false);
    const Rgba bar = canvas.bar();
    EXPECT_EQ(canvas.at(341, cy), LEVEL_BLUE);
    for (int x = 342; x <= 353; ++x) {
        EXPECT_EQ(canvas.at(x, cy - 6), WHITE) << "x " << x;
        EXPECT_EQ(canvas.at(x, cy + 5), WHITE) << "x " << x;
    }
    EXPECT_EQ(canvas.at(354, cy), bar);
}

TEST(ControlOverlayNarrow, SliderShrinksWithTheWindow) {
    // 200 wide: a 130-pixel track, x 48..177, and at full volume the knob at 172..183.
    Canvas canvas(200, 80);
    ASSERT_TRUE(canvas.ready()) << SDL_GetError();
    canvas.draw(false, 1.0f, false);
    EXPECT_EQ(canvas.at(171, canvas.cy), LEVEL_BLUE);
    EXPECT_EQ(canvas.at(172, canvas.cy), WHITE);
    EXPECT_EQ(canvas.at(183, canvas.cy), WHITE);
    EXPECT_EQ(canvas.at(184, canvas.cy), canvas.bar());

    canvas.draw(false, 0.5f, false);
    // 65 pixels of level, the knob at 107..118.
    EXPECT_EQ(canvas.at(106, canvas.cy), LEVEL_BLUE);
    EXPECT_EQ(canvas.at(107, canvas.cy), WHITE);
    EXPECT_EQ(canvas.at(118, canvas.cy), WHITE);
    EXPECT_EQ(canvas.at(119, canvas.cy), TRACK_GREY);
    EXPECT_EQ(canvas.at(177, canvas.cy), TRACK_GREY);
    EXPECT_EQ(canvas.at(178, canvas.cy), canvas.bar());
}

// The fullscreen button ----------------------------------------------------------------------

// The icon's box starts 32 pixels from the right edge and is 16 x 12 around the middle line.
constexpr int ICON_LEFT = WIDTH - 32;

TEST_F(ControlOverlay, WindowedShowsBracketsAtTheBoxCorners) {
    canvas.draw(false, SOME_VOLUME, false);
    const Rgba bar = canvas.bar();
    for (const auto& [x, y] :
         {std::pair{0, -6}, std::pair{4, -6}, std::pair{0, -4}, std::pair{0, -2}, std::pair{16, -6},
          std::pair{12, -6}, std::pair{16, -4}, std::pair{0, 6}, std::pair{4, 6}, std::pair{0, 4},
          std::pair{16, 6}, std::pair{12, 6}, std::pair{16, 4}, std::pair{16, 2}}) {
        EXPECT_EQ(canvas.at(ICON_LEFT + x, cy + y), ICON_GREY) << "at ix+" << x << ", cy" << y;
    }
    for (const auto& [x, y] :
         {std::pair{4, -4}, std::pair{12, -4}, std::pair{4, 4}, std::pair{12, 4}, std::pair{8, -6},
          std::pair{0, 0}, std::pair{5, -6}, std::pair{0, -1}}) {
        EXPECT_EQ(canvas.at(ICON_LEFT + x, cy + y), bar) << "at ix+" << x << ", cy" << y;
    }
}

TEST_F(ControlOverlay, FullscreenShowsBracketsTurnedInwards) {
    canvas.draw(false, SOME_VOLUME, true);
    const Rgba bar = canvas.bar();
    for (const auto& [x, y] :
         {std::pair{4, -6}, std::pair{0, -6}, std::pair{4, -4}, std::pair{4, -2}, std::pair{12, -6},
          std::pair{16, -6}, std::pair{12, -4}, std::pair{4, 6}, std::pair{0, 6}, std::pair{4, 4},
          std::pair{12, 6}, std::pair{16, 6}, std::pair{12, 4}, std::pair{12, 2}}) {
        EXPECT_EQ(canvas.at(ICON_LEFT + x, cy + y), ICON_GREY) << "at ix+" << x << ", cy" << y;
    }
    for (const auto& [x, y] :
         {std::pair{0, -4}, std::pair{16, -4}, std::pair{0, 4}, std::pair{16, 4}, std::pair{8, -6},
          std::pair{4, 0}, std::pair{5, -6}, std::pair{4, -1}}) {
        EXPECT_EQ(canvas.at(ICON_LEFT + x, cy + y), bar) << "at ix+" << x << ", cy" << y;
    }
}

}  // namespace
}  // namespace nimbar::viewer
