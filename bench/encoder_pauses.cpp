// A still screen streamed by another host's encoder: ffmpeg makes a clip (libx264 with B-frames,
// or two-pass libvpx with alt-ref frames that are never shown), and this program sends it to the
// video_player given, from a socket of its own at --fps, with a still spell after every
// --active-ms, answering "KFRQ" with the clip's next keyframe. At the end of each still spell it
// reads the viewer's window and finds which of the clip's pictures it shows: the newest one a
// decoder can have handed out by then (B-frames hold the newest back until the next frame), or an
// older one.
//
//   encoder_pauses --viewer <video_player> --clip bframes|altref [--fps <n>] [--pauses <n>]
//                  [--active-ms <ms>] [--still-ms <ms>]
//
// Prints one line:
//   [Pauses] clip=.. fps=.. pauses=.. last_picture=.. (others expected:shown ..) kfrq=..
//   kfrq_per_pause=.. frames=..
// Needs an X display and the ffmpeg command-line tool.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include "net/udp_socket.h"
#include "protocol/control_datagram.h"
#include "tests/support/child_process.h"
#include "tests/support/encoded_stream.h"
#include "tests/support/encoder_clip.h"
#include "tests/support/x11_window.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using nimbar::testing::EncoderClip;

// Small enough for a quick clip and a cheap comparison, large enough for testsrc2's moving parts.
constexpr int WIDTH = 640;
constexpr int HEIGHT = 360;
// Pictures are told apart at this size, grey.
constexpr int THUMB_WIDTH = 160;
constexpr int THUMB_HEIGHT = 90;
// The window is read this far into each still spell: every picture there is to show is up.
constexpr double LOOK_AT_SHARE = 0.8;
// The viewer's start-up, and its window's, at most.
constexpr auto START_TIMEOUT = 10s;

struct Options {
    std::string viewer;
    std::string clip = "bframes";
    int fps = 10;
    int pauses = 10;
    int active_ms = 2000;
    int still_ms = 1500;
};

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--viewer") {
            options.viewer = value;
        } else if (name == "--clip") {
            options.clip = value;
        } else if (name == "--fps") {
            options.fps = std::atoi(value.c_str());
        } else if (name == "--pauses") {
            options.pauses = std::atoi(value.c_str());
        } else if (name == "--active-ms") {
            options.active_ms = std::atoi(value.c_str());
        } else if (name == "--still-ms") {
            options.still_ms = std::atoi(value.c_str());
        } else {
            return false;
        }
    }
    return !options.viewer.empty() && options.fps > 0 && options.pauses > 0 &&
           (options.clip == "bframes" || options.clip == "altref");
}

using Thumb = std::vector<uint8_t>;

// The clip's pictures in display order, as grey thumbnails.
std::vector<Thumb> clip_thumbs(const EncoderClip& clip) {
    const AVCodec* codec = avcodec_find_decoder(
        clip.codec == nimbar::host::VideoCodec::H264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_VP8);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    AVPacket* packet = av_packet_alloc();
    AVFrame* picture = av_frame_alloc();
    std::vector<Thumb> thumbs;
    SwsContext* scaler = nullptr;
    if (avcodec_open2(context, codec, nullptr) < 0) {
        return thumbs;
    }
    for (size_t i = 0; i <= clip.frames.size(); ++i) {
        if (i < clip.frames.size()) {
            av_new_packet(packet, static_cast<int>(clip.frames[i].size()));
            std::copy(clip.frames[i].begin(), clip.frames[i].end(), packet->data);
        }
        avcodec_send_packet(context, i < clip.frames.size() ? packet : nullptr);
        av_packet_unref(packet);
        while (avcodec_receive_frame(context, picture) >= 0) {
            scaler = sws_getCachedContext(scaler, picture->width, picture->height,
                                          static_cast<AVPixelFormat>(picture->format), THUMB_WIDTH,
                                          THUMB_HEIGHT, AV_PIX_FMT_GRAY8, SWS_AREA, nullptr,
                                          nullptr, nullptr);
            Thumb thumb(THUMB_WIDTH * THUMB_HEIGHT);
            uint8_t* planes[1] = {thumb.data()};
            const int strides[1] = {THUMB_WIDTH};
            sws_scale(scaler, picture->data, picture->linesize, 0, picture->height, planes,
                      strides);
            thumbs.push_back(std::move(thumb));
        }
    }
    sws_freeContext(scaler);
    av_frame_free(&picture);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return thumbs;
}

// The window's picture as a grey thumbnail (ITU-R 601 luma, as libswscale takes it).
Thumb window_thumb(const nimbar::testing::Screenshot& shot) {
    Thumb thumb(THUMB_WIDTH * THUMB_HEIGHT);
    for (int y = 0; y < THUMB_HEIGHT; ++y) {
        for (int x = 0; x < THUMB_WIDTH; ++x) {
            int sum = 0;
            int count = 0;
            for (int sy = y * shot.height / THUMB_HEIGHT; sy < (y + 1) * shot.height / THUMB_HEIGHT;
                 ++sy) {
                for (int sx = x * shot.width / THUMB_WIDTH; sx < (x + 1) * shot.width / THUMB_WIDTH;
                     ++sx) {
                    const auto pixel = shot.at(sx, sy);
                    sum += (66 * pixel.r + 129 * pixel.g + 25 * pixel.b + 128) / 256 + 16;
                    ++count;
                }
            }
            thumb[static_cast<size_t>(y) * THUMB_WIDTH + x] =
                static_cast<uint8_t>(count > 0 ? sum / count : 0);
        }
    }
    return thumb;
}

int nearest(const std::vector<Thumb>& thumbs, const Thumb& shown) {
    int best = -1;
    int64_t best_distance = 0;
    for (size_t i = 0; i < thumbs.size(); ++i) {
        int64_t distance = 0;
        for (size_t p = 0; p < shown.size(); ++p) {
            distance += std::abs(int{thumbs[i][p]} - int{shown[p]});
        }
        if (best < 0 || distance < best_distance) {
            best = static_cast<int>(i);
            best_distance = distance;
        }
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        fprintf(stderr,
                "usage: encoder_pauses --viewer <video_player> --clip bframes|altref [--fps <n>] "
                "[--pauses <n>] [--active-ms <ms>] [--still-ms <ms>]\n");
        return 2;
    }
    const bool h264 = options.clip == "bframes";
    const int frames = (options.pauses + 1) * options.active_ms * options.fps / 1000;
    const std::string source = "testsrc2=size=" + std::to_string(WIDTH) + "x" +
                               std::to_string(HEIGHT) + ":rate=" + std::to_string(options.fps);
    const std::string encoder_options =
        h264 ? "-preset veryfast -bf 2"
             : "-deadline good -cpu-used 4 -auto-alt-ref 1 -lag-in-frames 16 -b:v 1M";
    const nimbar::testing::ClipRecipe recipe{.encoder = h264 ? "libx264" : "libvpx",
                                             .options = "-frames:v " + std::to_string(frames) +
                                                        " -g " + std::to_string(options.fps * 3) +
                                                        " " + encoder_options,
                                             .sources = {source},
                                             .two_pass = !h264};
    std::string errors;
    const auto clip = nimbar::testing::make_encoder_clip(recipe, errors);
    if (!clip) {
        fprintf(stderr, "no clip: %s\n", errors.c_str());
        return 1;
    }
    const std::vector<Thumb> thumbs = clip_thumbs(*clip);

    nimbar::net::start_networking();
    nimbar::net::UDPSocket host;
    nimbar::net::UDPSocket probe;  // for a free port the viewer takes over
    if (!host.open(0) || !probe.open(0)) {
        return 1;
    }
    const uint16_t viewer_port = probe.local_port();
    probe.close();
    const std::string title = "encoder_pauses";
    nimbar::testing::ChildProcess viewer(
        {options.viewer, "--port", std::to_string(viewer_port), "--parent-port",
         std::to_string(host.local_port()), "--width", std::to_string(WIDTH), "--height",
         std::to_string(HEIGHT), "--codec", h264 ? "1" : "0", "--username", title, "--stats"});
    nimbar::testing::X11Session x11;
    const auto window = x11.find_window("Stream: " + title, START_TIMEOUT);
    if (!window) {
        fprintf(stderr, "no viewer window\n%s", viewer.stderr_text().c_str());
        return 1;
    }

    // The host: frames in their turn, a KFRQ answered with the next keyframe.
    int requests = 0;
    size_t at = 0;
    uint32_t id = 1;
    int newest = -1;     // the newest picture sent since the host last started anew
    int run_first = -1;  // the first of those
    int newest_out = -1;
    int sent = 0;
    int shown_last = 0;
    std::string others;
    auto next_send = Clock::now();
    const auto listen_until = [&](Clock::time_point until) {
        uint8_t buffer[64];
        bool asked = false;
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
            const int length = host.receive(buffer, sizeof buffer,
                                            static_cast<int>(std::max<int64_t>(left.count(), 0)));
            if (length > 0 &&
                nimbar::protocol::is_keyframe_request({buffer, static_cast<size_t>(length)})) {
                ++requests;
                asked = true;
            } else if (Clock::now() >= until) {
                return asked;
            }
        }
    };
    bool jump = false;
    for (int spell = 0; spell <= options.pauses; ++spell) {
        for (int i = 0; i < options.active_ms * options.fps / 1000; ++i) {
            jump = listen_until(next_send) || jump;
            next_send += std::chrono::microseconds(1000000 / options.fps);
            bool starts = at == 0;
            if (std::exchange(jump, false)) {
                while (!clip->restart[at]) {
                    at = (at + 1) % clip->frames.size();
                }
                starts = true;
            }
            const size_t frame = std::exchange(at, (at + 1) % clip->frames.size());
            for (const auto& datagram :
                 nimbar::testing::fragment_datagrams(clip->frames[frame], id)) {
                host.send_to(datagram.data(), datagram.size(), "127.0.0.1", viewer_port);
            }
            ++id;
            ++sent;
            newest = starts ? -1 : newest;
            run_first = starts ? -1 : run_first;
            newest_out = clip->out_after[frame] - 1;
            if (clip->picture[frame] >= 0) {
                newest = std::max(newest, clip->picture[frame]);
                run_first = run_first < 0 ? clip->picture[frame] : run_first;
            }
        }
        if (spell == options.pauses) {
            break;
        }
        const auto look_at = next_send + std::chrono::milliseconds(
                                             static_cast<int>(options.still_ms * LOOK_AT_SHARE));
        jump = listen_until(look_at) || jump;
        const int expected = newest_out >= run_first ? std::min(newest, newest_out) : newest;
        const auto shot = x11.capture(*window);
        const int shown = shot ? nearest(thumbs, window_thumb(*shot)) : -1;
        if (shown == expected) {
            ++shown_last;
        } else {
            others += " " + std::to_string(expected) + ":" + std::to_string(shown);
        }
        next_send += std::chrono::milliseconds(options.still_ms);
        jump = listen_until(next_send) || jump;
    }
    viewer.send_signal(SIGTERM);
    viewer.wait_exit(START_TIMEOUT);
    printf(
        "[Pauses] clip=%s fps=%d pauses=%d last_picture=%d (others expected:shown%s) kfrq=%d "
        "kfrq_per_pause=%.2f frames=%d\n",
        options.clip.c_str(), options.fps, options.pauses, shown_last,
        others.empty() ? " none" : others.c_str(), requests,
        static_cast<double>(requests) / options.pauses, sent);
    host.close();
    nimbar::net::stop_networking();
    return 0;
}
