#include "audio/screen_audio_player.h"

#include <algorithm>
#include <cstdio>

#include "audio/gain.h"
#include "protocol/media_datagram.h"
#include "protocol/screen_audio_format.h"

namespace nimbar::audio {

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
constexpr auto START_BYTES =
    static_cast<uint32_t>((TARGET_QUEUE_MS + protocol::SCREEN_AUDIO_FRAME_MS) * BYTES_PER_MS);
// The device takes its buffer (a packet's worth) out of the queue at a time, so a queue found empty
// may just have been taken whole, with the next buffer not yet due. Only one that has been empty
// for longer than a buffer surely left a gap.
constexpr auto DEVICE_BUFFER = std::chrono::milliseconds(protocol::SCREEN_AUDIO_FRAME_MS);
// The depth held at the target is what a packet finds queued ahead of it when it arrives: the
// margin a late packet has. The queue holds a packet more right after each arrival than right
// before the next, so over time it averages half a packet above that.
constexpr double HALF_PACKET_MS = protocol::SCREEN_AUDIO_FRAME_MS / 2.0;
// A sound card lost, or missing at the start, is looked for again this often: soon enough that
// sound is back a moment after the card is, seldom enough that a card that stays away costs
// nothing.
constexpr auto REOPEN_INTERVAL = std::chrono::seconds(1);

}  // namespace

void ScreenAudioPlayer::open() {
    if (enabled) {
        return;
    }
    if (!decoder.create(SAMPLE_RATE, CHANNELS)) {
        fprintf(stderr, "[VideoReceiver] Failed to init screen audio decoder\n");
        return;
    }
    // Without a resampler the samples are played as they come: held at whatever depth, not lost.
    resampler.open(SAMPLE_RATE, CHANNELS);
    enabled = true;
    last_sequence.reset();
    recent.clear();
    if (!device.open(PLAYBACK, SAMPLE_RATE, CHANNELS, FRAME_SAMPLES, nullptr)) {
        fprintf(stderr, "[VideoReceiver] Failed to open screen audio playback device\n");
        // No sound card yet, or its sound server still starting: looked for as after a loss.
        without_device = true;
        next_reopen = Clock::now() + REOPEN_INTERVAL;
        return;
    }
    without_device = false;
    start_filling();
    printf("[VideoReceiver] Screen audio enabled (stereo, 48kHz)\n");
    fflush(stdout);
}

void ScreenAudioPlayer::close() {
    if (!enabled) {
        return;
    }
    depth_sampler.stop();
    device.close();
    decoder.destroy();
    resampler.close();
    enabled = false;
    last_sequence.reset();
}

void ScreenAudioPlayer::start_filling() {
    device.pause(true);
    holding = true;
    latency = PlaybackLatencyController();
    // Without the sampler's thread the correction goes by the depth each packet finds.
    depth_sampler.start(device);
}

void ScreenAudioPlayer::device_removed(uint32_t device_id, Clock::time_point now) {
    if (enabled && device.is_open() && device.id() == device_id) {
        lose_device(now);
    }
}

void ScreenAudioPlayer::lose_device(Clock::time_point now) {
    depth_sampler.stop();
    device.close();
    without_device = true;
    next_reopen = now + REOPEN_INTERVAL;
    stats.device_lost.fetch_add(1, std::memory_order_relaxed);
    fprintf(stderr, "[VideoReceiver] Screen audio device lost; opening the default one again\n");
}

bool ScreenAudioPlayer::device_ready(Clock::time_point now) {
    if (device.disconnected()) {
        lose_device(now);  // before SDL's event about it reached us
    }
    if (!without_device) {
        return true;
    }
    if (now < next_reopen) {
        return false;
    }
    if (!device.reopen()) {
        next_reopen = now + REOPEN_INTERVAL;
        return false;
    }
    without_device = false;
    start_filling();
    stats.device_reopened.fetch_add(1, std::memory_order_relaxed);
    printf("[VideoReceiver] Screen audio playing again\n");
    fflush(stdout);
    return true;
}

void ScreenAudioPlayer::drop_queued() {
    if (!enabled || without_device) {
        return;
    }
    device.clear();
    last_sequence.reset();  // nothing to conceal: the gap is the stall's
    start_filling();
}

void ScreenAudioPlayer::handle_packet(std::span<const uint8_t> datagram, Clock::time_point now) {
    if (!enabled) {
        return;
    }
    const auto header = protocol::read_common_header(datagram);
    if (!header || !protocol::audio_datagram_acceptable(*header, datagram.size())) {
        return;
    }
    const auto packet = datagram.subspan(protocol::COMMON_HEADER_SIZE, header->data_size);
    if (!recent.note(header->sequence, packet)) {
        stats.packets_repeated.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const bool playing = device_ready(now);
    const uint32_t queued = device.queued_bytes();  // what waits ahead of this datagram

    staged.clear();
    if (last_sequence && *last_sequence + 1 < header->sequence) {
        conceal(std::min(header->sequence - *last_sequence - 1, MAX_CONCEALED_FRAMES));
    }
    last_sequence = header->sequence;

    int16_t pcm[FRAME_VALUES] = {};
    const int samples =
        decoder.decode(packet.data(), static_cast<int>(packet.size()), pcm, FRAME_SAMPLES);
    if (samples <= 0) {
        // As good as lost: a frame stands in for it, rather than a gap.
        stats.packets_undecodable.fetch_add(1, std::memory_order_relaxed);
        conceal(1);
    } else {
        stats.packets_played.fetch_add(1, std::memory_order_relaxed);
        staged.insert(staged.end(), pcm, pcm + samples * CHANNELS);
    }
    apply_gain(staged.data(), staged.size(), gain.load());
    if (playing) {
        play(queued, now);
    }
}

void ScreenAudioPlayer::conceal(uint32_t frames) {
    int16_t pcm[FRAME_VALUES] = {};
    for (uint32_t i = 0; i < frames; ++i) {
        const int samples = decoder.conceal(pcm, FRAME_SAMPLES);
        if (samples > 0) {
            stats.frames_concealed.fetch_add(1, std::memory_order_relaxed);
            staged.insert(staged.end(), pcm, pcm + samples * CHANNELS);
        }
    }
}

void ScreenAudioPlayer::play(uint32_t queued, Clock::time_point now) {
    if (staged.empty()) {
        return;
    }
    const auto emptied =
        last_time + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double, std::milli>(queued_after / BYTES_PER_MS));
    if (!holding && queued == 0 && now > emptied + DEVICE_BUFFER) {
        // Ran dry: whatever was due meanwhile was silence already. Refill before going on, so that
        // the next late packet does not leave another gap.
        stats.underruns.fetch_add(1, std::memory_order_relaxed);
        latency.ran_dry();
        device.pause(true);
        holding = true;
    }
    if (queued > MAX_QUEUED_BYTES) {
        const size_t frames = (staged.size() + FRAME_VALUES - 1) / FRAME_VALUES;
        stats.frames_skipped.fetch_add(frames, std::memory_order_relaxed);
        return;
    }
    double correction = latency.correction_ppm();
    if (!holding) {
        const auto mean = depth_sampler.take_mean();
        const double depth_ms =
            mean ? *mean / BYTES_PER_MS - HALF_PACKET_MS : queued / BYTES_PER_MS;
        correction =
            latency.update(depth_ms, std::chrono::duration<double>(now - last_time).count());
    }
    last_time = now;

    resampled.clear();
    resampler.process(staged.data(), staged.size() / CHANNELS, correction, resampled);
    device.queue(resampled.data(), static_cast<int>(resampled.size()));
    const auto bytes = static_cast<uint32_t>(resampled.size() * sizeof(int16_t));
    queued_after = queued + bytes;
    stats.bytes_queued.fetch_add(bytes, std::memory_order_relaxed);

    if (holding && device.queued_bytes() >= START_BYTES) {
        // The smoothed depth goes on from before the refill: the queue ran dry because it was
        // too shallow, and the correction must go on knowing it.
        holding = false;
        depth_sampler.take_mean();  // looks at the held queue say nothing of its course
        device.pause(false);
    }
    stats.depth_ms.store(latency.smoothed_depth_ms(), std::memory_order_relaxed);
    stats.correction_ppm.store(latency.correction_ppm(), std::memory_order_relaxed);
}

}  // namespace nimbar::audio
