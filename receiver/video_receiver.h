#pragma once

// The viewer's receive, decode and present object. It rebuilds compressed video frames from
// fragment datagrams (main thread), decodes them on its own decode thread into BGRA pictures of a
// fixed size, and shows the newest picture in its window on every update() (main thread).
//
// Threads and locks: the main thread calls every public operation; the decode thread runs
// decode_loop. slots_mutex guards the slot table, queue_mutex (with queue_condition) the decode
// queue, picture_mutex the picture hand-off. slots_mutex is taken before queue_mutex; picture_mutex
// is never held together with another lock. Flags shared between threads are atomics.

#include <SDL.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "audio/audio_device.h"
#include "audio/opus_decoder_handle.h"
#include "receiver/decode_queue.h"
#include "receiver/frame_slot.h"
#include "receiver/receiver_stats.h"

struct AVCodec;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

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

    // One presentation pass: uploads a new picture if there is one, draws the video (or its source
    // rectangle) over the whole window, the overlay on top, and presents. Does nothing before
    // init_standalone succeeded or after stop.
    void update();

    // The part of the picture, in video pixels, that fills the window; used when enabled and both
    // w and h are above 0. Stored as given.
    void set_source_rect(bool enabled, int x, int y, int w, int h);
    void set_overlay_callback(OverlayCallback callback);

    int get_width() const { return width; }
    int get_height() const { return height; }
    uint32_t get_window_id() const { return window_id; }

    // Opens the Opus decoder and a 48 kHz stereo playback device, once; with false, or a second
    // time, does nothing. A failure is reported on stderr and leaves screen audio off.
    void enable_screen_audio(bool enable);
    // The gain applied from the next audio packet on; the viewer passes 0.0 while muted.
    void set_screen_volume(float gain);
    // Takes one audio datagram (AUDIO_FLAG set): conceals up to three lost packets before it,
    // decodes it, applies the gain and queues the samples for playback. Ignored while screen audio
    // is off or the receiver is not running. Main thread only.
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
    // Screen audio waiting in the playback queue, in bytes; 0 without screen audio.
    uint32_t audio_queue_bytes() const { return audio_device.queued_bytes(); }

  private:
    friend struct ReceiverProbe;  // the tests look inside through it

    bool open_decoder(uint8_t codec_selector);
    void decode_loop();
    // Sends one frame to the decoder and keeps its picture, if it delivers one, in newest_picture.
    bool decode_frame(const QueuedFrame& frame);
    void count_decode_error();
    // Converts newest_picture into back_buffer and swaps it with front_buffer.
    void publish_picture(Clock::time_point completed_at);
    void purge_slots();
    void erase_slots_up_to(uint32_t frame_id);
    bool sweep_slots(Clock::time_point now);
    void queue_frame(QueuedFrame&& frame);
    // Applies the gain and queues `count` values, unless the receiver stopped or playback is
    // already far enough behind.
    void play(int16_t* samples, size_t count);
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
    std::mutex slots_mutex;
    std::unordered_map<uint32_t, FrameSlot> frame_slots;
    uint32_t last_completed_frame_id = 0;
    std::mutex queue_mutex;
    std::condition_variable queue_condition;
    std::vector<QueuedFrame> decode_queue;
    uint64_t queue_read = 0;
    uint64_t queue_write = 0;
    uint64_t queue_count = 0;
    std::thread decode_thread;
    std::mutex picture_mutex;
    std::vector<uint8_t> front_buffer;
    std::atomic<bool> new_picture{false};
    const AVCodec* codec = nullptr;
    AVCodecContext* codec_context = nullptr;
    AVFrame* decoded_frame = nullptr;
    AVPacket* packet = nullptr;
    SwsContext* scaler = nullptr;
    std::vector<uint8_t> back_buffer;
    OverlayCallback overlay_callback;
    bool source_rect_enabled = false;
    SDL_Rect source_rect{0, 0, 0, 0};
    bool screen_audio_enabled = false;
    audio::AudioDevice audio_device;
    audio::OpusDecoderHandle audio_decoder;
    std::atomic<float> audio_gain{1.0f};
    uint32_t last_audio_sequence = 0;
    uint64_t buffered_bytes = 0;
    uint32_t decode_error_count = 0;
    std::atomic<bool> keyframe_requested{false};

    // Whether last_completed_frame_id names a frame that completed (0 names none at first);
    // fragments of a completed frame are dropped, so that no frame is decoded twice. slots_mutex.
    bool last_completed_valid = false;
    // The newest picture the decoder delivered, kept for conversion: a receive that finds nothing
    // ready empties decoded_frame. Decode thread only.
    AVFrame* newest_picture = nullptr;
    // When the last fragment of front_buffer's frame arrived. picture_mutex.
    Clock::time_point front_completed_at{};
    // Frames put into the decode queue, and frames done with: decoded (or failed) by the decode
    // thread (under picture_mutex, announced on picture_ready), or pushed out of the full queue.
    std::atomic<uint64_t> frames_handed_over{0};
    std::atomic<uint64_t> frames_taken_up{0};
    std::condition_variable picture_ready;
    ReceiverStats stats;
};

}  // namespace nimbar::client
