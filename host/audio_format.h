#pragma once

// The screen audio the host streams to the viewer (its format is the viewer's, see
// protocol/screen_audio_format.h), and the tone it plays when asked for one.

#include <cstdint>

#include "protocol/screen_audio_format.h"

namespace nimbar::host {

inline constexpr int AUDIO_SAMPLE_RATE = protocol::SCREEN_AUDIO_SAMPLE_RATE;
inline constexpr int AUDIO_CHANNELS = protocol::SCREEN_AUDIO_CHANNELS;
inline constexpr int AUDIO_FRAME_SAMPLES = protocol::SCREEN_AUDIO_FRAME_SAMPLES;
inline constexpr int AUDIO_PACKETS_PER_SECOND = protocol::SCREEN_AUDIO_PACKETS_PER_SECOND;

// The tone: a different pitch in each channel, so that a swapped or mixed-down channel shows.
// Both complete a whole number of cycles every 50 ms, so a measurement over a multiple of 50 ms
// finds each exactly on a frequency bin.
inline constexpr double TONE_LEFT_HZ = 440.0;
inline constexpr double TONE_RIGHT_HZ = 660.0;
// Half of full scale: loud enough to measure, far from clipping after lossy coding.
inline constexpr int16_t TONE_AMPLITUDE = 16384;

}  // namespace nimbar::host
