#pragma once

// Encodes the host's screen audio with libopus: 48 kHz stereo, one 20 ms frame in, one Opus packet
// out, as the viewer decodes it.

#include <cstdint>
#include <span>
#include <vector>

struct OpusEncoder;

namespace nimbar::host {

class AudioEncoder {
  public:
    AudioEncoder() = default;
    ~AudioEncoder();
    AudioEncoder(const AudioEncoder&) = delete;
    AudioEncoder& operator=(const AudioEncoder&) = delete;

    // False after a "[Host] Error: ..." line when libopus refuses the encoder or the bitrate.
    bool open(int bitrate_kbps);

    // Encodes AUDIO_FRAME_SAMPLES stereo frames (interleaved, left first) into `packet`, which
    // receives one whole Opus packet. False after an error line when `pcm` is not exactly that
    // long or encoding failed; `packet` is then empty.
    bool encode(std::span<const int16_t> pcm, std::vector<uint8_t>& packet);

  private:
    void close();

    OpusEncoder* encoder = nullptr;
};

}  // namespace nimbar::host
