#pragma once

// Where the host's screen audio comes from: the two-pitch tone of audio_format.h, or a 16-bit PCM
// WAV file at 48 kHz (mono or stereo) played in a loop. Either way it comes out as interleaved
// stereo, 20 ms at a time.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace nimbar::host {

class AudioSource {
  public:
    // The tone, from phase 0.
    AudioSource();
    // The samples of the WAV file at `path`; check ok() before use.
    explicit AudioSource(const std::string& path);

    // False after an error line when the file cannot be read or is not a WAV file the host plays.
    bool ok() const { return usable; }

    // Fills `pcm` (resized to AUDIO_FRAME_SAMPLES stereo frames, left then right) with the next
    // 20 ms. The tone's phase runs on across calls; a file starts over after its last sample
    // frame, within a packet if need be. Silence when the source is not usable.
    void next(std::vector<int16_t>& pcm);

  private:
    bool from_file = false;
    bool usable = true;
    double left_phase = 0.0;  // in cycles, [0, 1)
    double right_phase = 0.0;
    std::vector<int16_t> samples;  // the whole file, as interleaved stereo
    size_t position = 0;           // next sample frame of `samples`
};

// Reads a RIFF/WAVE file held in `file`: PCM (format 1), 16-bit, 48000 Hz, 1 or 2 channels. Fills
// `stereo` with its sample frames as interleaved stereo, a mono sample going to both channels.
// Chunks are walked by their sizes, each checked against the bytes present (the RIFF size is not
// trusted); a trailing partial sample frame and a missing last pad byte are let go. False after one
// "[Host] Error: <name> ..." line.
bool parse_wav(std::span<const uint8_t> file, const std::string& name,
               std::vector<int16_t>& stereo);

}  // namespace nimbar::host
