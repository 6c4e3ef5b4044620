#pragma once

// The screen audio that the host sends and the viewer plays: every audio datagram carries one
// Opus packet of 20 ms of 48 kHz stereo. Fixed by the format, not options.

#include <cstdint>

namespace nimbar::protocol {

// Opus's native rate.
inline constexpr int SCREEN_AUDIO_SAMPLE_RATE = 48000;
inline constexpr int SCREEN_AUDIO_CHANNELS = 2;
inline constexpr int SCREEN_AUDIO_FRAME_MS = 20;
// Samples per channel in one packet.
inline constexpr int SCREEN_AUDIO_FRAME_SAMPLES =
    SCREEN_AUDIO_SAMPLE_RATE / 1000 * SCREEN_AUDIO_FRAME_MS;
inline constexpr int SCREEN_AUDIO_PACKETS_PER_SECOND = 1000 / SCREEN_AUDIO_FRAME_MS;
// Played as 16-bit samples: bytes of sound per millisecond in a playback queue.
inline constexpr int SCREEN_AUDIO_BYTES_PER_MS =
    SCREEN_AUDIO_SAMPLE_RATE / 1000 * SCREEN_AUDIO_CHANNELS * 2;

}  // namespace nimbar::protocol
