#pragma once

// The stream's screen audio: Opus packets from audio datagrams, decoded as they arrive, short
// losses concealed, scaled by the viewer's volume and queued for SDL's audio thread. No reordering;
// a packet that arrives twice is played once.
//
// The sender's sound card and ours never run at quite the same rate, so the playback queue would
// slowly fill or empty. It is held near a target depth instead: a sampler looks at the queue every
// 10 ms, a controller turns its depth into a correction of at most 2 %, and the samples are
// resampled by that much (or, inside the controller's dead band, played untouched). Playback
// starts once the next packet would find the target queued ahead of it; a queue that runs dry is
// refilled so before playback goes on; a queue already 200 ms deep takes nothing more.
//
// Sound cards come and go (headphones, a dock, a sound server that restarts or is still starting
// when the viewer starts). A device that SDL gives up is closed at once, so that nothing queues up
// for a card that does not play; the default device is opened again at most once a second while
// packets arrive, as it is when none would open at the start, and playback starts afresh at the
// target, with no old sound. Meanwhile packets are decoded as ever, and nothing is queued.
//
// Main thread only, except statistics() and queued_bytes(), which anyone may read.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "audio/audio_device.h"
#include "audio/drift_resampler.h"
#include "audio/opus_decoder_handle.h"
#include "audio/playback_latency_controller.h"
#include "audio/queue_depth_sampler.h"
#include "audio/recent_packets.h"

namespace nimbar::audio {

// Counters of the screen audio, for the stats line and the benchmarks. Written by the main thread,
// read by anyone: relaxed atomics.
struct ScreenAudioStats {
    std::atomic<uint64_t> packets_played{0};
    std::atomic<uint64_t> packets_undecodable{0};
    std::atomic<uint64_t> packets_repeated{0};  // seen lately already: dropped
    std::atomic<uint64_t> frames_concealed{0};  // 20 ms frames standing in for lost packets
    std::atomic<uint64_t> frames_skipped{0};    // not queued: playback already far behind
    std::atomic<uint64_t> underruns{0};         // the queue ran dry while playing; refilled first
    std::atomic<uint64_t> bytes_queued{0};      // all handed to the playback queue
    std::atomic<uint64_t> device_lost{0};       // the sound card went away while open
    std::atomic<uint64_t> device_reopened{0};   // one opened again, after that or a failed start
    std::atomic<double> depth_ms{0.0};          // what a packet finds queued ahead, smoothed
    std::atomic<double> correction_ppm{0.0};    // the resampling correction now applied
};

class ScreenAudioPlayer {
  public:
    using Clock = std::chrono::steady_clock;

    ScreenAudioPlayer() = default;
    ~ScreenAudioPlayer() { close(); }
    ScreenAudioPlayer(const ScreenAudioPlayer&) = delete;
    ScreenAudioPlayer& operator=(const ScreenAudioPlayer&) = delete;

    // Opens the Opus decoder and a 48 kHz stereo playback device on the default output, held until
    // the first packets fill its queue; writes "[VideoReceiver] Screen audio enabled ...". A
    // device that does not open is reported on stderr ("[VideoReceiver] Failed to open ...") and
    // looked for again as a lost one is; only a decoder that fails ("[VideoReceiver] Failed to
    // init ...") leaves the player closed. Does nothing when already open.
    void open();
    // Closes the device (one that does not close within a second is left to the process exit,
    // see AudioDevice::close), then the decoder and the resampler. Harmless when closed.
    void close();
    bool is_open() const { return enabled; }

    // The gain applied from the next packet on; the viewer passes 0.0 while muted. Kept while
    // closed.
    void set_gain(float gain) { this->gain = gain; }

    // Takes one audio datagram (AUDIO_FLAG set, header included) that arrived at `now`: conceals up
    // to three lost packets (60 ms) before it, decodes it (a packet that does not decode is
    // concealed too), applies the gain and queues the samples, resampled by the correction that
    // holds the queue at its target. Malformed datagrams and repeats of a packet seen lately are
    // dropped without a word. Ignored while closed.
    void handle_packet(std::span<const uint8_t> datagram, Clock::time_point now);

    // SDL reported the device with this id removed (SDL_AUDIODEVICEREMOVED) at `now`. When it is
    // ours it is closed, with a line on stderr; packets go on being decoded meanwhile.
    void device_removed(uint32_t device_id, Clock::time_point now);
    // Drops the sound waiting for playback, and holds playback until the queue has filled to the
    // target again: after the main loop stalled, what waits is late.
    void drop_queued();

    // Sound waiting in the playback queue, in bytes; 0 while closed.
    uint32_t queued_bytes() const { return device.queued_bytes(); }
    const ScreenAudioStats& statistics() const { return stats; }

  private:
    void lose_device(Clock::time_point now);
    // Opens the default device again when the time for another try has come. True when a device
    // plays.
    bool device_ready(Clock::time_point now);
    // Playback held, with an empty queue, until it holds the target.
    void start_filling();
    // Queues the samples staged for one datagram (stereo frames), resampled by the correction for
    // `queued` bytes already waiting when it arrived at `now`; holds and lets go playback around
    // a refill. Nothing when playback is already far enough behind.
    void play(uint32_t queued, Clock::time_point now);
    // Stages `frames` frames synthesised by the decoder in place of packets lost.
    void conceal(uint32_t frames);

    bool enabled = false;
    AudioDevice device;
    OpusDecoderHandle decoder;
    DriftResampler resampler;
    PlaybackLatencyController latency;
    QueueDepthSampler depth_sampler;  // declared after the device: stops before it
    std::atomic<float> gain{1.0f};
    std::optional<uint32_t> last_sequence;  // none yet, or since playback started over
    RecentPackets recent;
    bool holding = true;          // playback held until the queue is filled
    bool without_device = false;  // lost, or none opened: the default one is tried at next_reopen
    Clock::time_point next_reopen{};
    Clock::time_point last_time{};
    uint32_t queued_after = 0;    // bytes in the queue once the last datagram was queued
    std::vector<int16_t> staged;  // one datagram's samples, concealment first
    std::vector<int16_t> resampled;
    ScreenAudioStats stats;
};

}  // namespace nimbar::audio
