#pragma once

// The viewer's receive, decode and present object. It rebuilds compressed video frames from
// fragment datagrams (main thread), decodes them on its own decode thread, and shows the newest
// picture in its window (main thread): 4:2:0 pictures go to the GPU as they are, others are
// converted to BGRA at the receiver's size (see picture_path.h). It owns the parts of that path,
// each with its own header:
//   FrameReassembler  fragments into frames, and the frames lost on the way (main thread only)
//   DecodeQueue       complete frames for the decode thread (its own lock, wake-up and abort)
//   VideoDecoder      the decoder and its thread, behind a keyframe gate: after a loss nothing is
//                     decoded until a keyframe, so that only true pictures are shown
//   PictureHandoff    the newest picture, from the decode thread to update() (its own lock)
//   PictureTexture    the texture that shows it, shaped after the picture
// and ScreenAudioPlayer, the stream's sound. The main thread calls every public operation.

#include <SDL.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "audio/screen_audio_player.h"
#include "receiver/codec_check.h"
#include "receiver/decode_queue.h"
#include "receiver/frame_reassembler.h"
#include "receiver/picture_handoff.h"
#include "receiver/picture_texture.h"
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
    // then starts the decode thread. Zoom and pan work in width x height units, whatever size
    // the stream's pictures have. False after one line on stderr, with nothing left behind.
    // Called once per receiver.
    bool init_standalone(int width, int height, uint8_t codec_selector);

    // Takes one fragment datagram (AUDIO_FLAG clear, header included) from `from` that arrived at
    // `now`. Malformed and stale fragments are dropped silently; a frame still incomplete 250 ms
    // after its first fragment is reported on stderr and raises the keyframe request, and so, at
    // most every KEYFRAME_ASK_AGAIN, does a frame held back because its numbering is not the
    // stream's (yet) while the stream itself has completed nothing for as long. Ignored unless
    // running.
    void handle_video_packet(const uint8_t* datagram, int length, protocol::Sender from,
                             Clock::time_point now);
    // Gives up frames still incomplete 250 ms after their first fragment, as each fragment does:
    // a stream that stops after an incomplete frame gets its "Dropped frame" line and its keyframe
    // request all the same. The loop calls it every pass.
    void expire_incomplete_frames(Clock::time_point now);

    // True once per raised request: the flag is cleared as it is read.
    bool take_keyframe_request();

    // One presentation pass. When a new picture was decoded, or something else visible changed
    // (see request_redraw), uploads the picture, draws the video (or its source rectangle) over
    // the whole window, the overlay on top, and presents; otherwise does nothing. While the window
    // is minimised or hidden nothing is drawn: the newest picture waits, and is drawn at once when
    // the window comes back (request_redraw). A present that did not reach the screen (the render
    // device was lost) is made again every PRESENT_RETRY until one does. Does nothing before
    // init_standalone succeeded or after stop.
    void update();
    // The next update draws and presents even without a new picture: the window was exposed or
    // resized, or what the overlay shows changed.
    void request_redraw() { redraw_needed = true; }
    // After SDL_RENDER_DEVICE_RESET, which takes every texture with it: makes the texture anew and
    // puts the newest picture back into it. False after a line on stderr; update() then draws
    // nothing until a later recovery succeeds.
    bool recover_render_device();

    // The part of the picture, in video pixels, that fills the picture's area; used when enabled
    // and both w and h are above 0. Stored as given.
    void set_source_rect(bool enabled, int x, int y, int w, int h);
    void set_overlay_callback(OverlayCallback callback);
    // Stretched over the window (the default), or with the stream's shape kept: see
    // picture_area.h.
    void set_keep_shape(bool keep);
    bool keeps_shape() const { return keep_shape; }
    // Where the picture goes in the window, in window coordinates, as the next draw puts it.
    SDL_Rect picture_area() const;

    int get_width() const { return width; }
    int get_height() const { return height; }
    // The size of the stream's newest picture shown; the receiver's own before the first.
    int stream_width() const { return shown_width; }
    int stream_height() const { return shown_height; }
    uint32_t get_window_id() const { return window_id; }

    // Screen audio (see ScreenAudioPlayer). With true, opens it once; with false, or a second
    // time, does nothing. A failure is reported on stderr; a device that did not open is looked
    // for again once a second, and only a decoder that failed leaves screen audio off.
    void enable_screen_audio(bool enable) {
        if (enable) {
            screen_audio.open();
        }
    }
    // The gain applied from the next audio packet on; the viewer passes 0.0 while muted.
    void set_screen_volume(float gain) { screen_audio.set_gain(gain); }
    // SDL_AUDIODEVICEREMOVED for the playback device with this id, at `now`.
    void screen_audio_device_removed(uint32_t device_id, Clock::time_point now) {
        screen_audio.device_removed(device_id, now);
    }
    // The caller's loop was held up: the sound waiting for the sound card is late, and is dropped;
    // playback starts again at its target.
    void resume_after_stall() { screen_audio.drop_queued(); }
    // Takes one audio datagram (AUDIO_FLAG set, header included) that arrived at `now`. Ignored
    // while screen audio is off or the receiver is not running.
    void handle_audio_packet(const uint8_t* datagram, int length, Clock::time_point now);

    // Ends decoding and releases codecs and screen audio, then the window objects; logs each step.
    // Safe to repeat.
    void stop();

    // Waits, up to `limit`, while a completed frame is still being decoded, so that the update that
    // follows presents its picture instead of the one before. Returns at once when a picture is
    // new or the decoder has nothing in hand; true in the latter case: every complete frame was
    // decoded or dropped.
    bool wait_for_picture(std::chrono::milliseconds limit);

    // Counters and timings for the stats line and the benchmarks.
    const ReceiverStats& statistics() const { return stats; }
    // The timings since the last take, for one interval of the stats line.
    ReceiverStats::Timings take_timings() { return stats.take_timings(); }
    const audio::ScreenAudioStats& screen_audio_statistics() const {
        return screen_audio.statistics();
    }
    // Screen audio waiting in the playback queue, in bytes; 0 without screen audio.
    uint32_t audio_queue_bytes() const { return screen_audio.queued_bytes(); }

  private:
    friend struct ReceiverProbe;  // the teardown test reads the window handles through it

    void count_losses(const FragmentResult& result);
    // Joins the decode thread (a watchdog reports a join blocked for more than 5 s) and releases
    // the decoder, the conversion, the picture buffers, the screen audio and every queued frame.
    // Runs once.
    void stop_decode_and_codecs();
    // Destroys texture, renderer and window, in that order, those that exist.
    void destroy_sdl_objects();

    std::atomic<bool> running{false};
    std::atomic<bool> cleanup_done{false};
    uint32_t uid = 0;
    int width = 0;
    int height = 0;
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
    PictureTexture picture_texture;
    AVFrame* on_screen = nullptr;  // the picture in the texture, for a texture made anew
    bool texture_failing = false;  // no texture fits the pictures: said once, until one does
    uint32_t window_id = 0;

    FrameReassembler reassembler;
    CodecCheck codec_check;  // a stream in the other codec gets a line on stderr
    DecodeQueue decode_queue;
    PictureHandoff pictures;
    std::atomic<bool> keyframe_requested{false};
    ReceiverStats stats;
    VideoDecoder decoder{decode_queue, pictures, stats, keyframe_requested};

    OverlayCallback overlay_callback;
    bool source_rect_enabled = false;
    bool keep_shape = false;
    int shown_width = 0;  // the stream's, as its newest picture shown says
    int shown_height = 0;
    SDL_Rect source_rect{0, 0, 0, 0};
    std::optional<Clock::time_point> held_frame_asked;      // when a held frame last asked
    std::optional<Clock::time_point> stream_progressed_at;  // a frame of the stream completed
    bool redraw_needed = true;                          // the first update draws whatever there is
    std::optional<Clock::time_point> present_retry_at;  // the last present did not show

    audio::ScreenAudioPlayer screen_audio;
};

}  // namespace nimbar::client
