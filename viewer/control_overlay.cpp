#include "viewer/control_overlay.h"

#include "viewer/view_state.h"

namespace nimbar::viewer {

namespace {

struct Colour {
    Uint8 r;
    Uint8 g;
    Uint8 b;
    Uint8 a;
};

// Translucent, so the video stays visible behind the controls.
constexpr Colour BAR_COLOUR{0, 0, 0, 180};
constexpr Colour SPEAKER_COLOUR{255, 255, 255, 255};
// Muted reads as "off" at a glance: the speaker turns red and a brighter red slash crosses it.
constexpr Colour MUTED_SPEAKER_COLOUR{200, 60, 60, 255};
constexpr Colour MUTE_SLASH_COLOUR{255, 80, 80, 255};
// Dimmer than the speaker, so the waves read as sound rather than as part of the icon.
constexpr Colour WAVE_COLOUR{180, 180, 180, 200};
constexpr Colour TRACK_COLOUR{80, 80, 80, 255};
constexpr Colour LEVEL_COLOUR{100, 180, 255, 255};
constexpr Colour KNOB_COLOUR{255, 255, 255, 255};
constexpr Colour FULLSCREEN_ICON_COLOUR{200, 200, 200, 255};

// Everything in the bar is centred on this line, measured up from the window's bottom edge.
constexpr int BAR_MIDDLE_FROM_BOTTOM = BAR_HEIGHT / 2;

// Speaker: an 8 x 10 body and a cone that starts at its height and widens by one pixel each side
// every second column.
constexpr int SPEAKER_BODY_LEFT = 12;
constexpr int SPEAKER_BODY_WIDTH = 8;
constexpr int SPEAKER_BODY_HEIGHT = 10;
constexpr int CONE_LEFT = SPEAKER_BODY_LEFT + SPEAKER_BODY_WIDTH;
constexpr int CONE_COLUMNS = 8;
constexpr int SPEAKER_HALF_HEIGHT = SPEAKER_BODY_HEIGHT / 2;

// Sound waves right of the cone: a short pair above the first volume, and a longer pair further
// out above the second, each a diagonal from `inner` to `outer` pixels off the middle line.
struct Wave {
    int left;
    int right;
    int inner;
    int outer;
};
constexpr Wave NEAR_WAVE{30, 32, 4, 6};
constexpr Wave FAR_WAVE{33, 36, 6, 9};
constexpr float NEAR_WAVE_VOLUME = 0.2f;
constexpr float FAR_WAVE_VOLUME = 0.5f;

// Slash across the whole speaker, two pixels thick.
constexpr int SLASH_LEFT = 8;
constexpr int SLASH_RIGHT = 36;
constexpr int SLASH_HALF_HEIGHT = 12;

// Slider: a 6-pixel track under a 12-pixel square knob.
constexpr int TRACK_HEIGHT = 6;
constexpr int KNOB_SIZE = 12;

// Fullscreen icon: four corner brackets in a 16 x 12 box, with 4-pixel arms.
constexpr int ICON_FROM_RIGHT = 32;
constexpr int ICON_WIDTH = 16;
constexpr int ICON_HALF_HEIGHT = 6;
constexpr int ICON_ARM = 4;

void set_colour(SDL_Renderer* renderer, const Colour& colour) {
    SDL_SetRenderDrawColor(renderer, colour.r, colour.g, colour.b, colour.a);
}

void fill(SDL_Renderer* renderer, int x, int y, int w, int h) {
    const SDL_Rect rect{x, y, w, h};
    SDL_RenderFillRect(renderer, &rect);
}

// A wave above the middle line and its mirror image below it.
void wave_pair(SDL_Renderer* renderer, int cy, const Wave& wave) {
    SDL_RenderDrawLine(renderer, wave.left, cy - wave.inner, wave.right, cy - wave.outer);
    SDL_RenderDrawLine(renderer, wave.left, cy + wave.inner, wave.right, cy + wave.outer);
}

// One bracket: arms from its corner (x, y) horizontally to x + dx and vertically to y + dy. The
// two icons differ only in where the corners sit and which way the arms point.
void bracket(SDL_Renderer* renderer, int x, int y, int dx, int dy) {
    SDL_RenderDrawLine(renderer, x, y, x + dx, y);
    SDL_RenderDrawLine(renderer, x, y, x, y + dy);
}

void draw_speaker(SDL_Renderer* renderer, int cy, bool muted, float volume) {
    set_colour(renderer, muted ? MUTED_SPEAKER_COLOUR : SPEAKER_COLOUR);
    fill(renderer, SPEAKER_BODY_LEFT, cy - SPEAKER_HALF_HEIGHT, SPEAKER_BODY_WIDTH,
         SPEAKER_BODY_HEIGHT);
    for (int i = 0; i < CONE_COLUMNS; ++i) {
        const int x = CONE_LEFT + i;
        SDL_RenderDrawLine(renderer, x, cy - SPEAKER_HALF_HEIGHT - i / 2, x,
                           cy + SPEAKER_HALF_HEIGHT + i / 2);
    }

    if (!muted && volume > 0.0f) {
        set_colour(renderer, WAVE_COLOUR);
        if (volume > NEAR_WAVE_VOLUME) {
            wave_pair(renderer, cy, NEAR_WAVE);
        }
        if (volume > FAR_WAVE_VOLUME) {
            wave_pair(renderer, cy, FAR_WAVE);
        }
    }

    if (muted) {
        set_colour(renderer, MUTE_SLASH_COLOUR);
        SDL_RenderDrawLine(renderer, SLASH_LEFT, cy + SLASH_HALF_HEIGHT, SLASH_RIGHT,
                           cy - SLASH_HALF_HEIGHT);
        SDL_RenderDrawLine(renderer, SLASH_LEFT + 1, cy + SLASH_HALF_HEIGHT, SLASH_RIGHT + 1,
                           cy - SLASH_HALF_HEIGHT);
    }
}

void draw_slider(SDL_Renderer* renderer, int w, int cy, bool muted, float volume) {
    const int width = slider_width(w);
    const int track_top = cy - TRACK_HEIGHT / 2;
    set_colour(renderer, TRACK_COLOUR);
    fill(renderer, SLIDER_LEFT, track_top, width, TRACK_HEIGHT);

    // The slider shows what is heard: nothing while muted, whatever the volume setting.
    const float level = muted ? 0.0f : volume;
    const int filled = static_cast<int>(static_cast<float>(width) * level);
    set_colour(renderer, LEVEL_COLOUR);
    fill(renderer, SLIDER_LEFT, track_top, filled, TRACK_HEIGHT);

    set_colour(renderer, KNOB_COLOUR);
    fill(renderer, SLIDER_LEFT + filled - KNOB_SIZE / 2, cy - KNOB_SIZE / 2, KNOB_SIZE, KNOB_SIZE);
}

// Windowed: four corner brackets at the box's corners, the usual "enter fullscreen" sign. In
// fullscreen each bracket's corner moves one arm inwards and its horizontal arm points back out to
// the box's edge, the "leave fullscreen" sign.
void draw_fullscreen_button(SDL_Renderer* renderer, int w, int cy, bool fullscreen) {
    set_colour(renderer, FULLSCREEN_ICON_COLOUR);
    const int left = w - ICON_FROM_RIGHT;
    const int right = left + ICON_WIDTH;
    const int top = cy - ICON_HALF_HEIGHT;
    const int bottom = cy + ICON_HALF_HEIGHT;
    if (!fullscreen) {
        bracket(renderer, left, top, ICON_ARM, ICON_ARM);
        bracket(renderer, right, top, -ICON_ARM, ICON_ARM);
        bracket(renderer, left, bottom, ICON_ARM, -ICON_ARM);
        bracket(renderer, right, bottom, -ICON_ARM, -ICON_ARM);
    } else {
        bracket(renderer, left + ICON_ARM, top, -ICON_ARM, ICON_ARM);
        bracket(renderer, right - ICON_ARM, top, ICON_ARM, ICON_ARM);
        bracket(renderer, left + ICON_ARM, bottom, -ICON_ARM, -ICON_ARM);
        bracket(renderer, right - ICON_ARM, bottom, ICON_ARM, -ICON_ARM);
    }
}

}  // namespace

void draw_control_overlay(SDL_Renderer* renderer, int w, int h, float scale, bool muted,
                          float volume, bool fullscreen) {
    // In the bar's own units from here on; the renderer multiplies them out.
    SDL_RenderSetScale(renderer, scale, scale);
    w = static_cast<int>(static_cast<float>(w) / scale);
    h = static_cast<int>(static_cast<float>(h) / scale);
    const int cy = h - BAR_MIDDLE_FROM_BOTTOM;
    SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_BLEND);
    set_colour(renderer, BAR_COLOUR);
    fill(renderer, 0, h - BAR_HEIGHT, w, BAR_HEIGHT);
    draw_speaker(renderer, cy, muted, volume);
    draw_slider(renderer, w, cy, muted, volume);
    draw_fullscreen_button(renderer, w, cy, fullscreen);
    SDL_RenderSetScale(renderer, 1.0f, 1.0f);
}

}  // namespace nimbar::viewer
