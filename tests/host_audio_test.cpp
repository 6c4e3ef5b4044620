// The host's screen audio as the viewer meets it: the tone through a real Opus decoder, the WAV
// reader on good and broken files, the audio options, and whole streams on loopback, alone and
// between video frames, with losses and a drifting clock.

#include <gtest/gtest.h>
#include <opus/opus.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numbers>
#include <numeric>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "host/audio_encoder.h"
#include "host/audio_format.h"
#include "host/audio_source.h"
#include "host/host_options.h"
#include "host/video_stream.h"
#include "net/udp_socket.h"
#include "protocol/byte_order.h"
#include "protocol/control_datagram.h"
#include "protocol/media_datagram.h"

namespace nimbar::host {
namespace {

using std::chrono::steady_clock;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

// Waits that only a broken build runs into; nothing here measures speed.
constexpr auto GENEROUS = std::chrono::seconds(20);
// Opus at 96 kbit/s keeps a pure tone's level within a fraction of a percent; a wrong gain or a
// clipped wave is off by far more.
constexpr double LEVEL_TOLERANCE = 0.05;
// At that rate the other channel's pitch leaks in at well under 0.1 %; a mixed or swapped channel
// brings it up to the tone's own order.
constexpr double CROSSTALK_LIMIT = 0.01;
constexpr size_t SAMPLES_PER_PACKET = size_t{AUDIO_FRAME_SAMPLES} * AUDIO_CHANNELS;

// The encoders' banners would otherwise land in the stderr that tests compare line by line.
const bool libav_quiet = [] {
    av_log_set_level(AV_LOG_ERROR);
    return true;
}();

// ---------------------------------------------------------------------------------------------
// Measuring sound.

// The amplitude of the `hz` component of one channel of interleaved stereo, over samples
// [first, first + count) of that channel (a DFT bin, exact when `count` spans whole cycles).
double amplitude_at(const std::vector<int16_t>& stereo, int channel, size_t first, size_t count,
                    double hz) {
    double re = 0.0;
    double im = 0.0;
    for (size_t n = 0; n < count; ++n) {
        const double angle = 2.0 * std::numbers::pi * hz * static_cast<double>(n) /
                             static_cast<double>(AUDIO_SAMPLE_RATE);
        const double sample = stereo[(first + n) * AUDIO_CHANNELS + channel];
        re += sample * std::cos(angle);
        im -= sample * std::sin(angle);
    }
    return 2.0 * std::hypot(re, im) / static_cast<double>(count);
}

// Decodes packets as the viewer does: each as one 20 ms stereo frame at 48 kHz.
std::vector<int16_t> decode_packets(const std::vector<std::vector<uint8_t>>& packets) {
    int error = OPUS_OK;
    OpusDecoder* decoder = opus_decoder_create(AUDIO_SAMPLE_RATE, AUDIO_CHANNELS, &error);
    EXPECT_EQ(error, OPUS_OK);
    std::vector<int16_t> pcm;
    std::vector<int16_t> frame(SAMPLES_PER_PACKET);
    for (const auto& packet : packets) {
        const int samples =
            opus_decode(decoder, packet.data(), static_cast<opus_int32>(packet.size()),
                        frame.data(), AUDIO_FRAME_SAMPLES, 0);
        EXPECT_EQ(samples, AUDIO_FRAME_SAMPLES);
        pcm.insert(pcm.end(), frame.begin(), frame.end());
    }
    opus_decoder_destroy(decoder);
    return pcm;
}

std::vector<std::vector<uint8_t>> encode_source(AudioSource& source, int bitrate_kbps,
                                                int packets) {
    AudioEncoder encoder;
    EXPECT_TRUE(encoder.open(bitrate_kbps));
    std::vector<std::vector<uint8_t>> encoded;
    std::vector<int16_t> pcm;
    for (int i = 0; i < packets; ++i) {
        source.next(pcm);
        std::vector<uint8_t> packet;
        EXPECT_TRUE(encoder.encode(pcm, packet));
        encoded.push_back(std::move(packet));
    }
    return encoded;
}

// ---------------------------------------------------------------------------------------------
// The tone and the encoder.

TEST(HostAudioTone, IsAContinuousSineOfItsOwnPitchInEachChannel) {
    AudioSource tone;
    ASSERT_TRUE(tone.ok());
    std::vector<int16_t> pcm;
    // Across packet boundaries the phase runs on: every sample is where one long sine puts it.
    for (size_t packet = 0; packet < 7; ++packet) {
        tone.next(pcm);
        ASSERT_EQ(pcm.size(), SAMPLES_PER_PACKET);
        for (size_t i = 0; i < AUDIO_FRAME_SAMPLES; ++i) {
            const double t = static_cast<double>(packet * AUDIO_FRAME_SAMPLES + i) /
                             static_cast<double>(AUDIO_SAMPLE_RATE);
            const double left =
                TONE_AMPLITUDE * std::sin(2.0 * std::numbers::pi * TONE_LEFT_HZ * t);
            const double right =
                TONE_AMPLITUDE * std::sin(2.0 * std::numbers::pi * TONE_RIGHT_HZ * t);
            ASSERT_NEAR(pcm[2 * i], left, 1.0) << "packet " << packet << " sample " << i;
            ASSERT_NEAR(pcm[2 * i + 1], right, 1.0) << "packet " << packet << " sample " << i;
        }
    }
}

TEST(HostAudioEncoder, TheToneSurvivesOpusWithEachPitchInItsChannel) {
    AudioSource tone;
    const auto packets = encode_source(tone, 96, 50);
    for (size_t i = 0; i < packets.size(); ++i) {
        ASSERT_FALSE(packets[i].empty());
        EXPECT_EQ(
            opus_packet_get_nb_samples(
                packets[i].data(), static_cast<opus_int32>(packets[i].size()), AUDIO_SAMPLE_RATE),
            AUDIO_FRAME_SAMPLES)
            << "packet " << i;
    }
    const std::vector<int16_t> pcm = decode_packets(packets);
    // The second half second: past the codec's start-up, and whole cycles of both pitches.
    const size_t first = AUDIO_SAMPLE_RATE / 2;
    const size_t count = AUDIO_SAMPLE_RATE / 2;
    const double left_own = amplitude_at(pcm, 0, first, count, TONE_LEFT_HZ);
    const double left_other = amplitude_at(pcm, 0, first, count, TONE_RIGHT_HZ);
    const double right_own = amplitude_at(pcm, 1, first, count, TONE_RIGHT_HZ);
    const double right_other = amplitude_at(pcm, 1, first, count, TONE_LEFT_HZ);
    EXPECT_NEAR(left_own, TONE_AMPLITUDE, TONE_AMPLITUDE * LEVEL_TOLERANCE);
    EXPECT_NEAR(right_own, TONE_AMPLITUDE, TONE_AMPLITUDE * LEVEL_TOLERANCE);
    EXPECT_LT(left_other, TONE_AMPLITUDE * CROSSTALK_LIMIT);
    EXPECT_LT(right_other, TONE_AMPLITUDE * CROSSTALK_LIMIT);
}

TEST(HostAudioEncoder, TheBitrateSetsThePacketSize) {
    const auto mean_size = [](int bitrate_kbps) {
        AudioSource tone;
        const auto packets = encode_source(tone, bitrate_kbps, 50);
        size_t total = 0;
        for (const auto& packet : packets) {
            total += packet.size();
        }
        return static_cast<double>(total) / static_cast<double>(packets.size());
    };
    const auto packet_bytes = [](int bitrate_kbps) {
        return bitrate_kbps * 1000.0 / 8.0 / AUDIO_PACKETS_PER_SECOND;
    };
    // Variable bitrate lets a pure tone come in under the target, never far over it.
    const double low = mean_size(24);
    const double high = mean_size(256);
    EXPECT_LT(low, packet_bytes(24) * 1.5);
    EXPECT_GT(high, packet_bytes(24) * 1.5);
    EXPECT_LT(high, packet_bytes(256) * 1.5);
}

TEST(HostAudioEncoder, RefusesAFrameOfTheWrongLength) {
    AudioEncoder encoder;
    ASSERT_TRUE(encoder.open(96));
    std::vector<uint8_t> packet(5);
    CaptureStderr();
    EXPECT_FALSE(encoder.encode(std::vector<int16_t>(SAMPLES_PER_PACKET - 2), packet));
    EXPECT_EQ(GetCapturedStderr(),
              "[Host] Error: cannot encode 1918 samples as one 20 ms stereo frame\n");
    EXPECT_TRUE(packet.empty());
}

// ---------------------------------------------------------------------------------------------
// WAV files.

struct WavLayout {
    uint16_t format = 1;
    uint16_t channels = 2;
    uint32_t rate = 48000;
    uint16_t bits = 16;
};

void append_tag(std::vector<uint8_t>& out, const char* tag) {
    for (size_t i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(tag[i]));
    }
}

void append_u32(std::vector<uint8_t>& out, uint32_t value) {
    out.resize(out.size() + 4);
    protocol::store_u32_le(&out[out.size() - 4], value);
}

void append_u16(std::vector<uint8_t>& out, uint16_t value) {
    out.resize(out.size() + 2);
    protocol::store_u16_le(&out[out.size() - 2], value);
}

void append_chunk(std::vector<uint8_t>& out, const char* tag, const std::vector<uint8_t>& body) {
    append_tag(out, tag);
    append_u32(out, static_cast<uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    if (body.size() % 2 != 0) {
        out.push_back(0);
    }
}

std::vector<uint8_t> fmt_body(const WavLayout& layout) {
    std::vector<uint8_t> body;
    append_u16(body, layout.format);
    append_u16(body, layout.channels);
    append_u32(body, layout.rate);
    append_u32(body, layout.rate * layout.channels * layout.bits / 8);
    append_u16(body, static_cast<uint16_t>(layout.channels * layout.bits / 8));
    append_u16(body, layout.bits);
    return body;
}

std::vector<uint8_t> sample_bytes(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> bytes;
    for (const int16_t sample : samples) {
        append_u16(bytes, static_cast<uint16_t>(sample));
    }
    return bytes;
}

// RIFF, WAVE, then the chunks as given; the RIFF size is right.
std::vector<uint8_t> riff(const std::vector<std::vector<uint8_t>>& chunks) {
    std::vector<uint8_t> file;
    append_tag(file, "RIFF");
    append_u32(file, 0);
    append_tag(file, "WAVE");
    for (const auto& chunk : chunks) {
        file.insert(file.end(), chunk.begin(), chunk.end());
    }
    protocol::store_u32_le(&file[4], static_cast<uint32_t>(file.size() - 8));
    return file;
}

std::vector<uint8_t> chunk(const char* tag, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> out;
    append_chunk(out, tag, body);
    return out;
}

std::vector<uint8_t> wav_file(const WavLayout& layout, const std::vector<int16_t>& samples) {
    return riff({chunk("fmt ", fmt_body(layout)), chunk("data", sample_bytes(samples))});
}

// Distinct samples, so that order, channel and looping all show; negative ones included.
std::vector<int16_t> ramp(size_t count, int16_t step) {
    std::vector<int16_t> samples(count);
    for (size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<int16_t>(static_cast<int>(i) * step - 12000);
    }
    return samples;
}

// What parse_wav says: the samples, or the error line.
struct Parsed {
    bool ok = false;
    std::vector<int16_t> stereo;
    std::string errors;
};

Parsed parse(const std::vector<uint8_t>& file, const std::string& name = "clip.wav") {
    Parsed parsed;
    // An exactly sized copy, so that AddressSanitizer sees any read past the end.
    const std::vector<uint8_t> exact(file.begin(), file.end());
    CaptureStderr();
    parsed.ok = parse_wav(exact, name, parsed.stereo);
    parsed.errors = GetCapturedStderr();
    return parsed;
}

// Tells apart the files of test runs that share a temporary directory.
std::string unique_tag() {
    net::UDPSocket probe;
    probe.open(0);
    return std::to_string(probe.local_port());
}

// A file in the temporary directory for as long as the object lives; `name` ends in its extension.
class TempFile {
  public:
    TempFile(const std::string& name, const std::vector<uint8_t>& bytes)
        : path((std::filesystem::temp_directory_path() /
                ("nimbar_host_audio_" + unique_tag() + "_" + name))
                   .string()) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    ~TempFile() { std::filesystem::remove(path); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string path;
};

TEST(HostAudioWav, StereoComesOutInOrderAndLoopsMidPacket) {
    // 1000 sample frames: the second packet wraps round to the start after 40 of them.
    const std::vector<int16_t> samples = ramp(2000, 11);
    TempFile file("stereo.wav", wav_file({}, samples));
    AudioSource source(file.path);
    ASSERT_TRUE(source.ok());
    std::vector<int16_t> played;
    std::vector<int16_t> pcm;
    for (int packet = 0; packet < 3; ++packet) {
        source.next(pcm);
        ASSERT_EQ(pcm.size(), SAMPLES_PER_PACKET);
        played.insert(played.end(), pcm.begin(), pcm.end());
    }
    for (size_t i = 0; i < played.size(); ++i) {
        ASSERT_EQ(played[i], samples[i % samples.size()]) << "sample " << i;
    }
}

TEST(HostAudioWav, MonoGoesToBothChannels) {
    const std::vector<int16_t> samples = ramp(1500, -7);
    WavLayout mono;
    mono.channels = 1;
    TempFile file("mono.wav", wav_file(mono, samples));
    AudioSource source(file.path);
    ASSERT_TRUE(source.ok());
    std::vector<int16_t> pcm;
    source.next(pcm);
    source.next(pcm);  // sample frames 960..1919: wraps at 1500
    for (size_t i = 0; i < AUDIO_FRAME_SAMPLES; ++i) {
        const int16_t expected = samples[(AUDIO_FRAME_SAMPLES + i) % samples.size()];
        ASSERT_EQ(pcm[2 * i], expected) << i;
        ASSERT_EQ(pcm[2 * i + 1], expected) << i;
    }
}

TEST(HostAudioWav, OtherChunksOddSizesAndLooseEndsAreStepped) {
    const std::vector<int16_t> samples = {1, -2, 3, -4, 5, -6};
    // A LIST chunk of odd size (with its pad byte) before fmt, an unknown chunk between, data last
    // with a partial sample frame and no pad byte at the very end, and a wrong RIFF size.
    std::vector<uint8_t> data = sample_bytes(samples);
    data.push_back(0x7F);
    auto file = riff({chunk("LIST", {'I', 'N', 'F'}), chunk("fmt ", fmt_body({})),
                      chunk("junk", std::vector<uint8_t>(6, 0xAA))});
    append_tag(file, "data");
    append_u32(file, static_cast<uint32_t>(data.size()));
    file.insert(file.end(), data.begin(), data.end());
    protocol::store_u32_le(&file[4], 4);
    const Parsed parsed = parse(file);
    EXPECT_TRUE(parsed.ok) << parsed.errors;
    EXPECT_EQ(parsed.stereo, samples);

    // Data before fmt is as good; a second data chunk is not read.
    const Parsed reversed =
        parse(riff({chunk("data", sample_bytes({8, 9})), chunk("fmt ", fmt_body({})),
                    chunk("data", sample_bytes({10, 11}))}));
    EXPECT_TRUE(reversed.ok) << reversed.errors;
    EXPECT_EQ(reversed.stereo, (std::vector<int16_t>{8, 9}));
}

TEST(HostAudioWav, BrokenOrUnplayableFilesGiveOneErrorLine) {
    const std::vector<int16_t> samples = ramp(400, 3);
    const auto good = wav_file({}, samples);
    WavLayout cd;
    cd.rate = 44100;
    WavLayout eight_bit;
    eight_bit.bits = 8;
    WavLayout floating;
    floating.format = 3;
    floating.bits = 32;
    WavLayout surround;
    surround.channels = 6;
    // The data chunk claims one byte more than is there.
    std::vector<uint8_t> overlong = good;
    protocol::store_u32_le(&overlong[40], 801);
    std::vector<uint8_t> short_fmt_body = fmt_body({});
    short_fmt_body.resize(14);

    const std::vector<std::pair<std::vector<uint8_t>, std::string>> cases = {
        {{}, "clip.wav is not a RIFF WAVE file"},
        {std::vector<uint8_t>(good.begin(), good.begin() + 11), "clip.wav is not a RIFF WAVE file"},
        {std::vector<uint8_t>(good.begin(), good.begin() + 30),
         "clip.wav has a 'fmt ' chunk of 16 bytes, past the end of the file"},
        {overlong, "clip.wav has a 'data' chunk of 801 bytes, past the end of the file"},
        {riff({chunk("fmt ", fmt_body({}))}), "clip.wav has no data chunk"},
        {riff({chunk("data", sample_bytes(samples))}), "clip.wav has no fmt chunk"},
        {riff({chunk("fmt ", short_fmt_body), chunk("data", sample_bytes(samples))}),
         "clip.wav has a fmt chunk too short for PCM"},
        {wav_file(cd, samples), "clip.wav is at 44100 Hz; only 48000 Hz is read"},
        {wav_file(eight_bit, samples), "clip.wav has 8-bit samples; only 16-bit PCM is read"},
        {wav_file(floating, samples), "clip.wav is not PCM (format 3); only 16-bit PCM is read"},
        {wav_file(surround, samples), "clip.wav has 6 channels; only 1 or 2 are read"},
        {riff({chunk("fmt ", fmt_body({})), chunk("data", {1, 2, 3})}),
         "clip.wav holds no whole sample frame"},
    };
    for (const auto& [file, line] : cases) {
        const Parsed parsed = parse(file);
        EXPECT_FALSE(parsed.ok) << line;
        EXPECT_EQ(parsed.errors, "[Host] Error: " + line + "\n");
        EXPECT_TRUE(parsed.stereo.empty()) << line;
    }
    // A chunk id of any bytes still prints as one line.
    std::vector<uint8_t> odd_tag = riff({chunk("fmt ", fmt_body({}))});
    const uint8_t tag[4] = {'d', '\n', 0x00, 0xFF};
    odd_tag.insert(odd_tag.end(), tag, tag + 4);
    append_u32(odd_tag, 1000);
    EXPECT_EQ(
        parse(odd_tag).errors,
        "[Host] Error: clip.wav has a 'd...' chunk of 1000 bytes, past the end of the file\n");
}

TEST(HostAudioWav, EveryCutOfAFileIsReadOrRefusedWithoutOverreading) {
    const auto file = riff({chunk("LIST", {'a', 'b', 'c'}), chunk("fmt ", fmt_body({})),
                            chunk("data", sample_bytes(ramp(10, 100)))});
    for (size_t length = 0; length < file.size(); ++length) {
        const Parsed parsed = parse(std::vector<uint8_t>(file.begin(), file.begin() + length));
        EXPECT_FALSE(parsed.ok) << "cut at " << length;
        EXPECT_EQ(parsed.errors.rfind("[Host] Error: clip.wav ", 0), 0u) << parsed.errors;
        EXPECT_EQ(std::count(parsed.errors.begin(), parsed.errors.end(), '\n'), 1) << parsed.errors;
    }
    EXPECT_TRUE(parse(file).ok);
}

TEST(HostAudioWav, AMissingOrBrokenFileLeavesTheSourceUnusable) {
    TempFile cd_file("cd.wav", [] {
        WavLayout cd;
        cd.rate = 44100;
        return wav_file(cd, ramp(100, 1));
    }());
    CaptureStderr();
    AudioSource missing(cd_file.path + ".missing");
    AudioSource cd(cd_file.path);
    const std::string errors = GetCapturedStderr();
    EXPECT_FALSE(missing.ok());
    EXPECT_FALSE(cd.ok());
    EXPECT_EQ(errors, "[Host] Error: cannot open " + cd_file.path +
                          ".missing\n"
                          "[Host] Error: " +
                          cd_file.path + " is at 44100 Hz; only 48000 Hz is read\n");
    std::vector<int16_t> pcm;
    cd.next(pcm);
    EXPECT_EQ(pcm, std::vector<int16_t>(SAMPLES_PER_PACKET, 0));
}

// ---------------------------------------------------------------------------------------------
// The command line.

bool parse_args(std::vector<const char*> args, HostOptions& options, std::string& errors) {
    args.insert(args.begin(), "stream_host");
    CaptureStderr();
    const bool ok = parse_host_args(static_cast<int>(args.size()), args.data(), options);
    errors = GetCapturedStderr();
    return ok;
}

TEST(HostAudioOptions, DefaultsAndTheFullLine) {
    HostOptions options;
    std::string errors;
    ASSERT_TRUE(parse_args({"--port", "5000", "--codec", "vp8"}, options, errors)) << errors;
    EXPECT_FALSE(options.has_audio());
    EXPECT_EQ(options.audio_bitrate_kbps, 96);
    EXPECT_EQ(options.audio_drift_ppm, 0);
    EXPECT_DOUBLE_EQ(options.audio_loss, 0.0);

    ASSERT_TRUE(parse_args(
        {"--port", "5000", "--codec", "h264", "--audio", "music.wav", "--audio-loss", "0.125",
         "--audio-drift-ppm", "-100000", "--audio-bitrate", "510", "--loss", "0.1"},
        options, errors))
        << errors;
    EXPECT_EQ(options.audio, "music.wav");
    EXPECT_DOUBLE_EQ(options.audio_loss, 0.125);
    EXPECT_EQ(options.audio_drift_ppm, -100000);
    EXPECT_EQ(options.audio_bitrate_kbps, 510);
    EXPECT_TRUE(options.has_video());

    HostOptions alone;
    ASSERT_TRUE(parse_args({"--port", "5000", "--codec", "none", "--audio", "tone",
                            "--audio-drift-ppm", "+250", "--listen-port", "5001", "--seed", "3"},
                           alone, errors))
        << errors;
    EXPECT_EQ(alone.codec, HostCodec::None);
    EXPECT_TRUE(alone.compressed());
    EXPECT_FALSE(alone.has_video());
    EXPECT_EQ(alone.audio_drift_ppm, 250);
}

TEST(HostAudioOptions, RejectsWhatItCannotUse) {
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
        {{"--port", "5000", "--codec", "opus"}, "--codec takes raw, vp8, h264 or none, not 'opus'"},
        {{"--port", "5000", "--codec", "vp8", "--audio", ""},
         "--audio takes tone or a WAV file, not ''"},
        {{"--port", "5000", "--codec", "vp8", "--audio", "tone", "--audio-loss", "-0.1"},
         "--audio-loss takes a fraction from 0 to 1, not '-0.1'"},
        {{"--port", "5000", "--codec", "vp8", "--audio", "tone", "--audio-drift-ppm", "100001"},
         "--audio-drift-ppm takes parts per million from -100000 to 100000, not '100001'"},
        {{"--port", "5000", "--codec", "vp8", "--audio", "tone", "--audio-drift-ppm", "1.5"},
         "--audio-drift-ppm takes parts per million from -100000 to 100000, not '1.5'"},
        {{"--port", "5000", "--codec", "vp8", "--audio", "tone", "--audio-bitrate", "5"},
         "--audio-bitrate takes kbit/s from 6 to 510, not '5'"},
        {{"--port", "5000", "--codec", "vp8", "--audio", "tone", "--audio-bitrate", "511"},
         "--audio-bitrate takes kbit/s from 6 to 510, not '511'"},
        {{"--port", "5000", "--codec", "none"}, "--codec none needs --audio"},
        {{"--port", "5000", "--audio", "tone"}, "--audio needs --codec vp8, h264 or none"},
        {{"--port", "5000", "--codec", "raw", "--audio", "tone"},
         "--audio needs --codec vp8, h264 or none"},
        {{"--port", "5000", "--codec", "vp8", "--audio-loss", "0.5"}, "--audio-loss needs --audio"},
        {{"--port", "5000", "--codec", "vp8", "--audio-drift-ppm", "10"},
         "--audio-drift-ppm needs --audio"},
        {{"--port", "5000", "--codec", "vp8", "--audio-bitrate", "64"},
         "--audio-bitrate needs --audio"},
        {{"--port", "5000", "--codec", "none", "--audio", "tone", "--video", "a.mp4"},
         "--video does nothing with --codec none"},
        {{"--port", "5000", "--codec", "none", "--audio", "tone", "--input", "a.bgra"},
         "--input does nothing with --codec none"},
        {{"--port", "5000", "--codec", "none", "--audio", "tone", "--preencode", "5"},
         "--preencode does nothing with --codec none"},
        {{"--port", "5000", "--codec", "none", "--audio", "tone", "--loss", "0.1"},
         "--loss does nothing with --codec none"},
        {{"--port", "5000", "--codec", "none", "--audio", "tone", "--reorder"},
         "--reorder does nothing with --codec none"},
        {{"--port", "5000", "--codec", "none", "--audio", "tone", "--spread"},
         "--spread does nothing with --codec none"},
        {{"--port", "5000", "--codec", "vp8", "--audio"},
         "unknown option or missing value: --audio"},
    };
    for (const auto& [args, line] : cases) {
        HostOptions options;
        std::string errors;
        EXPECT_FALSE(parse_args(args, options, errors)) << line;
        EXPECT_EQ(errors, "[Host] Error: " + line + "\n");
    }
}

// ---------------------------------------------------------------------------------------------
// Whole streams on loopback.

// One datagram as it arrived.
struct Arrival {
    bool audio = false;
    uint32_t sequence = 0;  // audio
    uint32_t frame_id = 0;  // video
    std::vector<uint8_t> packet;
    steady_clock::time_point at;
};

// Collects every datagram on a port, checking each as the viewer would, in arrival order.
class MediaReceiver {
  public:
    MediaReceiver() {
        EXPECT_TRUE(socket.open(0));
        socket.set_receive_buffer_size(4 << 20);
    }

    uint16_t port() const { return socket.local_port(); }

    // Reads until `done` holds or the generous wait ends; true when it held.
    bool receive_until(const std::function<bool()>& done) {
        const auto deadline = steady_clock::now() + GENEROUS;
        while (!done()) {
            if (steady_clock::now() > deadline) {
                return false;
            }
            read_one(20);
        }
        return true;
    }

    // Reads whatever still arrives until the line stays quiet for a moment.
    void drain() {
        while (read_one(200)) {
        }
    }

    std::vector<Arrival> arrivals;

  private:
    bool read_one(int timeout_ms) {
        uint8_t buffer[2048];
        const int length = socket.receive(buffer, sizeof buffer, timeout_ms);
        if (length <= 0) {
            return false;
        }
        const std::span<const uint8_t> datagram(buffer, static_cast<size_t>(length));
        Arrival arrival;
        arrival.at = steady_clock::now();
        const auto common = protocol::read_common_header(datagram);
        EXPECT_TRUE(common.has_value());
        if (common && protocol::classify_datagram(datagram) == protocol::DatagramKind::Audio) {
            arrival.audio = true;
            arrival.sequence = common->sequence;
            EXPECT_EQ(common->data_size, datagram.size() - protocol::COMMON_HEADER_SIZE);
            EXPECT_TRUE(protocol::audio_datagram_acceptable(*common, datagram.size()));
            arrival.packet.assign(datagram.begin() + protocol::COMMON_HEADER_SIZE, datagram.end());
        } else {
            const auto header = protocol::read_fragment_header(datagram);
            EXPECT_TRUE(header && protocol::video_fragment_acceptable(*header, datagram.size()));
            arrival.frame_id = header ? header->frame_id : 0;
        }
        arrivals.push_back(std::move(arrival));
        return true;
    }

    net::UDPSocket socket;
};

std::vector<uint32_t> audio_sequences(const std::vector<Arrival>& arrivals) {
    std::vector<uint32_t> seen;
    for (const Arrival& arrival : arrivals) {
        if (arrival.audio) {
            seen.push_back(arrival.sequence);
        }
    }
    return seen;
}

// Raw BGRA frames of noise, each different: a repeated frame could be coded as a copy, and noise
// compresses so badly that every frame takes many fragments.
std::vector<uint8_t> noise_frames(int width, int height, int count) {
    std::vector<uint8_t> bytes(static_cast<size_t>(width) * height * 4 * count);
    uint32_t state = 7;
    for (uint8_t& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return bytes;
}

// stream_video_frames on a thread of its own, stopped and joined at the latest on destruction.
class StreamRun {
  public:
    explicit StreamRun(const HostOptions& options)
        : started(steady_clock::now()), thread([this, options] {
              ok = stream_video_frames(options, stop, summary);
              done = true;
          }) {}
    ~StreamRun() { finish(); }

    void finish() {
        stop.store(true);
        join();
    }
    // Waits for the run to end on its own.
    void join() {
        if (thread.joinable()) {
            thread.join();
        }
    }

    const steady_clock::time_point started;  // no later than the stream's clock starts
    std::atomic<bool> stop{false};
    std::atomic<bool> ok{false};
    std::atomic<bool> done{false};
    StreamSummary summary;  // read it once done

  private:
    std::thread thread;
};

HostOptions audio_options(uint16_t port, double seconds) {
    HostOptions options;
    options.codec = HostCodec::None;
    options.port = port;
    options.audio = "tone";
    options.seconds = seconds;
    return options;
}

// Runs the stream to its end and returns what arrived, read while it ran: arrival times are then
// close to sending times, and no socket buffer limit can drop anything.
std::vector<Arrival> run_to_end(const HostOptions& options, StreamSummary& summary,
                                steady_clock::time_point* started = nullptr) {
    MediaReceiver receiver;
    HostOptions to_receiver = options;
    to_receiver.port = receiver.port();
    StreamRun run(to_receiver);
    EXPECT_TRUE(receiver.receive_until([&] { return run.done.load(); }));
    run.join();
    receiver.drain();
    EXPECT_TRUE(run.ok);
    summary = run.summary;
    if (started != nullptr) {
        *started = run.started;
    }
    return std::move(receiver.arrivals);
}

// Sequence numbers 1..last that never arrived.
std::vector<uint32_t> missing_sequences(const std::vector<uint32_t>& seen, uint32_t last) {
    const std::set<uint32_t> arrived(seen.begin(), seen.end());
    std::vector<uint32_t> missing;
    for (uint32_t sequence = 1; sequence <= last; ++sequence) {
        if (arrived.count(sequence) == 0) {
            missing.push_back(sequence);
        }
    }
    return missing;
}

TEST(HostAudioStream, AudioAloneIsNumberedFromOneAndKeepsItsPace) {
    StreamSummary summary;
    steady_clock::time_point started;
    // 0.51 s: packets are due at 0, 20, ..., 500 ms.
    const auto arrivals = run_to_end(audio_options(0, 0.51), summary, &started);

    ASSERT_EQ(arrivals.size(), 26u);
    for (size_t i = 0; i < arrivals.size(); ++i) {
        const Arrival& arrival = arrivals[i];
        ASSERT_TRUE(arrival.audio) << "datagram " << i;
        EXPECT_EQ(arrival.sequence, i + 1);
        EXPECT_EQ(opus_packet_get_nb_samples(arrival.packet.data(),
                                             static_cast<opus_int32>(arrival.packet.size()),
                                             AUDIO_SAMPLE_RATE),
                  AUDIO_FRAME_SAMPLES);
        // None goes out before its time.
        EXPECT_GE(arrival.at - started, std::chrono::milliseconds(20) * static_cast<int>(i))
            << "packet " << arrival.sequence;
    }
    EXPECT_EQ(summary.audio_packets, 26u);
    EXPECT_EQ(summary.audio_lost, 0u);
    EXPECT_EQ(summary.datagrams, 26u);
    EXPECT_EQ(summary.frames, 0u);
    EXPECT_GE(summary.seconds, 0.5);
}

TEST(HostAudioStream, LostPacketsLeaveGapsThatTheSummaryCountsAndTheSeedRepeats) {
    HostOptions options = audio_options(0, 0.61);
    options.audio_loss = 0.3;
    options.impairments.seed = 11;
    StreamSummary summary;
    const std::vector<uint32_t> seen = audio_sequences(run_to_end(options, summary));

    EXPECT_EQ(summary.audio_packets, 31u);
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    const auto missing = missing_sequences(seen, static_cast<uint32_t>(summary.audio_packets));
    EXPECT_EQ(missing.size(), summary.audio_lost);
    EXPECT_EQ(seen.size() + summary.audio_lost, summary.audio_packets);
    EXPECT_GT(summary.audio_lost, 2u);
    EXPECT_LT(summary.audio_lost, 20u);

    // The same seed loses the same packets, whatever the video beside them does with its own.
    HostOptions with_video = options;
    with_video.codec = HostCodec::VP8;
    with_video.width = 64;
    with_video.height = 48;
    with_video.fps = 50;
    with_video.impairments.loss = 0.5;
    with_video.impairments.reorder = true;
    StreamSummary video_summary;
    const auto beside = audio_sequences(run_to_end(with_video, video_summary));
    EXPECT_GT(video_summary.impairments.lost, 0u);
    EXPECT_EQ(video_summary.audio_packets, summary.audio_packets);
    EXPECT_EQ(missing_sequences(beside, static_cast<uint32_t>(video_summary.audio_packets)),
              missing);
}

TEST(HostAudioStream, AudioSlipsInBetweenVideoFrames) {
    const TempFile noise("noise.bgra", noise_frames(160, 120, 5));
    HostOptions options;
    options.codec = HostCodec::VP8;
    options.audio = "tone";
    options.input = noise.path;
    options.width = 160;
    options.height = 120;
    options.fps = 9;
    options.frames = 5;
    options.bitrate_kbps = 1'000'000;
    StreamSummary summary;
    const auto arrivals = run_to_end(options, summary);

    EXPECT_EQ(summary.frames, 5u);
    EXPECT_EQ(summary.audio_packets, 28u);  // due within 5/9 s
    EXPECT_EQ(summary.datagrams, arrivals.size());
    std::vector<uint32_t> every(28);
    std::iota(every.begin(), every.end(), 1u);
    EXPECT_EQ(audio_sequences(arrivals), every);
    // Each frame's fragments arrive together, with audio before and after them.
    std::vector<uint32_t> frame_order;
    std::vector<size_t> audio_between;
    bool fragmented = false;
    for (size_t i = 0; i < arrivals.size(); ++i) {
        const Arrival& arrival = arrivals[i];
        if (arrival.audio) {
            if (!audio_between.empty()) {
                ++audio_between.back();
            }
            continue;
        }
        if (!frame_order.empty() && frame_order.back() == arrival.frame_id) {
            fragmented = true;
            EXPECT_FALSE(arrivals[i - 1].audio) << "audio inside frame " << arrival.frame_id;
            continue;
        }
        frame_order.push_back(arrival.frame_id);
        audio_between.push_back(0);
    }
    EXPECT_TRUE(fragmented);
    EXPECT_EQ(frame_order, (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    for (size_t n = 0; n + 1 < audio_between.size(); ++n) {
        EXPECT_GE(audio_between[n], 3u) << "after frame " << n + 1;
    }
}

TEST(HostAudioStream, ASpreadFrameLetsAudioThroughOnTime) {
    // Each frame takes a few of the spread's steps of 32 datagrams, spread over its 200 ms.
    const TempFile noise("noise.bgra", noise_frames(320, 240, 2));
    HostOptions options;
    options.codec = HostCodec::VP8;
    options.audio = "tone";
    options.input = noise.path;
    options.width = 320;
    options.height = 240;
    options.fps = 5;
    options.frames = 2;
    options.spread = true;
    options.bitrate_kbps = 1'000'000;
    StreamSummary summary;
    const auto arrivals = run_to_end(options, summary);

    EXPECT_EQ(summary.frames, 2u);
    // Between the first fragment of frame 1 and its last, audio kept coming.
    size_t first = arrivals.size();
    size_t last = 0;
    size_t fragments = 0;
    for (size_t i = 0; i < arrivals.size(); ++i) {
        if (!arrivals[i].audio && arrivals[i].frame_id == 1) {
            first = std::min(first, i);
            last = i;
            ++fragments;
        }
    }
    ASSERT_GT(fragments, 40u) << "frame 1 too small to be spread in more than one step";
    const auto inside = std::count_if(arrivals.begin() + static_cast<long>(first),
                                      arrivals.begin() + static_cast<long>(last),
                                      [](const Arrival& arrival) { return arrival.audio; });
    EXPECT_GE(inside, 2) << "audio held up while frame 1 was spread";
}

TEST(HostAudioStream, ADriftingClockSendsMoreOrFewerPackets) {
    // Three runs at once, each a little over a second: 0, +5 % and -5 %.
    const int drifts[3] = {0, 50'000, -50'000};
    StreamSummary summaries[3];
    std::vector<uint32_t> sequences[3];
    std::vector<std::thread> runs;
    for (int i = 0; i < 3; ++i) {
        runs.emplace_back([&, i] {
            HostOptions options = audio_options(0, 1.01);
            options.audio_drift_ppm = drifts[i];
            sequences[i] = audio_sequences(run_to_end(options, summaries[i]));
        });
    }
    for (std::thread& run : runs) {
        run.join();
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(sequences[i].size(), summaries[i].audio_packets) << drifts[i] << " ppm";
    }
    const double exact = static_cast<double>(summaries[0].audio_packets);
    EXPECT_NEAR(exact, 51.0, 1.0);
    EXPECT_NEAR(static_cast<double>(summaries[1].audio_packets) / exact, 1.05, 0.03);
    EXPECT_NEAR(static_cast<double>(summaries[2].audio_packets) / exact, 0.95, 0.03);
}

TEST(HostAudioStream, ControlDatagramsAreReadBetweenAudioPackets) {
    MediaReceiver receiver;
    HostOptions options = audio_options(receiver.port(), 100.0);  // stopped by the test
    net::UDPSocket probe;
    ASSERT_TRUE(probe.open(0));
    options.listen_port = probe.local_port();
    probe.close();
    net::UDPSocket viewer;
    ASSERT_TRUE(viewer.open(0));

    CaptureStdout();
    StreamRun run(options);
    const bool started = receiver.receive_until([&] { return receiver.arrivals.size() >= 2; });
    const auto state = protocol::make_audio_state({true, 0.5f});
    const auto request = protocol::make_keyframe_request();
    viewer.send_to(state.data(), state.size(), "127.0.0.1", options.listen_port);
    viewer.send_to(request.data(), request.size(), "127.0.0.1", options.listen_port);
    // Both are waiting before the next packet is sent, and read before the one after it.
    const size_t sent_before = receiver.arrivals.size();
    const bool ran_on =
        receiver.receive_until([&] { return receiver.arrivals.size() >= sent_before + 3; });
    run.finish();
    const std::string out = GetCapturedStdout();

    ASSERT_TRUE(started && ran_on);
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(run.summary.keyframe_requests, 1u);
    EXPECT_EQ(out, "[Host] Listening for control datagrams on 127.0.0.1:" +
                       std::to_string(options.listen_port) +
                       "\n[Host] Audio state: muted=1 volume=0.500\n"
                       "[Host] Keyframe request received; next frame is a keyframe\n");
}

TEST(HostAudioStream, AnUnreadableSourceStopsTheStartUp) {
    HostOptions options = audio_options(9, 1.0);
    options.audio = "/nonexistent/nimbar_host_audio.wav";
    std::atomic<bool> stop{false};
    StreamSummary summary;
    CaptureStderr();
    EXPECT_FALSE(stream_video_frames(options, stop, summary));
    EXPECT_EQ(GetCapturedStderr(),
              "[Host] Error: cannot open /nonexistent/nimbar_host_audio.wav\n");
    EXPECT_EQ(summary.audio_packets, 0u);
}

}  // namespace
}  // namespace nimbar::host
