#pragma once

// Real screen audio for tests: a stereo tone encoded with libopus in 20 ms packets, audio
// datagrams around them, and what SDL's disk driver wrote, read back.

#include <chrono>
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

// Breaks in a tone of `hz` in one channel, from sample `from` to `to` (clamped to the samples), and
// its mean level (the peak of a sine of that RMS). The samples are cut into 50 ms windows (whole
// cycles of both pitches); a window below half the level, or one whose phase turns unlike its
// neighbours' by more than 0.3 rad, is odd. A 2 % correction turns the phase steadily, by up to
// 2.8 rad a window at 440 Hz; a skipped packet turns it by 1.3 rad at once. Consecutive odd
// windows are one break; `starts` holds the sample where each begins.
struct ToneBreaks {
    std::vector<size_t> starts;
    double level = 0;
};
ToneBreaks tone_breaks(const std::vector<int16_t>& samples, size_t from, size_t to, double hz);

// The sound card's clock, for a host that runs a given amount fast or slow against it whatever its
// pace (the disk driver's is about 1 % slow, and the machine's load moves it by as much again):
// the sound the disk driver has written to `path`, silence included, in milliseconds. It writes a
// 20 ms buffer at a time into a file that grows in the C library's 4 KiB blocks, so the file's
// size tells which write it has come to; the time since then is added, up to the write that grows
// it next. Look at it every 2 ms at most, so that a write is seen within 2 ms of its time.
class DiskClock {
  public:
    explicit DiskClock(std::string path) : path(std::move(path)) {}
    double ms(std::chrono::steady_clock::time_point now);

  private:
    std::string path;
    uintmax_t bytes = 0;
    uintmax_t writes = 0;
    uintmax_t next = 1;
    std::chrono::steady_clock::time_point grown = std::chrono::steady_clock::now();
};

}  // namespace nimbar::testing
