#pragma once

// The viewer's receive, decode and present object. It rebuilds compressed video frames from
// fragment datagrams (main thread), decodes them on its own decode thread into BGRA pictures of a
// fixed size, and shows the newest picture in its window (main thread). It owns the parts of that
// path, each with its own header:
//   FrameReassembler  fragments into frames, and the frames lost on the way (main thread only)
//   DecodeQueue       complete frames for the decode thread (its own lock, wake-up and abort)
//   VideoDecoder      the decoder and its thread, behind a keyframe gate: after a loss nothing is
//                     decoded until a keyframe, so that only true pictures are shown
//   PictureHandoff    the newest picture, from the decode thread to update() (its own lock)
// and the screen audio. The main thread calls every public operation.

#include <SDL.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "audio/audio_device.h"
#include "audio/drift_resampler.h"
#include "audio/opus_decoder_handle.h"
#include "audio/playback_latency_controller.h"
#include "audio/queue_depth_sampler.h"
#include "receiver/decode_queue.h"
#include "receiver/frame_reassembler.h"
#include "receiver/picture_handoff.h"
#include "receiver/receiver_stats.h"
#include "receiver/video_decoder.h"

namespace nimbar::client {

// Draws over the video before each present: (renderer, window width, window height).
using OverlayCallback = std::function<void(SDL_Renderer*, int, int)>;

class VideoReceiver {
  public:
    using Clock = std::chrono::steady_clock;

    VideoReceiver() = default;
    // Runs stop() unless it already ran, then releases what is left. Must run before SDL_Quit.
    ~VideoReceiver();
    VideoReceiver(const VideoReceiver&) = delete;
    VideoReceiver& operator=(const VideoReceiver&) = delete;

    // Opens the window (sized to fit half the display, at least 320 x 240), its renderer, a
    // streaming texture of width x height and the decoder (codec_selector 1: H.264, else VP8),
    // then starts the decode thread. False after one line on stderr, with nothing left behind.
    // Called once per receiver.
    bool init_standalone(int width, int height, uint8_t codec_selector);

    // Takes one fragment datagram (AUDIO_FLAG clear). Malformed and stale fragments are dropped
    // silently; a frame still incomplete 250 ms after its first fragment is reported on stderr
    // and raises the keyframe request. Main thread only.
    void handle_video_packet(const uint8_t* datagram, int length);
    // The same, with the time at which the datagram arrived.
    void handle_video_packet(const uint8_t* datagram, int length, Clock::time_point now);

    // True once per raised request: the flag is cleared as it is read.
    bool take_keyframe_request();

    // One presentation pass. When a new picture was decoded, or something else visible changed
    // (see request_redraw), uploads the picture, draws the video (or its source rectangle) over
    // the whole window, the overlay on top, and presents; otherwise does nothing. Does nothing
    // before init_standalone succeeded or after stop.
    void update();
    // The next update draws and presents even without a new picture: the window was exposed or
    // resized, or what the overlay shows changed.
    void request_redraw() { redraw_needed = true; }
    // After SDL_RENDER_DEVICE_RESET, which takes every texture with it: makes the texture anew and
    // puts the newest picture back into it. False after a line on stderr; update() then draws
    // nothing until a later recovery succeeds.
    bool recover_render_device();

    // The part of the picture, in video pixels, that fills the window; used when enabled and both
    // w and h are above 0. Stored as given.
    void set_source_rect(bool enabled, int x, int y, int w, int h);
    void set_overlay_callback(OverlayCallback callback);

    int get_width() const { return width; }
    int get_height() const { return height; }
    uint32_t get_window_id() const { return window_id; }

    // Opens the Opus decoder and a 48 kHz stereo playback device, held until the first packets
    // fill its queue, once; with false, or a second time, does nothing. A failure is reported on
    // stderr and leaves screen audio off.
    void enable_screen_audio(bool enable);
    // The gain applied from the next audio packet on; the viewer passes 0.0 while muted.
    void set_screen_volume(float gain);
    // Takes one audio datagram (AUDIO_FLAG set): conceals up to three lost packets before it,
    // decodes it, applies the gain and queues the samples for playback, resampled by the small
    // correction that holds the playback queue at its target depth whatever the sender's clock
    // does. A queue that ran dry is refilled to the target before playback goes on; one already
    // 200 ms deep takes nothing more. Ignored while screen audio is off or the receiver is not
    // running. Main thread only.
    void handle_audio_packet(const uint8_t* datagram, int length);

    // Ends decoding and releases codecs, then the window objects; logs each step. Safe to repeat.
    void stop();
    // Joins the decode thread (a watchdog reports a join blocked for more than 5 s) and releases
    // the decoder, the conversion, the picture buffers and every queued frame. Runs once.
    void stop_decode_and_codecs();
    // Destroys texture, renderer and window, in that order, those that exist.
    void destroy_sdl_objects();

    // Counters and timings for the stats line and the benchmarks.
    const ReceiverStats& statistics() const { return stats; }
    ReceiverStats& statistics() { return stats; }
    // Waits, up to `limit`, while a completed frame is still being decoded, so that the update that
    // follows presents its picture instead of the one before. Returns at once when the decoder has
    // nothing in hand.
    void wait_for_picture(std::chrono::milliseconds limit);
    // True when the decoder has nothing in hand: every complete frame was decoded or dropped.
    bool decoder_idle() const { return decode_queue.idle(); }
    // Screen audio waiting in the playback queue, in bytes; 0 without screen audio.
    uint32_t audio_queue_bytes() const { return audio_device.queued_bytes(); }
    // A copy of the newest decoded picture (width x height BGRA), for tests and benchmarks.
    std::vector<uint8_t> newest_picture() { return pictures.copy_front(); }

  private:
    friend struct ReceiverProbe;  // the audio tests look inside through it

    // Queues the samples staged for one datagram (stereo frames), resampled by the correction for
    // `queued` bytes already waiting when it arrived at `now`; holds and lets go playback around
    // a refill. Nothing once the receiver stopped or playback is already far enough behind.
    void play(const std::vector<int16_t>& staged, uint32_t queued, Clock::time_point now);
    void release_screen_audio();

    std::atomic<bool> running{false};
    std::atomic<bool> cleanup_done{false};
    uint32_t uid = 0;
    int width = 0;
    int height = 0;
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
    SDL_Texture* texture = nullptr;
    uint32_t window_id = 0;

    FrameReassembler reassembler;
    DecodeQueue decode_queue;
    PictureHandoff pictures;
    std::atomic<bool> keyframe_requested{false};
    ReceiverStats stats;
    VideoDecoder decoder{decode_queue, pictures, stats, keyframe_requested};

    OverlayCallback overlay_callback;
    bool source_rect_enabled = false;
    SDL_Rect source_rect{0, 0, 0, 0};
    bool redraw_needed = true;  // the first update draws whatever there is

    bool screen_audio_enabled = false;
    audio::AudioDevice audio_device;
    audio::OpusDecoderHandle audio_decoder;
    audio::DriftResampler audio_resampler;
    audio::PlaybackLatencyController audio_latency;
    audio::QueueDepthSampler audio_depth_sampler;  // declared after the device: stops before it
    std::atomic<float> audio_gain{1.0f};
    uint32_t last_audio_sequence = 0;
    bool audio_holding = true;  // playback held until the queue is filled
    Clock::time_point last_audio_time{};
    uint32_t audio_queued_after = 0;    // bytes in the queue once the last datagram was queued
    std::vector<int16_t> audio_staged;  // one datagram's samples, concealment first
    std::vector<int16_t> audio_resampled;
};

}  // namespace nimbar::client
