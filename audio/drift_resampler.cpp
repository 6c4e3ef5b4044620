#include "audio/drift_resampler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace nimbar::audio {

namespace {

// The resampler's filter phases per frame, as a power of two (libswresample's default): where the
// next frame out stands is known to 1/1024 of a frame, which is how exactly it lands when it stops.
constexpr int PHASE_SHIFT = 10;
constexpr int64_t PHASE_UNITS = int64_t{1} << PHASE_SHIFT;
// Input frames kept: more than the resampler ever holds back (half its filter, 17 frames, and a
// few of look-ahead), so that whatever it holds when it stops can be played from here.
constexpr size_t RECENT_FRAMES = 128;
// Frames already played that are fed first when the resampler starts, so that its filter sees the
// real waveform rather than a mirrored one: a little more than half its filter.
constexpr size_t PRIME_FRAMES = 32;
// Stopping needs a stretch of frames out to land on a whole frame over; a shorter call keeps
// resampling at the nominal rate and the next one stops.
constexpr size_t MIN_LANDING_FRAMES = 64;

void report(const char* what, int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    fprintf(stderr, "[Audio] %s: %s\n", what, text);
}

}  // namespace

bool DriftResampler::open(int rate, int channel_count) {
    close();
    AVChannelLayout layout;
    av_channel_layout_default(&layout, channel_count);
    int error = swr_alloc_set_opts2(&context, &layout, AV_SAMPLE_FMT_S16, rate, &layout,
                                    AV_SAMPLE_FMT_S16, rate, 0, nullptr);
    av_channel_layout_uninit(&layout);
    // Resample even at equal rates, so that compensation never has to set the context up anew;
    // and keep every filter phase from the start (no "exact" single phase at equal rates), so that
    // starting again rebuilds no filter bank.
    if (error >= 0) {
        error = av_opt_set_int(context, "flags", SWR_FLAG_RESAMPLE, 0);
    }
    if (error >= 0) {
        error = av_opt_set_int(context, "exact_rational", 0, 0);
    }
    if (error >= 0) {
        error = av_opt_set_int(context, "phase_shift", PHASE_SHIFT, 0);
    }
    if (error >= 0) {
        error = swr_init(context);
    }
    if (error < 0) {
        report("Cannot set up the resampler", error);
        close();
        return false;
    }
    sample_rate = rate;
    channels = channel_count;
    engaged = false;
    recent.clear();
    return true;
}

void DriftResampler::close() {
    if (context != nullptr) {
        swr_free(&context);
        context = nullptr;
    }
    engaged = false;
    recent.clear();
}

size_t DriftResampler::process(const int16_t* samples, size_t frames, double correction_ppm,
                               std::vector<int16_t>& out) {
    if (frames == 0) {
        return 0;
    }
    size_t appended = 0;
    if (context == nullptr || (!engaged && correction_ppm == 0.0)) {
        out.insert(out.end(), samples,
                   samples + frames * static_cast<size_t>(std::max(channels, 1)));
        appended = frames;
    } else if (!engaged) {
        appended = engage(samples, frames, correction_ppm, out);
    } else if (correction_ppm == 0.0 && frames >= MIN_LANDING_FRAMES) {
        appended = disengage(samples, frames, out);
    } else {
        appended = set_rate(correction_ppm) ? convert(samples, frames, frames * 2, out) : 0;
    }
    if (context != nullptr) {
        remember(samples, frames);
    }
    return appended;
}

size_t DriftResampler::engage(const int16_t* samples, size_t frames, double correction_ppm,
                              std::vector<int16_t>& out) {
    const auto width = static_cast<size_t>(channels);
    const int error = swr_init(context);  // empties it: a fresh start at the nominal rate
    if (error < 0) {
        report("Cannot restart the resampler", error);
        out.insert(out.end(), samples, samples + frames * width);
        return frames;
    }
    engaged = true;
    const size_t prime = std::min(recent.size() / width, PRIME_FRAMES);
    const size_t given = frames;
    if (prime > 0) {
        // The primed frames were played already: what the resampler makes of them is dropped.
        scratch.assign(recent.end() - static_cast<ptrdiff_t>(prime * width), recent.end());
        scratch.insert(scratch.end(), samples, samples + frames * width);
        std::vector<int16_t> dropped;
        convert(scratch.data(), prime + frames, prime, dropped);
        samples = nullptr;  // all of it is inside the resampler now
        frames = 0;
    }
    if (!set_rate(correction_ppm)) {
        return 0;
    }
    return convert(samples, frames, (PRIME_FRAMES + given) * 2, out);
}

size_t DriftResampler::disengage(const int16_t* samples, size_t frames, std::vector<int16_t>& out) {
    const auto width = static_cast<size_t>(channels);
    // Over the first half of these frames, shift by the fraction of a frame that brings the next
    // frame out onto a whole input frame: ahead or back, whichever is nearer.
    const size_t landing = frames / 2;
    const int64_t held = held_back_units() + static_cast<int64_t>(frames) * PHASE_UNITS;
    int64_t shift = (held % PHASE_UNITS + PHASE_UNITS) % PHASE_UNITS;
    if (shift > PHASE_UNITS / 2) {
        shift -= PHASE_UNITS;
    }
    const int64_t distance = static_cast<int64_t>(landing) * PHASE_UNITS;
    if (distance > std::numeric_limits<int>::max() ||
        swr_set_compensation(context, static_cast<int>(-shift), static_cast<int>(distance)) < 0) {
        return convert(samples, frames, frames * 2, out);  // stays engaged; tried again next time
    }
    const size_t resampled = convert(samples, frames, landing, out);
    swr_set_compensation(context, 0, 0);
    // The frames it still holds, as they were made: the last ones given to it.
    const auto rest = static_cast<size_t>(
        std::max<int64_t>(std::llround(static_cast<double>(held_back_units()) / PHASE_UNITS), 0));
    const size_t from_samples = std::min(rest, frames);
    const size_t from_recent = std::min(rest - from_samples, recent.size() / width);
    out.insert(out.end(), recent.end() - static_cast<ptrdiff_t>(from_recent * width), recent.end());
    out.insert(out.end(), samples + (frames - from_samples) * width, samples + frames * width);
    engaged = false;
    return resampled + from_recent + from_samples;
}

size_t DriftResampler::convert(const int16_t* samples, size_t frames, size_t limit,
                               std::vector<int16_t>& out) {
    const auto width = static_cast<size_t>(channels);
    const int bound = swr_get_out_samples(context, static_cast<int>(frames));
    const size_t capacity = std::min(limit, static_cast<size_t>(std::max(bound, 0)));
    const size_t start = out.size();
    out.resize(start + capacity * width);
    uint8_t* destination[1] = {reinterpret_cast<uint8_t*>(out.data() + start)};
    // Never a null array: that would ask the resampler to flush, padding the end with a mirror.
    const uint8_t* source[1] = {reinterpret_cast<const uint8_t*>(samples)};
    const int converted = swr_convert(context, destination, static_cast<int>(capacity), source,
                                      static_cast<int>(frames));
    const size_t made = converted > 0 ? static_cast<size_t>(converted) : 0;
    out.resize(start + made * width);
    return made;
}

bool DriftResampler::set_rate(double correction_ppm) {
    // Spread over a second of frames out and set anew with every call, so the rate holds between
    // calls; a frame a second is its resolution (21 ppm at 48 kHz). A delta of d frames over n
    // makes n frames of n - d, so for a stretch by c the delta is n c / (1 + c).
    const double stretch = correction_ppm / 1e6;
    const long delta = std::lround(sample_rate * stretch / (1.0 + stretch));
    const int error = delta == 0
                          ? swr_set_compensation(context, 0, 0)
                          : swr_set_compensation(context, static_cast<int>(delta), sample_rate);
    if (error < 0) {
        report("Cannot set the resampling ratio", error);
        return false;
    }
    return true;
}

int64_t DriftResampler::held_back_units() const {
    return swr_get_delay(context, int64_t{sample_rate} * PHASE_UNITS);
}

void DriftResampler::remember(const int16_t* samples, size_t frames) {
    const auto width = static_cast<size_t>(channels);
    const size_t keep = std::min(frames, RECENT_FRAMES) * width;
    recent.insert(recent.end(), samples + frames * width - keep, samples + frames * width);
    if (recent.size() > RECENT_FRAMES * width) {
        recent.erase(recent.begin(), recent.end() - static_cast<ptrdiff_t>(RECENT_FRAMES * width));
    }
}

}  // namespace nimbar::audio
