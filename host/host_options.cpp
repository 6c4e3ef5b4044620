#include "host/host_options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "protocol/fragmenter.h"
#include "protocol/media_datagram.h"

namespace nimbar::host {

namespace {

// Above this a test or benchmark is surely mistaken, and pacing stops meaning anything.
constexpr double MAX_FPS = 1000.0;
// The largest texture side that SDL renderers commonly take.
constexpr int64_t MAX_SIDE = 16384;
// A gigabit per second: past anything a realtime encoder delivers to a viewer.
constexpr int64_t MAX_BITRATE_KBPS = 1'000'000;
// Over 27 minutes at 60 frames/s: in effect keyframes only on request; more would mean nothing.
constexpr int64_t MAX_KEYFRAME_INTERVAL = 100'000;
// A minute at 60 frames/s; the encoded clip is held in memory for the whole run.
constexpr int64_t MAX_PREENCODE_FRAMES = 3600;
// Opus's own bitrate range for one stream.
constexpr int64_t MIN_AUDIO_BITRATE_KBPS = 6;
constexpr int64_t MAX_AUDIO_BITRATE_KBPS = 510;
// Ten percent: far past any real clock's error, while a packet still comes every 18 to 22 ms.
constexpr int64_t MAX_AUDIO_DRIFT_PPM = 100'000;
// A second: past any stall a host lives through while streaming; the viewer refills after less.
constexpr int64_t MAX_AUDIO_JITTER_MS = 1000;
// A millisecond: shorter than any frame interval (1000 frames/s at most), so nothing shorter
// could mean anything.
constexpr double MIN_PAUSE_SECONDS = 0.001;
// The longest --seconds.
constexpr double MAX_PAUSE_SECONDS = 1e6;

bool read_integer(const char* text, int64_t min, int64_t max, int64_t& value) {
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < min || parsed > max) {
        return false;
    }
    value = parsed;
    return true;
}

bool read_real(const char* text, double min, double max, double& value) {
    errno = 0;
    char* end = nullptr;
    const double parsed = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(parsed) || parsed < min ||
        parsed > max) {
        return false;
    }
    value = parsed;
    return true;
}

bool bad_value(const char* option, const char* value, const char* expected) {
    fprintf(stderr, "[Host] Error: %s takes %s, not '%s'\n", option, expected, value);
    return false;
}

// "<active>,<still>", both in seconds.
bool read_pauses(const char* text, double& active, double& still) {
    const char* comma = std::strchr(text, ',');
    if (comma == nullptr) {
        return false;
    }
    const std::string first(text, comma);
    return read_real(first.c_str(), MIN_PAUSE_SECONDS, MAX_PAUSE_SECONDS, active) &&
           read_real(comma + 1, MIN_PAUSE_SECONDS, MAX_PAUSE_SECONDS, still);
}

}  // namespace

int64_t HostOptions::frame_total() const {
    return frames >= 0 ? frames : std::llround(seconds * fps);
}

double HostOptions::duration_seconds() const {
    return frames >= 0 ? static_cast<double>(frames) / fps : seconds;
}

bool parse_host_args(int argc, const char* const* argv, HostOptions& options) {
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        if (std::strcmp(option, "--reorder") == 0) {
            options.impairments.reorder = true;
            continue;
        }
        if (std::strcmp(option, "--spread") == 0) {
            options.spread = true;
            continue;
        }
        if (std::strcmp(option, "--pattern-noise") == 0) {
            options.pattern_noise = true;
            continue;
        }
        if (std::strcmp(option, "--help") == 0 || std::strcmp(option, "-h") == 0) {
            options.help = true;
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "[Host] Error: unknown option or missing value: %s\n", option);
            return false;
        }
        const char* value = argv[++i];
        int64_t integer = 0;
        double real = 0.0;
        if (std::strcmp(option, "--port") == 0) {
            if (!read_integer(value, 1, 65535, integer)) {
                return bad_value(option, value, "a port from 1 to 65535");
            }
            options.port = static_cast<uint16_t>(integer);
        } else if (std::strcmp(option, "--width") == 0) {
            if (!read_integer(value, 1, MAX_SIDE, integer)) {
                return bad_value(option, value, "a size from 1 to 16384");
            }
            options.width = static_cast<int>(integer);
        } else if (std::strcmp(option, "--height") == 0) {
            if (!read_integer(value, 1, MAX_SIDE, integer)) {
                return bad_value(option, value, "a size from 1 to 16384");
            }
            options.height = static_cast<int>(integer);
        } else if (std::strcmp(option, "--fps") == 0) {
            if (!read_real(value, 0.001, MAX_FPS, real)) {
                return bad_value(option, value, "a frame rate above 0 and at most 1000");
            }
            options.fps = real;
        } else if (std::strcmp(option, "--seconds") == 0) {
            if (!read_real(value, 0.0, 1e6, real)) {
                return bad_value(option, value, "a number of seconds from 0");
            }
            options.seconds = real;
        } else if (std::strcmp(option, "--frames") == 0) {
            if (!read_integer(value, 0, std::numeric_limits<uint32_t>::max(), integer)) {
                return bad_value(option, value, "a frame count from 0");
            }
            options.frames = integer;
        } else if (std::strcmp(option, "--input") == 0) {
            options.input = value;
        } else if (std::strcmp(option, "--loss") == 0) {
            if (!read_real(value, 0.0, 1.0, real)) {
                return bad_value(option, value, "a fraction from 0 to 1");
            }
            options.impairments.loss = real;
        } else if (std::strcmp(option, "--duplicate") == 0) {
            if (!read_real(value, 0.0, 1.0, real)) {
                return bad_value(option, value, "a fraction from 0 to 1");
            }
            options.impairments.duplicate = real;
        } else if (std::strcmp(option, "--codec") == 0) {
            if (std::strcmp(value, "raw") == 0) {
                options.codec = HostCodec::Raw;
            } else if (std::strcmp(value, "vp8") == 0) {
                options.codec = HostCodec::VP8;
            } else if (std::strcmp(value, "h264") == 0) {
                options.codec = HostCodec::H264;
            } else if (std::strcmp(value, "none") == 0) {
                options.codec = HostCodec::None;
            } else {
                return bad_value(option, value, "raw, vp8, h264 or none");
            }
        } else if (std::strcmp(option, "--bitrate") == 0) {
            if (!read_integer(value, 1, MAX_BITRATE_KBPS, integer)) {
                return bad_value(option, value, "kbit/s from 1 to 1000000");
            }
            options.bitrate_kbps = static_cast<int>(integer);
        } else if (std::strcmp(option, "--first-frame-id") == 0) {
            if (!read_integer(value, 1, std::numeric_limits<uint32_t>::max(), integer)) {
                return bad_value(option, value, "a frame id from 1 to 4294967295");
            }
            options.first_frame_id = static_cast<uint32_t>(integer);
        } else if (std::strcmp(option, "--keyframe-interval") == 0) {
            if (!read_integer(value, 1, MAX_KEYFRAME_INTERVAL, integer)) {
                return bad_value(option, value, "a frame count from 1 to 100000");
            }
            options.keyframe_interval = static_cast<int>(integer);
        } else if (std::strcmp(option, "--listen-port") == 0) {
            if (!read_integer(value, 0, 65535, integer)) {
                return bad_value(option, value, "a port from 0 to 65535");
            }
            options.listen_port = static_cast<uint16_t>(integer);
        } else if (std::strcmp(option, "--video") == 0) {
            options.video = value;
        } else if (std::strcmp(option, "--clip") == 0) {
            if (*value == '\0') {
                return bad_value(option, value, "an IVF file");
            }
            options.clip = value;
        } else if (std::strcmp(option, "--preencode") == 0) {
            if (!read_integer(value, 1, MAX_PREENCODE_FRAMES, integer)) {
                return bad_value(option, value, "a frame count from 1 to 3600");
            }
            options.preencode = static_cast<int>(integer);
        } else if (std::strcmp(option, "--audio") == 0) {
            if (*value == '\0') {
                return bad_value(option, value, "tone or a WAV file");
            }
            options.audio = value;
        } else if (std::strcmp(option, "--audio-loss") == 0) {
            if (!read_real(value, 0.0, 1.0, real)) {
                return bad_value(option, value, "a fraction from 0 to 1");
            }
            options.audio_loss = real;
        } else if (std::strcmp(option, "--audio-drift-ppm") == 0) {
            if (!read_integer(value, -MAX_AUDIO_DRIFT_PPM, MAX_AUDIO_DRIFT_PPM, integer)) {
                return bad_value(option, value, "parts per million from -100000 to 100000");
            }
            options.audio_drift_ppm = static_cast<int>(integer);
        } else if (std::strcmp(option, "--audio-jitter-ms") == 0) {
            if (!read_integer(value, 0, MAX_AUDIO_JITTER_MS, integer)) {
                return bad_value(option, value, "milliseconds from 0 to 1000");
            }
            options.audio_jitter_ms = static_cast<int>(integer);
        } else if (std::strcmp(option, "--audio-bitrate") == 0) {
            if (!read_integer(value, MIN_AUDIO_BITRATE_KBPS, MAX_AUDIO_BITRATE_KBPS, integer)) {
                return bad_value(option, value, "kbit/s from 6 to 510");
            }
            options.audio_bitrate_kbps = static_cast<int>(integer);
        } else if (std::strcmp(option, "--pauses") == 0) {
            if (!read_pauses(value, options.pause_active_seconds, options.pause_still_seconds)) {
                return bad_value(option, value,
                                 "<active>,<still> in seconds, each from 0.001 to 1000000");
            }
        } else if (std::strcmp(option, "--seed") == 0) {
            if (!read_integer(value, 0, std::numeric_limits<uint32_t>::max(), integer)) {
                return bad_value(option, value, "a seed from 0 to 4294967295");
            }
            options.impairments.seed = static_cast<uint32_t>(integer);
        } else {
            fprintf(stderr, "[Host] Error: unknown option: %s\n", option);
            return false;
        }
    }
    if (options.help) {
        return true;
    }
    if (options.port == 0) {
        fprintf(stderr, "[Host] Error: --port is required\n");
        return false;
    }
    if (options.listen_port != 0 && options.listen_port == options.port) {
        fprintf(stderr, "[Host] Error: --listen-port must differ from --port\n");
        return false;
    }
    // Still spells come on the clock, so the run's length is in seconds, not in frames sent.
    if (options.has_pauses() && options.frames >= 0) {
        fprintf(stderr, "[Host] Error: --pauses needs --seconds, not --frames\n");
        return false;
    }
    if (options.pattern_noise &&
        (!options.input.empty() || !options.video.empty() || !options.clip.empty())) {
        fprintf(stderr, "[Host] Error: --pattern-noise needs the test pattern, not a file\n");
        return false;
    }
    if (!options.has_audio()) {
        if (options.codec == HostCodec::None) {
            fprintf(stderr, "[Host] Error: --codec none needs --audio\n");
            return false;
        }
        // Without audio these would silently do nothing.
        const HostOptions defaults;
        for (const auto& [given, name] :
             {std::pair{options.audio_loss > 0.0, "--audio-loss"},
              std::pair{options.audio_drift_ppm != 0, "--audio-drift-ppm"},
              std::pair{options.audio_jitter_ms != 0, "--audio-jitter-ms"},
              std::pair{options.audio_bitrate_kbps != defaults.audio_bitrate_kbps,
                        "--audio-bitrate"}}) {
            if (given) {
                fprintf(stderr, "[Host] Error: %s needs --audio\n", name);
                return false;
            }
        }
    }
    if (options.codec == HostCodec::None) {
        // Audio alone: the video's sources, clip and impairments would silently do nothing.
        for (const auto& [given, name] :
             {std::pair{!options.input.empty(), "--input"},
              std::pair{!options.video.empty(), "--video"},
              std::pair{options.preencode > 0, "--preencode"},
              std::pair{options.spread, "--spread"},
              std::pair{options.impairments.loss > 0.0, "--loss"},
              std::pair{options.impairments.duplicate > 0.0, "--duplicate"},
              std::pair{options.impairments.reorder, "--reorder"},
              std::pair{!options.clip.empty(), "--clip"},
              std::pair{options.has_pauses(), "--pauses"},
              std::pair{options.pattern_noise, "--pattern-noise"}}) {
            if (given) {
                fprintf(stderr, "[Host] Error: %s does nothing with --codec none\n", name);
                return false;
            }
        }
        return true;
    }
    if (options.compressed()) {
        // A compressed frame's size is the encoder's business: oversized ones are skipped.
        if (!options.input.empty() && !options.video.empty()) {
            fprintf(stderr, "[Host] Error: --input and --video exclude each other\n");
            return false;
        }
        // The clip's frames are sent as they are: nothing to read pictures from or to encode.
        for (const auto& [given, name] : {std::pair{!options.input.empty(), "--input"},
                                          std::pair{!options.video.empty(), "--video"},
                                          std::pair{options.preencode > 0, "--preencode"}}) {
            if (given && !options.clip.empty()) {
                fprintf(stderr, "[Host] Error: --clip and %s exclude each other\n", name);
                return false;
            }
        }
        return true;
    }
    // Raw mode neither encodes nor listens nor carries audio; these would silently do nothing.
    if (options.has_audio()) {
        fprintf(stderr, "[Host] Error: --audio needs --codec vp8, h264 or none\n");
        return false;
    }
    for (const auto& [given, name] : {std::pair{!options.video.empty(), "--video"},
                                      std::pair{options.preencode > 0, "--preencode"},
                                      std::pair{!options.clip.empty(), "--clip"},
                                      std::pair{options.listen_port != 0, "--listen-port"}}) {
        if (given) {
            fprintf(stderr, "[Host] Error: %s needs --codec vp8 or h264\n", name);
            return false;
        }
    }
    // Frame ids never wrap: the viewer and the preview would take the frames after the wrap for
    // stale ones.
    constexpr int64_t LAST_FRAME_ID = std::numeric_limits<uint32_t>::max();
    if (options.frame_total() > 0 &&
        int64_t{options.first_frame_id} + options.frame_total() - 1 > LAST_FRAME_ID) {
        fprintf(stderr,
                "[Host] Error: %lld frames from --first-frame-id %u would pass frame id "
                "4294967295\n",
                static_cast<long long>(options.frame_total()), options.first_frame_id);
        return false;
    }
    const size_t frame_bytes = static_cast<size_t>(options.width) * options.height * 4;
    if (protocol::fragment_count_for(frame_bytes) > protocol::MAX_RAW_FRAGMENTS) {
        fprintf(stderr, "[Host] Error: a %dx%d frame needs more than %zu fragments\n",
                options.width, options.height, protocol::MAX_RAW_FRAGMENTS);
        return false;
    }
    return true;
}

void print_host_usage(const char* program) {
    fprintf(stderr,
            "Usage: %s --port <port> [--width <w>] [--height <h>] [--fps <rate>]\n"
            "          [--seconds <s> | --frames <n>] [--input <file.bgra>] [--spread]\n"
            "          [--loss <fraction>] [--duplicate <fraction>] [--reorder] [--seed <n>]\n"
            "          [--codec raw|vp8|h264|none] [--bitrate <kbit/s>]\n"
            "          [--keyframe-interval <frames>] [--listen-port <port>] [--video <file>]\n"
            "          [--preencode <n> | --clip <file.ivf>] [--audio tone|<file.wav>]\n"
            "          [--audio-loss <fraction>] [--audio-drift-ppm <n>] [--audio-jitter-ms <ms>]\n"
            "          [--audio-bitrate <kbit/s>] [--first-frame-id <id>]\n"
            "          [--pauses <active s>,<still s>] [--pattern-noise]\n",
            program);
}

void print_host_help(const char* program) {
    printf(
        "Usage: %s --port <port> [options]\n"
        "Streams to 127.0.0.1:<port> as the host does: raw frames for stream_preview, or\n"
        "compressed video and screen audio for video_player. docs/stream_host.md says more.\n"
        "\n"
        "  --port <port>               the program's port on 127.0.0.1 (required)\n"
        "  --width <w>                 picture width, 1 to 16384 (default 1280)\n"
        "  --height <h>                picture height, 1 to 16384 (default 720)\n"
        "  --fps <rate>                frames a second, above 0 and at most 1000 (default 30)\n"
        "  --seconds <s>               how long to stream (default 5)\n"
        "  --frames <n>                how many frames to stream, instead of --seconds\n"
        "  --input <file.bgra>         raw BGRA frames of the picture size, looped\n"
        "  --pattern-noise             the pattern's band noise, new in every frame, but for the\n"
        "                              block and a margin around it: as heavy as a busy screen\n"
        "  --spread                    each frame's datagrams spread over its interval, not a "
        "burst\n"
        "  --loss <fraction>           drop that fraction of datagrams\n"
        "  --duplicate <fraction>      send that fraction of datagrams twice\n"
        "  --reorder                   shuffle each frame's fragments\n"
        "  --seed <n>                  seed of the impairments' draws (default 1)\n"
        "  --codec raw|vp8|h264|none   what to stream (default raw; none: audio alone)\n"
        "  --bitrate <kbit/s>          the video encoder's rate (default 4000)\n"
        "  --keyframe-interval <n>     a keyframe at least every n frames (default 300)\n"
        "  --first-frame-id <id>       the first frame's id (default 1)\n"
        "  --pauses <active>,<still>   frames for <active> s, then no video for <still> s, in\n"
        "                              turn (audio goes on); each still spell begins with\n"
        "                              \"[Host] Still after frame <id> (picture <n>)\"\n"
        "  --listen-port <port>        where the viewer's \"KFRQ\" and \"AUDS\" arrive\n"
        "  --video <file>              frames decoded from a video file, looped\n"
        "  --preencode <n>             encode the first n frames once and send them in a loop\n"
        "  --clip <file.ivf>           send the frames of an IVF file in a loop, encoding "
        "nothing\n"
        "  --audio tone|<file.wav>     screen audio: a two-pitch tone or a 48 kHz WAV file\n"
        "  --audio-loss <fraction>     leave that fraction of audio packets unsent\n"
        "  --audio-drift-ppm <n>       the audio clock that many ppm fast (or, below 0, slow)\n"
        "  --audio-jitter-ms <ms>      send audio packets up to that late, in bursts\n"
        "  --audio-bitrate <kbit/s>    the Opus encoder's rate, 6 to 510 (default 96)\n"
        "  --help, -h                  this text\n",
        program);
}

}  // namespace nimbar::host
