#pragma once

// The video decoder and its thread: complete frames from the decode queue through libavcodec,
// past the keyframe gate, and the newest picture of each batch published to the picture hand-off:
// the decoder's own picture when it can go to the screen as it is, else converted to BGRA at the
// receiver's size (see picture_path.h). It decodes with slice threads (no
// delay) and switches to frame threads at a keyframe when it stays behind (DecodePace). Frame
// threads hand out each picture only when the next frame comes; when the stream pauses instead,
// the held picture is drained out, so that the last change before a still screen is shown, and
// decoding starts again at a keyframe with slice threads (a keyframe request goes out at once).
// Only that delay counts as a picture held: frames that show nothing (a hidden VP8 frame, H.264
// parameter sets alone) and H.264's own reordering of B-frames, which no decoder can hand out
// before the next frame without losing its references, never make a pause cost a keyframe.
//
// H.264 parameter sets are kept as they come, and every decoder context opened later starts with
// them, so that an IDR picture without its own is a keyframe all the same. After a loss an H.264
// stream with periodic intra refresh heals from a recovery point: the decoder is flushed there,
// and libavcodec then hands out only whole pictures, from the end of the refresh on.
//
// The thread reads `running` at each decision point (on waking, before each frame, before
// publishing); the owner stops it by clearing `running` and aborting the queue, then joins it.
// Everything else here belongs to the thread while it runs.

#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "receiver/compressed_frame.h"
#include "receiver/decode_pace.h"
#include "receiver/decode_queue.h"
#include "receiver/keyframe.h"
#include "receiver/keyframe_gate.h"
#include "receiver/picture_conversion.h"
#include "receiver/picture_handoff.h"
#include "receiver/picture_path.h"
#include "receiver/receiver_stats.h"

struct AVCodec;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace nimbar::client {

class VideoDecoder {
  public:
    // Raises `keyframe_requested` when a keyframe is wanted from the host. All references outlive
    // the decoder.
    VideoDecoder(DecodeQueue& queue, PictureHandoff& pictures, ReceiverStats& stats,
                 std::atomic<bool>& keyframe_requested)
        : queue(queue), pictures(pictures), stats(stats), keyframe_requested(keyframe_requested) {}
    ~VideoDecoder();  // joins a thread still running (the owner normally has), then releases
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // Opens the decoder for a receiver of width x height; `yuv_textures`: the 4:2:0 pictures the
    // renderer shows as they are. False after one line on stderr, with nothing left open.
    bool open(VideoCodec codec, int width, int height, YuvTextures yuv_textures);
    // The buffers for pictures converted to BGRA, made now. False when there is not the memory.
    [[nodiscard]] bool allocate_pictures() { return bgra.open(width, height); }
    // Starts the decode thread. `running` outlives it. False after a line on stderr when the
    // system has no thread to give.
    [[nodiscard]] bool start(const std::atomic<bool>& running);
    bool thread_started() const { return thread.joinable(); }
    // Waits for the thread to end. A watchdog reports on stderr a join blocked for more than 5 s
    // (when a thread for it can be had); the join itself waits as long as it takes.
    void join();
    // Frees the conversion, packet, pictures and the decoder context, in that order; safe to
    // repeat. After the join.
    void release();

  private:
    using Clock = CompressedFrame::Clock;

    // A decoder context with these threads, in codec_context, given the parameter sets kept so
    // far. False after a line on stderr.
    bool open_context(DecoderThreads kind);
    // At a keyframe: a new context with other threads (the old one's if that fails).
    void switch_threads(DecoderThreads kind);
    void run(const std::atomic<bool>& running);
    // Sends one frame to the decoder. When a picture came out (kept in newest_picture), the time
    // the frame it shows was completed.
    std::optional<Clock::time_point> decode(const CompressedFrame& frame);
    // When the frame sent as `packet_number` was completed; `fallback` when it is not known.
    Clock::time_point completed_at_of(int64_t packet_number, Clock::time_point fallback);
    // Every picture the decoder has ready, newest kept in newest_picture: as decode().
    std::optional<Clock::time_point> receive_pictures(Clock::time_point fallback);
    // The stream paused with pictures held back: gets them out and publishes the newest, then
    // restarts the decoder at the next keyframe.
    void drain_held_pictures(const std::atomic<bool>& running);
    void count_decode_error();
    // Pictures that frame threads hold back and a pause would leave unseen.
    size_t pictures_held() const;
    // Hands newest_picture over, converted when it must be.
    void publish(CompressedFrame::Clock::time_point completed_at);
    void report_gate();

    DecodeQueue& queue;
    PictureHandoff& pictures;
    ReceiverStats& stats;
    std::atomic<bool>& keyframe_requested;

    int width = 0;
    int height = 0;
    VideoCodec video_codec = VideoCodec::VP8;
    const AVCodec* codec = nullptr;
    AVCodecContext* codec_context = nullptr;
    AVFrame* decoded_frame = nullptr;
    AVPacket* packet = nullptr;
    // The newest picture the decoder delivered, kept for conversion: a receive that finds nothing
    // ready empties decoded_frame.
    AVFrame* newest_picture = nullptr;
    AVFrame* outgoing = nullptr;  // what publish() hands over
    BgraConversion bgra;
    YuvTextures yuv_textures;
    uint32_t decode_error_count = 0;  // failures since the last picture
    DecoderThreads threads = DecoderThreads::Slice;
    int64_t next_packet_number = 0;
    // Whether each frame still inside the frame threads shows a picture: the last
    // DECODER_THREADS - 1 sent, whose outcome comes back only with the next send.
    std::deque<bool> in_frame_threads;
    std::vector<uint8_t> parameter_sets;  // H.264, Annex B: the newest SPS and PPS units seen
    std::deque<std::pair<int64_t, Clock::time_point>> in_flight;  // sent, picture not yet out
    KeyframeGate gate;
    DecodePace pace;
    std::thread thread;
};

}  // namespace nimbar::client
