#include "audio/gain.h"

#include <cmath>

namespace nimbar::audio {

namespace {

int16_t scaled(int16_t sample, float gain) {
    const float product = static_cast<float>(sample) * gain;
    // Clamped before the conversion: a float beyond the int range does not convert.
    if (std::isnan(product)) {
        return 0;
    }
    if (product >= 32767.0f) {
        return 32767;
    }
    if (product <= -32768.0f) {
        return -32768;
    }
    return static_cast<int16_t>(static_cast<int32_t>(product));
}

}  // namespace

void apply_gain(int16_t* samples, size_t count, float gain) {
    if (gain == 1.0f) {
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        samples[i] = scaled(samples[i], gain);
    }
}

}  // namespace nimbar::audio
