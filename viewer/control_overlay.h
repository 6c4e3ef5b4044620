#pragma once

// The control bar drawn over the video: a speaker that shows and toggles mute, a volume slider,
// and a fullscreen button, in plain renderer primitives (no textures, no text).

#include <SDL.h>

namespace nimbar::viewer {

// Draws the bar into `renderer` for a window of w x h: the speaker red and slashed when muted,
// waves for volume above 0.2 and 0.5 when not, the slider's level and knob at `volume` (0 while
// muted), and the icon for entering or (when `fullscreen`) leaving fullscreen. Leaves the blend
// mode and draw colour as its last step set them.
void draw_control_overlay(SDL_Renderer* renderer, int w, int h, bool muted, float volume,
                          bool fullscreen);

}  // namespace nimbar::viewer
