#pragma once

// Real screen audio for tests: a stereo tone encoded with libopus in 20 ms packets, audio
// datagrams around them, and what SDL's disk driver wrote, read back.

#include <cstdint>
#include <string>
#include <vector>

namespace nimbar::testing {

struct Tone {
    double left_hz = 440.0;
    double right_hz = 660.0;
    double amplitude = 0.5;  // of full scale
};

// `packets` consecutive 20 ms Opus packets (48 kHz stereo) of the tone.
std::vector<std::vector<uint8_t>> encode_tone(int packets, const Tone& tone = {});
// One Opus packet of `milliseconds` (20, 40, 60) of the tone.
std::vector<uint8_t> encode_tone_packet(int milliseconds, const Tone& tone = {});

std::vector<uint8_t> audio_datagram(uint32_t sequence, const std::vector<uint8_t>& packet);

// Interleaved 16-bit stereo samples from a raw file (what SDL's disk audio driver writes).
struct StereoSamples {
    std::vector<int16_t> left;
    std::vector<int16_t> right;
};
StereoSamples read_disk_audio(const std::string& path);

// The stretch between the first and the last sample above `threshold` in either channel.
StereoSamples non_silent(const StereoSamples& samples, int threshold = 200);

// Power of `frequency` in the samples (Goertzel), normalised by their count.
double tone_power(const std::vector<int16_t>& samples, double frequency);
double rms(const std::vector<int16_t>& samples);

}  // namespace nimbar::testing
