#pragma once

// Closing an SDL audio device without letting a hung sound server hold the caller. SDL closes a
// device by joining its audio thread, and that thread may sit inside the driver for as long as the
// sound server does not answer (a stopped PulseAudio, a hung Windows audio service). So the close
// runs on a thread of its own, and the caller waits for it a bounded time only; a close given up
// on finishes by itself when the server answers, or ends with the process.

#include <SDL.h>

#include <chrono>

namespace nimbar::audio {

// Closes `device` with SDL_CloseAudioDevice and waits for it up to `limit`. True when it closed;
// false when the wait was given up and the close goes on, on its own thread.
bool close_device_within(SDL_AudioDeviceID device, std::chrono::milliseconds limit);

// Closes given up on that have not finished yet. Any thread may ask.
int unfinished_device_closes();

// SDL_Quit, unless a device's close is still unfinished: SDL's audio shutdown closes every device
// it still counts open, that one included, and would wait on it the same way. SDL is then left to
// the process exit, which ends its threads with everything else.
void quit_sdl();

}  // namespace nimbar::audio
