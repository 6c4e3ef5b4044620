#pragma once

// The playback volume applied to 16-bit samples.

#include <cstddef>
#include <cstdint>

namespace nimbar::audio {

// A gain of exactly 1.0 leaves the samples untouched. Otherwise each sample becomes its product
// with the gain in single precision, truncated toward zero and clamped to the 16-bit range; a gain
// that is not a number silences.
void apply_gain(int16_t* samples, size_t count, float gain);

}  // namespace nimbar::audio
