// Screen audio: Opus packets from audio datagrams, decoded as they arrive, short losses concealed,
// scaled by the viewer's volume and queued for SDL's audio thread. No reordering.
//
// The sender's sound card and ours never run at quite the same rate, so the playback queue would
// slowly fill or empty. It is held near a target depth instead: a sampler looks at the queue every
// 10 ms, a controller turns its depth into a correction of at most 2 %, and the samples are
// resampled by that much (or, inside the controller's dead band, played untouched).
// Playback starts once the next packet would find the target queued ahead of it; a queue that runs
// dry is refilled so before playback goes on.

#include <algorithm>
#include <chrono>
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
// Playback latency bound, the last resort behind the resampling: a burst of packets after a stall
// would otherwise put the sound far behind the picture for as long as the correction takes to work
// it off. Beyond 200 ms a packet is decoded (keeping the decoder's state continuous) but not
// queued.
constexpr uint32_t MAX_QUEUED_BYTES = protocol::SCREEN_AUDIO_BYTES_PER_MS * 200;
constexpr double BYTES_PER_MS = protocol::SCREEN_AUDIO_BYTES_PER_MS;
// Playback starts, and after running dry goes on, once the queue holds the target and the packet
// just queued: the next packet finds the target ahead of it. Any deeper would only be taken back by
// the correction, which would take it for a sender running ahead.
constexpr auto START_BYTES = static_cast<uint32_t>(
    (audio::TARGET_QUEUE_MS + protocol::SCREEN_AUDIO_FRAME_MS) * BYTES_PER_MS);
// The device takes its buffer (a packet's worth) out of the queue at a time, so a queue found empty
// may just have been taken whole, with the next buffer not yet due. Only one that has been empty
// for longer than a buffer surely left a gap.
constexpr auto DEVICE_BUFFER = std::chrono::milliseconds(protocol::SCREEN_AUDIO_FRAME_MS);
// The depth held at the target is what a packet finds queued ahead of it when it arrives: the
// margin a late packet has. The queue holds a packet more right after each arrival than right
// before the next, so over time it averages half a packet above that.
constexpr double HALF_PACKET_MS = protocol::SCREEN_AUDIO_FRAME_MS / 2.0;

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
    // Without a resampler the samples are played as they come: held at whatever depth, not lost.
    audio_resampler.open(SAMPLE_RATE, CHANNELS);
    audio_device.pause(true);
    audio_holding = true;
    audio_latency = audio::PlaybackLatencyController();
    audio_depth_sampler.start(audio_device);
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
    const auto now = Clock::now();
    const uint32_t queued = audio_device.queued_bytes();  // what waits ahead of this datagram

    audio_staged.clear();
    int16_t pcm[FRAME_VALUES] = {};
    if (last_audio_sequence != 0 && last_audio_sequence + 1 < header->sequence) {
        const uint32_t missing = header->sequence - last_audio_sequence - 1;
        for (uint32_t i = 0; i < std::min(missing, MAX_CONCEALED_FRAMES); ++i) {
            const int samples = audio_decoder.conceal(pcm, FRAME_SAMPLES);
            if (!running) {
                return;
            }
            if (samples > 0) {
                stats.audio_frames_concealed.fetch_add(1, std::memory_order_relaxed);
                audio_staged.insert(audio_staged.end(), pcm, pcm + samples * CHANNELS);
            }
        }
    }
    last_audio_sequence = header->sequence;

    const int samples = audio_decoder.decode(bytes.data() + protocol::COMMON_HEADER_SIZE,
                                             header->data_size, pcm, FRAME_SAMPLES);
    if (samples <= 0) {
        stats.audio_packets_undecodable.fetch_add(1, std::memory_order_relaxed);
    } else {
        stats.audio_packets_played.fetch_add(1, std::memory_order_relaxed);
        audio_staged.insert(audio_staged.end(), pcm, pcm + samples * CHANNELS);
    }
    audio::apply_gain(audio_staged.data(), audio_staged.size(), audio_gain.load());
    play(audio_staged, queued, now);
}

void VideoReceiver::play(const std::vector<int16_t>& staged, uint32_t queued,
                         Clock::time_point now) {
    if (!running || staged.empty()) {
        return;
    }
    const auto emptied =
        last_audio_time +
        std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double, std::milli>(audio_queued_after / BYTES_PER_MS));
    if (!audio_holding && queued == 0 && now > emptied + DEVICE_BUFFER) {
        // Ran dry: whatever was due meanwhile was silence already. Refill before going on, so that
        // the next late packet does not leave another gap.
        stats.audio_underruns.fetch_add(1, std::memory_order_relaxed);
        audio_latency.ran_dry();
        audio_device.pause(true);
        audio_holding = true;
    }
    if (queued > MAX_QUEUED_BYTES) {
        const size_t frames = (staged.size() + FRAME_VALUES - 1) / FRAME_VALUES;
        stats.audio_frames_skipped.fetch_add(frames, std::memory_order_relaxed);
        return;
    }
    double correction = audio_latency.correction_ppm();
    if (!audio_holding) {
        const auto mean = audio_depth_sampler.take_mean();
        const double depth_ms =
            mean ? *mean / BYTES_PER_MS - HALF_PACKET_MS : queued / BYTES_PER_MS;
        correction = audio_latency.update(
            depth_ms, std::chrono::duration<double>(now - last_audio_time).count());
    }
    last_audio_time = now;

    audio_resampled.clear();
    audio_resampler.process(staged.data(), staged.size() / CHANNELS, correction, audio_resampled);
    audio_device.queue(audio_resampled.data(), static_cast<int>(audio_resampled.size()));
    audio_queued_after = queued + static_cast<uint32_t>(audio_resampled.size() * sizeof(int16_t));
    stats.audio_bytes_queued.fetch_add(audio_resampled.size() * sizeof(int16_t),
                                       std::memory_order_relaxed);

    if (audio_holding && audio_device.queued_bytes() >= START_BYTES) {
        // The smoothed depth goes on from before the refill: the queue ran dry because it was
        // too shallow, and the correction must go on knowing it.
        audio_holding = false;
        audio_depth_sampler.take_mean();  // looks at the held queue say nothing of its course
        audio_device.pause(false);
    }
    stats.audio_depth_ms.store(audio_latency.smoothed_depth_ms(), std::memory_order_relaxed);
    stats.audio_correction_ppm.store(audio_latency.correction_ppm(), std::memory_order_relaxed);
}

void VideoReceiver::release_screen_audio() {
    if (!screen_audio_enabled) {
        return;
    }
    audio_depth_sampler.stop();
    audio_device.close();
    audio_decoder.destroy();
    audio_resampler.close();
    screen_audio_enabled = false;
    last_audio_sequence = 0;
}

}  // namespace nimbar::client
