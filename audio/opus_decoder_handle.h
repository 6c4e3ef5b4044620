#pragma once

// Owns one libopus decoder.

#include <cstdint>

struct OpusDecoder;

namespace nimbar::audio {

class OpusDecoderHandle {
  public:
    OpusDecoderHandle() = default;
    ~OpusDecoderHandle() { destroy(); }
    OpusDecoderHandle(const OpusDecoderHandle&) = delete;
    OpusDecoderHandle& operator=(const OpusDecoderHandle&) = delete;

    // Replaces any decoder with a new one. False, holding none, when libopus refuses.
    bool create(int sample_rate, int channels);

    // Samples per channel written to `pcm` (at most `frame_size`), or negative: libopus's error,
    // or -1 without a decoder. A packet longer than `frame_size` fails.
    int decode(const uint8_t* packet, int length, int16_t* pcm, int frame_size);
    // Synthesises `frame_size` samples per channel standing in for a lost packet; as decode.
    int conceal(int16_t* pcm, int frame_size);

    void destroy();
    bool present() const { return decoder != nullptr; }

  private:
    OpusDecoder* decoder = nullptr;
};

}  // namespace nimbar::audio
