#include "host/video_stream.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "host/audio_sender.h"
#include "host/control_listener.h"
#include "host/frame_sender.h"
#include "host/frame_source.h"
#include "host/ivf_file.h"
#include "host/pacer.h"
#include "host/pauses.h"
#include "host/video_encoder.h"
#include "host/video_file_source.h"
#include "protocol/fragmenter.h"
#include "protocol/media_datagram.h"

namespace nimbar::host {

namespace {

// The pictures to encode: the video file when one is given, otherwise the test pattern or the raw
// BGRA file.
class PictureSource {
  public:
    explicit PictureSource(const HostOptions& options) {
        if (!options.video.empty()) {
            video.emplace(options.width, options.height, options.video);
        } else if (!options.input.empty()) {
            frames.emplace(options.width, options.height, options.input);
        } else {
            frames.emplace(options.width, options.height, options.pattern_noise);
        }
    }

    bool ok() const { return video ? video->ok() : frames->ok(); }

    bool next(uint32_t frame_number, std::vector<uint8_t>& bgra) {
        return video ? video->next(bgra) : frames->next(frame_number, bgra);
    }

  private:
    std::optional<FrameSource> frames;
    std::optional<VideoFileSource> video;
};

VideoCodec video_codec(HostCodec codec) {
    return codec == HostCodec::H264 ? VideoCodec::H264 : VideoCodec::VP8;
}

const char* codec_name(VideoCodec codec) {
    return codec == VideoCodec::H264 ? "H.264" : "VP8";
}

EncoderSettings encoder_settings(const HostOptions& options) {
    EncoderSettings settings;
    settings.codec = video_codec(options.codec);
    settings.width = options.width;
    settings.height = options.height;
    // The encoders take whole frame rates; rate control only needs it roughly.
    settings.fps = static_cast<int>(std::max(1L, std::lround(options.fps)));
    settings.bitrate_kbps = options.bitrate_kbps;
    settings.keyframe_interval = options.keyframe_interval;
    return settings;
}

// Reads picture `frame_number` and encodes it. False after an error line.
bool encode_next(PictureSource& source, VideoEncoder& encoder, uint32_t frame_number,
                 bool force_keyframe, std::vector<uint8_t>& picture, EncodedFrame& encoded) {
    if (!source.next(frame_number, picture)) {
        fprintf(stderr, "[Host] Error: cannot read frame %u\n", frame_number);
        return false;
    }
    return encoder.encode(picture, force_keyframe, encoded.bytes, encoded.keyframe);
}

// False after the error line when the frame cannot be sent whole.
bool fits_in_fragments(const EncodedFrame& frame, uint32_t frame_number) {
    if (protocol::fragment_count_for(frame.bytes.size()) <= protocol::MAX_FRAGMENTS) {
        return true;
    }
    fprintf(stderr, "[Host] Error: frame %u is %zu bytes, more than %u fragments; skipped\n",
            frame_number, frame.bytes.size(), static_cast<unsigned>(protocol::MAX_FRAGMENTS));
    return false;
}

// Encodes the first `count` pictures into `clip`, starting with a keyframe; `numbers` gets each
// one's picture number. False after an error line when encoding failed or nothing of it can be
// sent.
bool encode_clip(PictureSource& source, VideoEncoder& encoder, int count,
                 const std::atomic<bool>& stop, std::vector<EncodedFrame>& clip,
                 std::vector<uint32_t>& numbers) {
    std::vector<uint8_t> picture;
    bool want_keyframe = true;
    for (int i = 0; i < count && !stop.load(); ++i) {
        const auto frame_number = static_cast<uint32_t>(i + 1);
        EncodedFrame encoded;
        if (!encode_next(source, encoder, frame_number, want_keyframe, picture, encoded)) {
            return false;
        }
        if (encoded.bytes.empty()) {
            continue;  // nothing out this time; a keyframe asked for is still owed
        }
        if (!fits_in_fragments(encoded, frame_number)) {
            want_keyframe = true;
            continue;
        }
        want_keyframe = false;
        clip.push_back(std::move(encoded));
        // The encoder holds nothing back (no lookahead), so what came out is this picture.
        numbers.push_back(frame_number);
    }
    if (clip.empty() && !stop.load()) {
        fprintf(stderr, "[Host] Error: none of the %d pre-encoded frames can be sent\n", count);
        return false;
    }
    return true;
}

// Fills `clip` with the frames of the IVF file options.clip, which must hold options.codec and
// start with a keyframe. False after an error line.
bool read_clip_file(const HostOptions& options, std::vector<EncodedFrame>& clip) {
    IvfClip file;
    if (!read_ivf(options.clip, file)) {
        return false;
    }
    const VideoCodec codec = video_codec(options.codec);
    if (file.codec != codec) {
        fprintf(stderr, "[Host] Error: %s holds %s, not %s as --codec says\n", options.clip.c_str(),
                codec_name(file.codec), codec_name(codec));
        return false;
    }
    // A keyframe request starts the loop over at the first frame: a viewer must be able to begin
    // decoding there.
    if (!file.frames.front().keyframe) {
        fprintf(stderr, "[Host] Error: %s does not start with a keyframe\n", options.clip.c_str());
        return false;
    }
    clip = std::move(file.frames);
    return true;
}

// The video half of the stream: a picture encoded for each frame, or a clip over and over, either
// pre-encoded or read from a file.
class VideoFrames {
  public:
    explicit VideoFrames(const HostOptions& options)
        : options(options),
          numbered(options.clip.empty() && options.video.empty() && options.input.empty()) {}

    // The clip file, or the source and the encoder. False after an error line.
    bool open() {
        if (!options.clip.empty()) {
            return read_clip_file(options, clip);
        }
        source.emplace(options);
        return source->ok() && encoder.open(encoder_settings(options));
    }

    // Encodes the clip when options.preencode asks for one. False after an error line.
    bool prepare(const std::atomic<bool>& stop) {
        return options.preencode == 0 ||
               encode_clip(*source, encoder, options.preencode, stop, clip, clip_numbers);
    }

    // Sets `frame` to what goes out as frame `frame_id`, or to nullptr when nothing does this time
    // (the encoder held the frame back, or it was too large to send). `force_keyframe` asks for a
    // keyframe and stays set while one is owed. `shown` is the test pattern's frame number the
    // frame shows, when the pictures are the pattern's. False after an error line.
    bool next(uint32_t frame_id, bool& force_keyframe, const EncodedFrame*& frame,
              std::optional<uint32_t>& shown) {
        frame = nullptr;
        shown.reset();
        if (!clip.empty()) {
            if (force_keyframe) {
                clip_position = 0;  // the clip's first frame is its keyframe
                force_keyframe = false;
            }
            frame = &clip[clip_position];
            if (numbered) {
                shown = clip_numbers[clip_position];
            }
            clip_position = (clip_position + 1) % clip.size();
            return true;
        }
        if (!encode_next(*source, encoder, frame_id, force_keyframe, picture, fresh)) {
            return false;
        }
        if (fresh.bytes.empty()) {
            return true;  // nothing out this time; a keyframe asked for is still owed
        }
        force_keyframe = !fits_in_fragments(fresh, frame_id);
        if (!force_keyframe) {
            frame = &fresh;
            if (numbered) {
                shown = frame_id;  // the picture drawn for this id, out at once (no lookahead)
            }
        }
        return true;
    }

  private:
    const HostOptions& options;
    // The pictures are the test pattern's, so a frame's picture number is known.
    const bool numbered;
    std::optional<PictureSource> source;  // none with a clip file
    VideoEncoder encoder;
    std::vector<EncodedFrame> clip;
    std::vector<uint32_t> clip_numbers;  // each pre-encoded frame's picture number
    size_t clip_position = 0;
    std::vector<uint8_t> picture;
    EncodedFrame fresh;
};

}  // namespace

bool stream_video_frames(const HostOptions& options, const std::atomic<bool>& stop,
                         StreamSummary& summary) {
    std::optional<VideoFrames> video;
    if (options.has_video()) {
        video.emplace(options);
        if (!video->open()) {
            return false;
        }
    }
    FrameSender sender(options);
    if (video && !sender.open()) {
        return false;
    }
    std::optional<AudioSender> audio;
    if (options.has_audio()) {
        audio.emplace(options);
        if (!audio->open()) {
            return false;
        }
    }
    ControlListener listener;
    if (options.listen_port != 0) {
        if (!listener.open(options.listen_port)) {
            return false;
        }
        printf("[Host] Listening for control datagrams on 127.0.0.1:%u\n",
               static_cast<unsigned>(listener.local_port()));
        fflush(stdout);
    }
    if (video && !video->prepare(stop)) {
        return false;
    }

    const Pacer pacer(options.fps);
    // The frames' clock: the run's, but for the lag a still spell forgives (PauseSchedule).
    Pacer video_clock = pacer;
    const Pacer audio_clock(audio_packet_rate(options.audio_drift_ppm), pacer.start_time());
    const int64_t total = options.frame_total();
    // Audio packets due from here on are not sent.
    const Pacer::Clock::time_point end =
        pacer.start_time() + std::chrono::duration_cast<Pacer::Clock::duration>(
                                 std::chrono::duration<double>(options.duration_seconds()));
    const PauseSchedule pauses(options);
    int64_t slot = 0;  // the next frame slot on the clock, still ones included
    int64_t k = 0;     // frame ids used so far: the next one is first_frame_id + k
    bool still = false;
    std::optional<uint32_t> last_sent_id;
    std::optional<uint32_t> last_sent_picture;
    bool force_keyframe = false;
    bool ok = true;

    // One schedule for both: whatever is due first goes next, so audio keeps its pace while frames
    // are encoded and sent. Each frame is sent whole before the next begins; audio slips in only
    // between frames, or with spread between a frame's steps. Neither schedule slips when late.
    while (!stop.load()) {
        std::optional<Pacer::Clock::time_point> video_due;
        if (sender.pending()) {
            video_due = sender.next_due(video_clock);
        } else if (video && slot < total) {
            video_due = video_clock.due(static_cast<uint64_t>(slot));
        }
        std::optional<Pacer::Clock::time_point> audio_due;
        if (audio) {
            const auto due = audio_clock.due(audio->packets());
            if (due < end) {
                audio_due = audio->send_time(due);
            }
        }
        if (!video_due && !audio_due) {
            break;
        }
        const bool audio_turn = audio_due && (!video_due || *audio_due <= *video_due);
        std::this_thread::sleep_until(audio_turn ? *audio_due : *video_due);

        const ControlEvents events = listener.poll();
        if (events.keyframe_requests > 0) {
            summary.keyframe_requests += events.keyframe_requests;
            force_keyframe = true;
        }
        if (audio_turn) {
            if (!audio->send_next(summary)) {
                ok = false;
                break;
            }
            continue;
        }
        if (!sender.pending()) {
            // A still slot sends nothing; a keyframe asked for meanwhile is the next frame.
            if (pauses.still(static_cast<uint64_t>(slot))) {
                if (!still) {
                    pauses.begin_still_spell(video_clock, static_cast<uint64_t>(slot));
                    print_still_line(last_sent_id, last_sent_picture);
                }
                still = true;
                ++slot;
                continue;
            }
            still = false;
            const auto frame_id = static_cast<uint32_t>(options.first_frame_id + k);
            const EncodedFrame* frame = nullptr;
            std::optional<uint32_t> picture;
            if (!video->next(frame_id, force_keyframe, frame, picture)) {
                ok = false;
                break;
            }
            if (frame == nullptr) {
                ++k;  // its id stays unused
                ++slot;
                continue;
            }
            sender.begin(frame->bytes, frame_id, static_cast<uint64_t>(slot));
            ++k;
            ++slot;
            ++summary.frames;
            summary.keyframes += frame->keyframe ? 1 : 0;
            last_sent_id = frame_id;
            last_sent_picture = picture;
        }
        sender.send_due(summary);
    }
    summary.seconds = pacer.elapsed_seconds();
    summary.impairments = sender.impairment_counters();
    return ok;
}

}  // namespace nimbar::host
