#pragma once

// Whether what a renderer presents reaches the screen. Direct3D loses its device to the lock
// screen, a UAC prompt, a display mode change, a driver update or a remote-desktop reconnect; a
// present made meanwhile shows nothing, and SDL does not say so. The other renderers never lose
// their output.

#include <SDL.h>

namespace nimbar::client {

// True when the renderer's device cannot show what is presented now (Direct3D 9: lost or waiting
// for its reset; Direct3D 11: removed). SDL resets or re-creates the device inside a later
// present, which then posts SDL_RENDER_TARGETS_RESET or SDL_RENDER_DEVICE_RESET.
bool render_output_lost(SDL_Renderer* renderer);

}  // namespace nimbar::client
