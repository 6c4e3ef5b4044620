#include "tests/support/opus_stream.h"

#include <opus/opus.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <numeric>

#include "protocol/media_datagram.h"

namespace nimbar::testing {

namespace {

constexpr int SAMPLE_RATE = 48000;

std::vector<int16_t> tone_samples(int frames, int64_t first_frame, const Tone& tone) {
    std::vector<int16_t> pcm(static_cast<size_t>(frames) * 2);
    const double scale = tone.amplitude * 32767.0;
    for (int i = 0; i < frames; ++i) {
        const double t = static_cast<double>(first_frame + i) / SAMPLE_RATE;
        pcm[2 * i] =
            static_cast<int16_t>(scale * std::sin(2 * std::numbers::pi * tone.left_hz * t));
        pcm[2 * i + 1] =
            static_cast<int16_t>(scale * std::sin(2 * std::numbers::pi * tone.right_hz * t));
    }
    return pcm;
}

std::vector<std::vector<uint8_t>> encode(int packets, int frames_per_packet, const Tone& tone) {
    int error = 0;
    OpusEncoder* encoder = opus_encoder_create(SAMPLE_RATE, 2, OPUS_APPLICATION_AUDIO, &error);
    std::vector<std::vector<uint8_t>> encoded;
    if (encoder == nullptr) {
        return encoded;
    }
    opus_encoder_ctl(encoder, OPUS_SET_BITRATE(128000));
    for (int p = 0; p < packets; ++p) {
        const auto pcm = tone_samples(frames_per_packet, int64_t{p} * frames_per_packet, tone);
        std::vector<uint8_t> packet(4000);
        const int length = opus_encode(encoder, pcm.data(), frames_per_packet, packet.data(),
                                       static_cast<opus_int32>(packet.size()));
        packet.resize(static_cast<size_t>(std::max(length, 0)));
        encoded.push_back(std::move(packet));
    }
    opus_encoder_destroy(encoder);
    return encoded;
}

}  // namespace

std::vector<std::vector<uint8_t>> encode_tone(int packets, const Tone& tone) {
    return encode(packets, 960, tone);
}

std::vector<uint8_t> encode_tone_packet(int milliseconds, const Tone& tone) {
    return encode(1, SAMPLE_RATE / 1000 * milliseconds, tone).front();
}

std::vector<uint8_t> audio_datagram(uint32_t sequence, const std::vector<uint8_t>& packet) {
    std::vector<uint8_t> datagram(protocol::COMMON_HEADER_SIZE + packet.size());
    datagram.resize(protocol::write_audio_datagram(datagram, sequence, packet));
    return datagram;
}

StereoSamples read_disk_audio(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
    StereoSamples samples;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        const auto value = [&](size_t at) {
            return static_cast<int16_t>(static_cast<uint8_t>(bytes[at]) |
                                        (static_cast<uint8_t>(bytes[at + 1]) << 8));
        };
        samples.left.push_back(value(i));
        samples.right.push_back(value(i + 2));
    }
    return samples;
}

StereoSamples non_silent(const StereoSamples& samples, int threshold) {
    const auto loud = [&](size_t i) {
        return std::abs(samples.left[i]) > threshold || std::abs(samples.right[i]) > threshold;
    };
    size_t first = 0;
    while (first < samples.left.size() && !loud(first)) {
        ++first;
    }
    size_t last = samples.left.size();
    while (last > first && !loud(last - 1)) {
        --last;
    }
    StereoSamples cut;
    cut.left.assign(samples.left.begin() + first, samples.left.begin() + last);
    cut.right.assign(samples.right.begin() + first, samples.right.begin() + last);
    return cut;
}

double tone_power(const std::vector<int16_t>& samples, double frequency) {
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / SAMPLE_RATE);
    double previous = 0;
    double before = 0;
    for (const int16_t sample : samples) {
        const double current = sample + coefficient * previous - before;
        before = previous;
        previous = current;
    }
    const double power = previous * previous + before * before - coefficient * previous * before;
    return samples.empty() ? 0 : power / static_cast<double>(samples.size());
}

double rms(const std::vector<int16_t>& samples) {
    double sum = 0;
    for (const int16_t sample : samples) {
        sum += static_cast<double>(sample) * sample;
    }
    return samples.empty() ? 0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

ToneBreaks tone_breaks(const std::vector<int16_t>& samples, size_t from, size_t to, double hz) {
    constexpr size_t WINDOW = 2400;
    const double w = 2 * std::numbers::pi * hz / SAMPLE_RATE;
    to = std::min(to, samples.size());
    std::vector<double> phases;
    std::vector<double> levels;
    for (size_t start = from; start + WINDOW <= to; start += WINDOW) {
        std::complex<double> z;
        double power = 0;
        for (size_t n = start; n < start + WINDOW; ++n) {
            z += static_cast<double>(samples[n]) * std::polar(1.0, -w * static_cast<double>(n));
            power += static_cast<double>(samples[n]) * samples[n];
        }
        phases.push_back(std::arg(z));
        levels.push_back(std::sqrt(2 * power / WINDOW));
    }
    ToneBreaks result;
    result.level = std::accumulate(levels.begin(), levels.end(), 0.0) /
                   static_cast<double>(std::max<size_t>(levels.size(), 1));
    const auto wrap = [](double a) { return std::remainder(a, 2 * std::numbers::pi); };
    std::vector<double> turns;
    for (size_t k = 0; k + 1 < phases.size(); ++k) {
        turns.push_back(wrap(phases[k + 1] - phases[k]));
    }
    bool in_break = false;
    for (size_t k = 2; k + 2 < turns.size(); ++k) {
        std::vector<double> around;
        for (const size_t j : {k - 2, k - 1, k + 1, k + 2}) {
            around.push_back(turns[k - 1] + wrap(turns[j] - turns[k - 1]));
        }
        std::sort(around.begin(), around.end());
        const bool odd = std::abs(wrap(turns[k] - (around[1] + around[2]) / 2)) > 0.3 ||
                         levels[k] < result.level / 2;
        if (odd && !in_break) {
            result.starts.push_back(from + k * WINDOW);
        }
        in_break = odd;
    }
    return result;
}

double DiskClock::ms(std::chrono::steady_clock::time_point now) {
    constexpr uintmax_t WRITE = 3840;  // 20 ms of 48 kHz 16-bit stereo
    constexpr uintmax_t BLOCK = 4096;
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(path, error);
    if (!error && size != bytes) {
        bytes = size;
        grown = now;
        writes = (size + WRITE - 1) / WRITE;
        next = writes + 1;
        while (next * WRITE / BLOCK == writes * WRITE / BLOCK) {
            ++next;
        }
    }
    const double since = std::chrono::duration<double, std::milli>(now - grown).count();
    return 20.0 * static_cast<double>(writes) +
           std::clamp(since, 0.0, 20.0 * static_cast<double>(next - writes));
}

}  // namespace nimbar::testing
