#pragma once

// The screen audio the host streams to the viewer, and the tone it plays when asked for one. The
// viewer decodes every packet as one 20 ms stereo frame at 48 kHz, so these are fixed, not options.

#include <cstdint>

namespace nimbar::host {

// Opus's native rate; the viewer's decoder is opened at it.
inline constexpr int AUDIO_SAMPLE_RATE = 48000;
inline constexpr int AUDIO_CHANNELS = 2;
// Samples per channel in one packet: 20 ms, the frame size the viewer decodes with.
inline constexpr int AUDIO_FRAME_SAMPLES = 960;
inline constexpr int AUDIO_PACKETS_PER_SECOND = AUDIO_SAMPLE_RATE / AUDIO_FRAME_SAMPLES;

// The tone: a different pitch in each channel, so that a swapped or mixed-down channel shows.
// Both complete a whole number of cycles every 50 ms, so a measurement over a multiple of 50 ms
// finds each exactly on a frequency bin.
inline constexpr double TONE_LEFT_HZ = 440.0;
inline constexpr double TONE_RIGHT_HZ = 660.0;
// Half of full scale: loud enough to measure, far from clipping after lossy coding.
inline constexpr int16_t TONE_AMPLITUDE = 16384;

}  // namespace nimbar::host
