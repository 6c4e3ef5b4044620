#include "host/audio_source.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <optional>

#include "host/audio_format.h"
#include "protocol/byte_order.h"

namespace nimbar::host {

namespace {

// "RIFF", the RIFF size, "WAVE".
constexpr size_t RIFF_HEADER_SIZE = 12;
// A chunk's four-letter id and its 32-bit size.
constexpr size_t CHUNK_HEADER_SIZE = 8;
// The fields PCM needs: format, channels, rate, byte rate, block align, bits per sample.
constexpr size_t PCM_FORMAT_SIZE = 16;
constexpr uint16_t WAVE_FORMAT_PCM = 1;
constexpr uint16_t WAV_BITS_PER_SAMPLE = 16;
// The file is held in memory whole: over 20 minutes of 48 kHz stereo, past any test or demo clip.
constexpr uint64_t MAX_WAV_BYTES = 256ull << 20;

bool tag_at(std::span<const uint8_t> file, size_t at, const char* tag) {
    for (size_t i = 0; i < 4; ++i) {
        if (file[at + i] != static_cast<uint8_t>(tag[i])) {
            return false;
        }
    }
    return true;
}

// A chunk id fit to print: whatever bytes a broken file holds there, the line stays one line.
std::string printable_tag(std::span<const uint8_t> file, size_t at) {
    std::string tag;
    for (size_t i = 0; i < 4; ++i) {
        const uint8_t c = file[at + i];
        tag += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
    }
    return tag;
}

int16_t tone_sample(double phase) {
    return static_cast<int16_t>(
        std::lround(TONE_AMPLITUDE * std::sin(2.0 * std::numbers::pi * phase)));
}

void advance(double& phase, double hz) {
    phase += hz / AUDIO_SAMPLE_RATE;
    if (phase >= 1.0) {
        phase -= 1.0;
    }
}

bool wav_error(const std::string& name, const char* what) {
    fprintf(stderr, "[Host] Error: %s %s\n", name.c_str(), what);
    return false;
}

}  // namespace

bool parse_wav(std::span<const uint8_t> file, const std::string& name,
               std::vector<int16_t>& stereo) {
    stereo.clear();
    if (file.size() < RIFF_HEADER_SIZE || !tag_at(file, 0, "RIFF") || !tag_at(file, 8, "WAVE")) {
        return wav_error(name, "is not a RIFF WAVE file");
    }
    std::optional<std::span<const uint8_t>> format;
    std::optional<std::span<const uint8_t>> data;
    size_t at = RIFF_HEADER_SIZE;
    while (at < file.size() && file.size() - at >= CHUNK_HEADER_SIZE) {
        const size_t size = protocol::load_u32_le(&file[at + 4]);
        const size_t body = at + CHUNK_HEADER_SIZE;
        if (size > file.size() - body) {
            fprintf(stderr,
                    "[Host] Error: %s has a '%s' chunk of %zu bytes, past the end of the file\n",
                    name.c_str(), printable_tag(file, at).c_str(), size);
            return false;
        }
        if (!format && tag_at(file, at, "fmt ")) {
            format = file.subspan(body, size);
        } else if (!data && tag_at(file, at, "data")) {
            data = file.subspan(body, size);
        }
        at = body + size + (size & 1);  // chunks start on even offsets
    }
    if (!format) {
        return wav_error(name, "has no fmt chunk");
    }
    if (format->size() < PCM_FORMAT_SIZE) {
        return wav_error(name, "has a fmt chunk too short for PCM");
    }
    const uint16_t format_tag = protocol::load_u16_le(&(*format)[0]);
    const uint16_t channels = protocol::load_u16_le(&(*format)[2]);
    const uint32_t rate = protocol::load_u32_le(&(*format)[4]);
    const uint16_t bits = protocol::load_u16_le(&(*format)[14]);
    if (format_tag != WAVE_FORMAT_PCM) {
        fprintf(stderr, "[Host] Error: %s is not PCM (format %u); only 16-bit PCM is read\n",
                name.c_str(), static_cast<unsigned>(format_tag));
        return false;
    }
    if (bits != WAV_BITS_PER_SAMPLE) {
        fprintf(stderr, "[Host] Error: %s has %u-bit samples; only 16-bit PCM is read\n",
                name.c_str(), static_cast<unsigned>(bits));
        return false;
    }
    if (channels != 1 && channels != 2) {
        fprintf(stderr, "[Host] Error: %s has %u channels; only 1 or 2 are read\n", name.c_str(),
                static_cast<unsigned>(channels));
        return false;
    }
    if (rate != static_cast<uint32_t>(AUDIO_SAMPLE_RATE)) {
        fprintf(stderr, "[Host] Error: %s is at %u Hz; only %d Hz is read\n", name.c_str(),
                static_cast<unsigned>(rate), AUDIO_SAMPLE_RATE);
        return false;
    }
    if (!data) {
        return wav_error(name, "has no data chunk");
    }
    const size_t frame_bytes = size_t{channels} * sizeof(int16_t);
    const size_t frames = data->size() / frame_bytes;
    if (frames == 0) {
        return wav_error(name, "holds no whole sample frame");
    }
    stereo.resize(frames * AUDIO_CHANNELS);
    for (size_t i = 0; i < frames; ++i) {
        const uint8_t* frame = &(*data)[i * frame_bytes];
        const auto left = static_cast<int16_t>(protocol::load_u16_le(frame));
        const auto right =
            channels == 2 ? static_cast<int16_t>(protocol::load_u16_le(frame + 2)) : left;
        stereo[2 * i] = left;
        stereo[2 * i + 1] = right;
    }
    return true;
}

AudioSource::AudioSource() = default;

AudioSource::AudioSource(const std::string& path) : from_file(true), usable(false) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        fprintf(stderr, "[Host] Error: cannot open %s\n", path.c_str());
        return;
    }
    std::error_code error;
    const uint64_t size = std::filesystem::file_size(path, error);  // fails on a directory
    if (error) {
        fprintf(stderr, "[Host] Error: cannot read %s\n", path.c_str());
        return;
    }
    if (size > MAX_WAV_BYTES) {
        fprintf(stderr, "[Host] Error: %s is over %llu MiB, more than the host holds\n",
                path.c_str(), static_cast<unsigned long long>(MAX_WAV_BYTES >> 20));
        return;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (static_cast<uint64_t>(file.gcount()) != size) {
        fprintf(stderr, "[Host] Error: cannot read %s\n", path.c_str());
        return;
    }
    usable = parse_wav(bytes, path, samples);
}

void AudioSource::next(std::vector<int16_t>& pcm) {
    pcm.assign(size_t{AUDIO_FRAME_SAMPLES} * AUDIO_CHANNELS, 0);
    if (!usable) {
        return;
    }
    if (!from_file) {
        for (size_t i = 0; i < AUDIO_FRAME_SAMPLES; ++i) {
            pcm[2 * i] = tone_sample(left_phase);
            pcm[2 * i + 1] = tone_sample(right_phase);
            advance(left_phase, TONE_LEFT_HZ);
            advance(right_phase, TONE_RIGHT_HZ);
        }
        return;
    }
    const size_t frames = samples.size() / AUDIO_CHANNELS;
    for (size_t i = 0; i < AUDIO_FRAME_SAMPLES; ++i) {
        if (position == frames) {
            position = 0;
        }
        pcm[2 * i] = samples[2 * position];
        pcm[2 * i + 1] = samples[2 * position + 1];
        ++position;
    }
}

}  // namespace nimbar::host
