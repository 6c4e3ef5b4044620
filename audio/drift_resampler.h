#pragma once

// Plays 16-bit interleaved audio a little faster or slower than it was made, by a small ratio that
// may change with every call, through libswresample's compensation. A sender's clock and a sound
// card's never run at quite the same rate; this is how a playback queue between them is held at
// its depth without skipping or repeating anything.
//
// At a correction of zero the samples pass through untouched. The resampler takes over from the
// untouched samples, and hands back to them, without a break in the waveform: it is primed with
// the samples already played when it starts, and when it stops it first lands on a whole sample,
// then the samples it still holds are played as they are.

#include <cstddef>
#include <cstdint>
#include <vector>

struct SwrContext;

namespace nimbar::audio {

class DriftResampler {
  public:
    DriftResampler() = default;
    ~DriftResampler() { close(); }
    DriftResampler(const DriftResampler&) = delete;
    DriftResampler& operator=(const DriftResampler&) = delete;

    // Prepares for `sample_rate` Hz and `channels` interleaved channels, forgetting any earlier
    // audio. False, with one "[Audio] ..." line on stderr, when libswresample refuses.
    bool open(int sample_rate, int channels);
    void close();
    bool is_open() const { return context != nullptr; }

    // Appends to `out` the `frames` sample frames at `samples`, stretched by `correction_ppm`
    // parts per million (positive: longer, more frames out than in; negative: shorter). Returns
    // the frames appended, which over many calls come to the frames given times
    // (1 + correction_ppm / 1e6); a single call may give a few dozen frames more or fewer while
    // the resampler starts or stops. A correction of exactly 0 leaves the samples untouched once
    // the resampler has stopped. Not open: appends the samples unchanged.
    size_t process(const int16_t* samples, size_t frames, double correction_ppm,
                   std::vector<int16_t>& out);

    // True while the resampler is between the input and the output.
    bool resampling() const { return engaged; }

  private:
    size_t engage(const int16_t* samples, size_t frames, double correction_ppm,
                  std::vector<int16_t>& out);
    size_t disengage(const int16_t* samples, size_t frames, std::vector<int16_t>& out);
    // Converts into the end of `out`: at most `limit` frames from `samples` (may be none) and what
    // the resampler holds. Frames appended, 0 after a failure.
    size_t convert(const int16_t* samples, size_t frames, size_t limit, std::vector<int16_t>& out);
    bool set_rate(double correction_ppm);
    // Where the next frame out stands, in 1/PHASE_UNITS of a frame before the end of the input.
    int64_t held_back_units() const;
    void remember(const int16_t* samples, size_t frames);

    SwrContext* context = nullptr;
    int sample_rate = 0;
    int channels = 0;
    bool engaged = false;
    // The latest input frames, interleaved, oldest first: the resampler's priming when it starts,
    // and the frames it still held when it stops.
    std::vector<int16_t> recent;
    std::vector<int16_t> scratch;
};

}  // namespace nimbar::audio
