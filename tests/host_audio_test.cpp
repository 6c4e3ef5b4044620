// The host's screen audio as the viewer meets it: the tone through a real Opus decoder, the WAV
// reader on good, cut and broken files, and whole streams on loopback, alone and between video
// frames, with losses, a drifting clock and jitter.

#include <gtest/gtest.h>
#include <opus/opus.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <numbers>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "host/audio_encoder.h"
#include "host/audio_format.h"
#include "host/audio_jitter.h"
#include "host/audio_source.h"
#include "host/host_options.h"
#include "protocol/byte_order.h"
#include "tests/support/host_stream.h"

namespace nimbar::host {
namespace {

namespace support = ::nimbar::testing;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using namespace std::chrono_literals;

constexpr size_t SAMPLES_PER_PACKET = size_t{AUDIO_FRAME_SAMPLES} * AUDIO_CHANNELS;

int packet_samples(const std::vector<uint8_t>& packet) {
    return opus_packet_get_nb_samples(packet.data(), static_cast<opus_int32>(packet.size()),
                                      AUDIO_SAMPLE_RATE);
}

// The amplitude of the `hz` component of one channel of interleaved stereo, over the second half
// second: past the codec's start-up, and a DFT bin exact for both pitches (whole cycles).
double amplitude_at(const std::vector<int16_t>& stereo, int channel, double hz) {
    const size_t first = AUDIO_SAMPLE_RATE / 2;
    const size_t count = AUDIO_SAMPLE_RATE / 2;
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

TEST(HostAudioEncoder, TheToneSurvivesOpusIn20MsPacketsWithEachPitchInItsChannel) {
    AudioSource tone;
    AudioEncoder encoder;
    ASSERT_TRUE(encoder.open(96));
    int error = OPUS_OK;
    OpusDecoder* decoder = opus_decoder_create(AUDIO_SAMPLE_RATE, AUDIO_CHANNELS, &error);
    ASSERT_EQ(error, OPUS_OK);
    // Decoded as the viewer decodes: each packet as one 20 ms stereo frame at 48 kHz.
    std::vector<int16_t> decoded;
    std::vector<int16_t> pcm;
    std::vector<int16_t> frame(SAMPLES_PER_PACKET);
    for (int i = 0; i < 50; ++i) {
        tone.next(pcm);
        std::vector<uint8_t> packet;
        ASSERT_TRUE(encoder.encode(pcm, packet));
        EXPECT_EQ(packet_samples(packet), AUDIO_FRAME_SAMPLES) << "packet " << i;
        EXPECT_EQ(opus_decode(decoder, packet.data(), static_cast<opus_int32>(packet.size()),
                              frame.data(), AUDIO_FRAME_SAMPLES, 0),
                  AUDIO_FRAME_SAMPLES);
        decoded.insert(decoded.end(), frame.begin(), frame.end());
    }
    opus_decoder_destroy(decoder);
    // At 96 kbit/s a pure tone keeps its level within a fraction of a percent and the other
    // channel's pitch leaks in at well under 0.1 %; a wrong gain, a clipped wave, a phase that
    // jumps between packets or a mixed or swapped channel is off by far more.
    EXPECT_NEAR(amplitude_at(decoded, 0, TONE_LEFT_HZ), TONE_AMPLITUDE, TONE_AMPLITUDE * 0.05);
    EXPECT_NEAR(amplitude_at(decoded, 1, TONE_RIGHT_HZ), TONE_AMPLITUDE, TONE_AMPLITUDE * 0.05);
    EXPECT_LT(amplitude_at(decoded, 0, TONE_RIGHT_HZ), TONE_AMPLITUDE * 0.01);
    EXPECT_LT(amplitude_at(decoded, 1, TONE_LEFT_HZ), TONE_AMPLITUDE * 0.01);
}

// WAV files, built byte by byte.

struct WavLayout {
    uint16_t format = 1;
    uint16_t channels = 2;
    uint32_t rate = 48000;
    uint16_t bits = 16;
};

// The low `bytes` bytes of `value`, little-endian.
void append(std::vector<uint8_t>& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

// A chunk with its pad byte when the body's size is odd.
std::vector<uint8_t> chunk(const char* tag, std::vector<uint8_t> body) {
    std::vector<uint8_t> out(tag, tag + 4);
    append(out, static_cast<uint32_t>(body.size()), 4);
    out.insert(out.end(), body.begin(), body.end());
    if (body.size() % 2 != 0) {
        out.push_back(0);
    }
    return out;
}

std::vector<uint8_t> fmt(const WavLayout& layout = {}) {
    std::vector<uint8_t> body;
    append(body, layout.format, 2);
    append(body, layout.channels, 2);
    append(body, layout.rate, 4);
    append(body, layout.rate * layout.channels * layout.bits / 8, 4);
    append(body, layout.channels * layout.bits / 8, 2);
    append(body, layout.bits, 2);
    return chunk("fmt ", body);
}

std::vector<uint8_t> data(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> body;
    for (const int16_t sample : samples) {
        append(body, static_cast<uint16_t>(sample), 2);
    }
    return chunk("data", body);
}

// RIFF, WAVE, then the chunks as given; the RIFF size is right.
std::vector<uint8_t> riff(const std::vector<std::vector<uint8_t>>& chunks) {
    std::vector<uint8_t> file = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    for (const auto& piece : chunks) {
        file.insert(file.end(), piece.begin(), piece.end());
    }
    protocol::store_u32_le(&file[4], static_cast<uint32_t>(file.size() - 8));
    return file;
}

// Distinct samples, so that order, channel and looping all show; negative ones included.
std::vector<int16_t> ramp(size_t count) {
    std::vector<int16_t> samples(count);
    for (size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<int16_t>(static_cast<int>(i) * 7 - 12000);
    }
    return samples;
}

// What parse_wav makes of `file`, held in an exactly sized buffer so that AddressSanitizer sees
// any read past its end: the samples, or the error line.
std::pair<std::vector<int16_t>, std::string> parse(const std::vector<uint8_t>& file) {
    const std::vector<uint8_t> exact(file.begin(), file.end());
    std::vector<int16_t> stereo;
    CaptureStderr();
    const bool ok = parse_wav(exact, "clip.wav", stereo);
    std::string errors = GetCapturedStderr();
    EXPECT_EQ(ok, errors.empty()) << errors;
    return {stereo, errors};
}

TEST(HostAudioWav, AValidFileIsReadAndEveryCutOfItRefusedWithOneLine) {
    // Other chunks before and between (one of odd size, with its pad byte), data last with a
    // trailing partial sample frame and no pad byte at the very end, and a RIFF size that is wrong.
    const std::vector<int16_t> samples = ramp(10);
    auto file =
        riff({chunk("LIST", {'I', 'N', 'F'}), fmt(), chunk("junk", {1, 2, 3, 4}), data(samples)});
    file.push_back(0x7F);
    protocol::store_u32_le(&file[file.size() - 2 * samples.size() - 5],
                           static_cast<uint32_t>(2 * samples.size() + 1));
    protocol::store_u32_le(&file[4], 4);
    EXPECT_EQ(parse(file), std::pair(samples, std::string()));

    for (size_t length = 0; length < file.size(); ++length) {
        const auto [stereo, errors] = parse({file.begin(), file.begin() + length});
        EXPECT_EQ(errors.rfind("[Host] Error: clip.wav ", 0), 0u) << "cut at " << length;
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
        EXPECT_TRUE(stereo.empty());
    }
}

TEST(HostAudioWav, MalformedOrUnplayableFilesGetOneExactLine) {
    const std::vector<int16_t> samples = ramp(400);
    auto overlong = riff({fmt(), data(samples)});
    protocol::store_u32_le(&overlong[40], 801);  // one byte more than there is
    std::vector<uint8_t> odd_tag = riff({fmt()});
    odd_tag.insert(odd_tag.end(), {'d', '\n', 0x00, 0xFF, 0xE8, 0x03, 0, 0});
    const std::vector<std::pair<std::vector<uint8_t>, std::string>> cases = {
        {{}, "is not a RIFF WAVE file"},
        {overlong, "has a 'data' chunk of 801 bytes, past the end of the file"},
        {odd_tag, "has a 'd...' chunk of 1000 bytes, past the end of the file"},
        {riff({fmt()}), "has no data chunk"},
        {riff({fmt({.rate = 44100}), data(samples)}), "is at 44100 Hz; only 48000 Hz is read"},
        {riff({fmt({.format = 3, .bits = 32}), data(samples)}),
         "is not PCM (format 3); only 16-bit PCM is read"},
        {riff({fmt({.channels = 6}), data(samples)}), "has 6 channels; only 1 or 2 are read"},
        {riff({fmt(), chunk("data", {1, 2, 3})}), "holds no whole sample frame"},
    };
    for (const auto& [file, line] : cases) {
        EXPECT_EQ(parse(file),
                  std::pair(std::vector<int16_t>{}, "[Host] Error: clip.wav " + line + "\n"));
    }
}

TEST(HostAudioWav, AMonoFileGoesToBothChannelsAndLoopsWithinAPacket) {
    const std::vector<int16_t> samples = ramp(1500);  // the second packet wraps round after 540
    const support::TempFile file("mono.wav", riff({fmt({.channels = 1}), data(samples)}));
    AudioSource source(file.path);
    ASSERT_TRUE(source.ok());
    std::vector<int16_t> pcm;
    for (size_t packet = 0; packet < 3; ++packet) {
        source.next(pcm);
        ASSERT_EQ(pcm.size(), SAMPLES_PER_PACKET);
        for (size_t i = 0; i < AUDIO_FRAME_SAMPLES; ++i) {
            const int16_t expected = samples[(packet * AUDIO_FRAME_SAMPLES + i) % samples.size()];
            ASSERT_EQ(pcm[2 * i], expected) << "packet " << packet << " sample " << i;
            ASSERT_EQ(pcm[2 * i + 1], expected) << "packet " << packet << " sample " << i;
        }
    }
}

HostOptions audio_options(double seconds) {
    HostOptions options;
    options.codec = HostCodec::None;
    options.audio = "tone";
    options.seconds = seconds;
    return options;
}

std::vector<uint32_t> audio_sequences(const std::vector<support::Arrival>& arrivals) {
    std::vector<uint32_t> seen;
    for (const support::Arrival& arrival : arrivals) {
        if (arrival.audio) {
            seen.push_back(arrival.sequence);
        }
    }
    return seen;
}

TEST(HostAudioStream, AudioAloneIsNumberedFromOneByOneAndKeepsItsPace) {
    support::LoopbackReceiver receiver;
    StreamSummary summary;
    std::chrono::steady_clock::time_point started;
    // 0.51 s: packets are due at 0, 20, ..., 500 ms.
    support::run_to_end(audio_options(0.51), receiver, summary, &started);

    ASSERT_EQ(receiver.arrivals.size(), 26u);
    for (size_t i = 0; i < receiver.arrivals.size(); ++i) {
        const support::Arrival& arrival = receiver.arrivals[i];
        ASSERT_TRUE(arrival.audio) << "datagram " << i;
        EXPECT_EQ(arrival.sequence, i + 1);
        EXPECT_EQ(packet_samples(arrival.payload), AUDIO_FRAME_SAMPLES);
        // None goes out before its time.
        EXPECT_GE(arrival.at - started, std::chrono::milliseconds(20) * static_cast<int>(i))
            << "packet " << arrival.sequence;
    }
    EXPECT_EQ(summary.audio_packets, 26u);
    EXPECT_EQ(summary.datagrams, 26u);
    EXPECT_EQ(summary.frames, 0u);
}

TEST(HostAudioStream, LostPacketsLeaveTheGapsTheSummaryCounts) {
    HostOptions options = audio_options(0.61);
    options.audio_loss = 0.3;
    options.impairments.seed = 11;
    support::LoopbackReceiver receiver;
    StreamSummary summary;
    support::run_to_end(options, receiver, summary);

    const std::vector<uint32_t> seen = audio_sequences(receiver.arrivals);
    EXPECT_EQ(summary.audio_packets, 31u);
    // Each sent once, in order, numbered within the count.
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end(), std::greater_equal<>()), seen.end());
    EXPECT_TRUE(seen.empty() || (seen.front() >= 1 && seen.back() <= summary.audio_packets));
    EXPECT_EQ(seen.size() + summary.audio_lost, summary.audio_packets);
    EXPECT_GT(summary.audio_lost, 2u);
    EXPECT_LT(summary.audio_lost, 20u);
}

TEST(HostAudioStream, AudioSlipsInBetweenVideoFramesNeverInsideOne) {
    // Frames of noise, each different, take many fragments each.
    const support::TempFile noise("noise.bgra", support::noise(size_t{160} * 120 * 4 * 5, 7));
    HostOptions options = audio_options(0);  // as long as the frames last
    options.codec = HostCodec::VP8;
    options.input = noise.path;
    options.width = 160;
    options.height = 120;
    options.fps = 9;
    options.frames = 5;
    options.bitrate_kbps = 1'000'000;
    support::LoopbackReceiver receiver;
    StreamSummary summary;
    support::run_to_end(options, receiver, summary);
    const auto& arrivals = receiver.arrivals;

    EXPECT_EQ(summary.frames, 5u);
    EXPECT_EQ(summary.audio_packets, 28u);  // due within 5/9 s
    EXPECT_EQ(summary.datagrams, arrivals.size());
    std::vector<uint32_t> every(28);
    std::iota(every.begin(), every.end(), 1u);
    EXPECT_EQ(audio_sequences(arrivals), every);
    // Each frame's fragments arrive together, with audio before and after them.
    std::vector<uint32_t> frame_order;
    std::vector<size_t> audio_after;
    for (size_t i = 0; i < arrivals.size(); ++i) {
        if (arrivals[i].audio) {
            if (!audio_after.empty()) {
                ++audio_after.back();
            }
        } else if (!frame_order.empty() && frame_order.back() == arrivals[i].fragment.frame_id) {
            EXPECT_FALSE(arrivals[i - 1].audio) << "audio inside frame " << frame_order.back();
        } else {
            frame_order.push_back(arrivals[i].fragment.frame_id);
            audio_after.push_back(0);
        }
    }
    EXPECT_EQ(frame_order, (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    EXPECT_GT(arrivals.size(), 5u * 2 + 28) << "frames too small to show audio held back";
    for (size_t n = 0; n + 1 < audio_after.size(); ++n) {
        EXPECT_GE(audio_after[n], 3u) << "after frame " << n + 1;
    }
}

TEST(HostAudioStream, ADriftingClockSendsMoreOrFewerPacketsByItsPpm) {
    // Three runs at once, each a little over a second: 0, +5 % and -5 %.
    const int drifts[3] = {0, 50'000, -50'000};
    StreamSummary summaries[3];
    std::vector<std::thread> runs;
    for (int i = 0; i < 3; ++i) {
        runs.emplace_back([&, i] {
            HostOptions options = audio_options(1.01);
            options.audio_drift_ppm = drifts[i];
            support::LoopbackReceiver receiver;
            support::run_to_end(options, receiver, summaries[i]);
            EXPECT_EQ(receiver.arrivals.size(), summaries[i].audio_packets) << drifts[i] << " ppm";
        });
    }
    for (std::thread& run : runs) {
        run.join();
    }
    const double exact = static_cast<double>(summaries[0].audio_packets);
    EXPECT_NEAR(exact, 51.0, 1.0);
    EXPECT_NEAR(static_cast<double>(summaries[1].audio_packets) / exact, 1.05, 0.03);
    EXPECT_NEAR(static_cast<double>(summaries[2].audio_packets) / exact, 0.95, 0.03);
}

TEST(HostAudioJitter, LateByUpToTheJitterInBurstsNeverEarlyNorOutOfOrder) {
    const auto start = AudioJitter::Clock::time_point{};
    for (const int jitter_ms : {0, 5, 20, 100}) {
        AudioJitter jitter(jitter_ms, 3);
        AudioJitter again(jitter_ms, 3);
        auto last = start;
        int late = 0;
        int together = 0;
        for (int i = 0; i < 1000; ++i) {
            const auto due = start + 20ms * i;
            const auto out = jitter.release(due);
            EXPECT_EQ(jitter.release(due), out);  // asked again: the same
            EXPECT_EQ(again.release(due), out);   // the same seed: the same stalls
            EXPECT_GE(out, due);
            EXPECT_LE(out, due + std::chrono::milliseconds(jitter_ms));
            EXPECT_GE(out, last);
            late += out - due > std::chrono::milliseconds(jitter_ms) / 4 ? 1 : 0;
            together += i > 0 && out == last ? 1 : 0;
            last = out;
        }
        EXPECT_EQ(late > 100, jitter_ms > 0) << jitter_ms << " ms";
        EXPECT_EQ(together > 100, jitter_ms > 20) << jitter_ms << " ms";  // bursts
    }
}

TEST(HostAudioStream, JitterSendsPacketsLateInOrderAndNoneEarly) {
    HostOptions options = audio_options(1.01);
    options.audio_jitter_ms = 20;
    support::LoopbackReceiver receiver;
    StreamSummary summary;
    std::chrono::steady_clock::time_point started;
    support::run_to_end(options, receiver, summary, &started);

    std::vector<uint32_t> every(51);
    std::iota(every.begin(), every.end(), 1u);
    EXPECT_EQ(audio_sequences(receiver.arrivals), every);
    int late = 0;
    for (const support::Arrival& arrival : receiver.arrivals) {
        const auto due = started + 20ms * static_cast<int>(arrival.sequence - 1);
        EXPECT_GE(arrival.at, due) << "packet " << arrival.sequence;
        late += arrival.at - due >= 5ms ? 1 : 0;
    }
    EXPECT_GT(late, 5);
}

TEST(HostAudioOptions, JitterTakesMillisecondsUpToASecondAndNeedsAudio) {
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
        {{"--audio", "tone", "--audio-jitter-ms", "1000"}, ""},
        {{"--audio", "tone", "--audio-jitter-ms", "1001"},
         "[Host] Error: --audio-jitter-ms takes milliseconds from 0 to 1000, not '1001'\n"},
        {{"--audio", "tone", "--audio-jitter-ms", "-1"},
         "[Host] Error: --audio-jitter-ms takes milliseconds from 0 to 1000, not '-1'\n"},
        {{"--audio-jitter-ms", "20"}, "[Host] Error: --audio-jitter-ms needs --audio\n"},
    };
    for (const auto& [given, line] : cases) {
        std::vector<const char*> args = {"stream_host", "--port", "5000", "--codec", "vp8"};
        args.insert(args.end(), given.begin(), given.end());
        HostOptions options;
        CaptureStderr();
        const bool ok = parse_host_args(static_cast<int>(args.size()), args.data(), options);
        EXPECT_EQ(GetCapturedStderr(), line);
        EXPECT_EQ(ok, line.empty());
        EXPECT_TRUE(!ok || options.audio_jitter_ms == 1000);
    }
}

}  // namespace
}  // namespace nimbar::host
