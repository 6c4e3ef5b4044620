#include "tests/support/opus_stream.h"

#include <opus/opus.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <numbers>

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

}  // namespace nimbar::testing
