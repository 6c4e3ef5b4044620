#pragma once

// The control bar drawn over the video: a speaker that shows and toggles mute, a volume slider,
// and a fullscreen button, in plain renderer primitives (no textures, no text).

#include <SDL.h>

namespace nimbar::viewer {

// Draws the bar into `renderer` for a window of w x h pixels: the speaker red and slashed when
// muted, waves for volume above 0.2 and 0.5 when not, the slider's level and knob at `volume` (0
// while muted), and the icon for entering or (when `fullscreen`) leaving fullscreen. Its geometry
// (view_state.h) is in units of `scale` pixels, the display's scale (display_scale.h). Leaves the
// blend mode and draw colour as its last step set them, and the renderer's scale at 1.
void draw_control_overlay(SDL_Renderer* renderer, int w, int h, float scale, bool muted,
                          float volume, bool fullscreen);

}  // namespace nimbar::viewer
