// Screen audio: Opus packets from audio datagrams, decoded as they arrive, short losses concealed,
// scaled by the viewer's volume and queued for SDL's audio thread. No jitter buffer, no reordering.

#include <algorithm>
#include <cstdio>
#include <span>

#include "audio/gain.h"
#include "protocol/media_datagram.h"
#include "protocol/screen_audio_format.h"
#include "receiver/video_receiver.h"

namespace nimbar::client {

namespace {

constexpr int SAMPLE_RATE = protocol::SCREEN_AUDIO_SAMPLE_RATE;
constexpr int CHANNELS = protocol::SCREEN_AUDIO_CHANNELS;
// Samples per channel in one packet: the most a packet may decode to.
constexpr int FRAME_SAMPLES = protocol::SCREEN_AUDIO_FRAME_SAMPLES;
constexpr int FRAME_VALUES = FRAME_SAMPLES * CHANNELS;
// Concealment for at most this many lost packets (60 ms) per gap: a longer gap would only delay
// the sound that follows it.
constexpr uint32_t MAX_CONCEALED_FRAMES = 3;
// Playback latency bound. A host clock slightly fast, or a burst, would otherwise grow SDL's queue
// for as long as the stream lasts; beyond 200 ms a packet is decoded (keeping the decoder's state
// continuous) but not queued.
constexpr uint32_t MAX_QUEUED_BYTES = protocol::SCREEN_AUDIO_BYTES_PER_MS * 200;

}  // namespace

void VideoReceiver::enable_screen_audio(bool enable) {
    if (!enable || screen_audio_enabled) {
        return;
    }
    if (!audio_decoder.create(SAMPLE_RATE, CHANNELS)) {
        fprintf(stderr, "[VideoReceiver] Failed to init screen audio decoder\n");
        return;
    }
    if (!audio_device.open(audio::PLAYBACK, SAMPLE_RATE, CHANNELS, FRAME_SAMPLES, nullptr)) {
        fprintf(stderr, "[VideoReceiver] Failed to open screen audio playback device\n");
        audio_decoder.destroy();
        return;
    }
    screen_audio_enabled = true;
    last_audio_sequence = 0;
    printf("[VideoReceiver] Screen audio enabled (stereo, 48kHz)\n");
    fflush(stdout);
}

void VideoReceiver::set_screen_volume(float gain) {
    audio_gain = gain;
}

void VideoReceiver::handle_audio_packet(const uint8_t* datagram, int length) {
    if (!screen_audio_enabled || !running || length < 0) {
        return;
    }
    const std::span<const uint8_t> bytes(datagram, static_cast<size_t>(length));
    const auto header = protocol::read_common_header(bytes);
    if (!header || !protocol::audio_datagram_acceptable(*header, bytes.size())) {
        return;
    }

    int16_t concealed[FRAME_VALUES] = {};
    if (last_audio_sequence != 0 && last_audio_sequence + 1 < header->sequence) {
        const uint32_t missing = header->sequence - last_audio_sequence - 1;
        for (uint32_t i = 0; i < std::min(missing, MAX_CONCEALED_FRAMES); ++i) {
            const int samples = audio_decoder.conceal(concealed, FRAME_SAMPLES);
            if (!running) {
                return;
            }
            if (samples > 0) {
                stats.audio_frames_concealed.fetch_add(1, std::memory_order_relaxed);
                play(concealed, static_cast<size_t>(samples) * CHANNELS);
            }
        }
    }
    last_audio_sequence = header->sequence;

    int16_t decoded[FRAME_VALUES];
    const int samples = audio_decoder.decode(bytes.data() + protocol::COMMON_HEADER_SIZE,
                                             header->data_size, decoded, FRAME_SAMPLES);
    if (samples <= 0) {
        stats.audio_packets_undecodable.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    stats.audio_packets_played.fetch_add(1, std::memory_order_relaxed);
    play(decoded, static_cast<size_t>(samples) * CHANNELS);
}

void VideoReceiver::play(int16_t* samples, size_t count) {
    audio::apply_gain(samples, count, audio_gain.load());
    if (!running) {
        return;
    }
    if (audio_device.queued_bytes() > MAX_QUEUED_BYTES) {
        stats.audio_frames_skipped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    audio_device.queue(samples, static_cast<int>(count));
}

void VideoReceiver::release_screen_audio() {
    if (!screen_audio_enabled) {
        return;
    }
    audio_device.close();
    audio_decoder.destroy();
    screen_audio_enabled = false;
    last_audio_sequence = 0;
}

}  // namespace nimbar::client
