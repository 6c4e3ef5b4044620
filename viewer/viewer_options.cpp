#include "viewer/viewer_options.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol/command_line_int.h"

namespace nimbar::viewer {

namespace {

// strtof's reading, clamped to a volume; "nan" reads as no volume at all.
float read_volume(const char* text) {
    const float value = std::strtof(text, nullptr);
    return std::isnan(value) ? 0.0f : std::clamp(value, 0.0f, 1.0f);
}

// Codec selectors the host may pass; others leave the earlier choice.
constexpr int MAX_CODEC_SELECTOR = 3;

}  // namespace

bool parse_viewer_args(int argc, const char* const* argv, ViewerOptions& options) {
    bool numbers_fit = true;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const bool has_value = i + 1 < argc;
        const auto is = [&](const char* name) { return std::strcmp(arg, name) == 0; };
        const auto read_int = [&](const char* text) {
            return protocol::read_int_option("[VideoPlayer]", arg, text, numbers_fit);
        };
        if (has_value && is("--port")) {
            options.port = static_cast<uint16_t>(read_int(argv[++i]));
        } else if (has_value && is("--streamer-id")) {
            options.streamer_id = protocol::read_command_line_id(argv[++i]);
        } else if (has_value && is("--width")) {
            options.width = read_int(argv[++i]);
        } else if (has_value && is("--height")) {
            options.height = read_int(argv[++i]);
        } else if (has_value && is("--username")) {
            options.username = argv[++i];
        } else if (has_value && is("--parent-port")) {
            options.parent_port = static_cast<uint16_t>(read_int(argv[++i]));
        } else if (is("--has-audio")) {
            options.has_audio = true;
        } else if (has_value && is("--audio-volume")) {
            options.audio_volume = read_volume(argv[++i]);
        } else if (is("--audio-muted")) {
            options.audio_muted = true;
        } else if (has_value && is("--codec")) {
            // Any number outside 0..3 is ignored, one beyond an int as well.
            const auto codec = protocol::read_command_line_int(argv[++i]);
            if (codec && *codec >= 0 && *codec <= MAX_CODEC_SELECTOR) {
                options.video_codec = static_cast<uint8_t>(*codec);
            }
        } else if (is("--stats")) {
            options.stats = true;
        } else if (is("--help") || is("-h")) {
            options.help = true;
        }
    }
    if (!numbers_fit) {
        return false;
    }
    if (options.port == 0 && !options.help) {
        fprintf(stderr, "Error: --port is required\n");
        return false;
    }
    return true;
}

void print_viewer_usage(const char* program) {
    fprintf(stderr,
            "Usage: %s --port <PORT> [--streamer-id <ID>] [--width <W>] [--height <H>] "
            "[--username <NAME>] [--has-audio]\n",
            program);
}

void print_viewer_help(const char* program) {
    printf(
        "Usage: %s --port <PORT> [options]\n"
        "Shows one watched stream, sent by the host to 127.0.0.1:<PORT>, in a window of its "
        "own.\n"
        "\n"
        "  --port <PORT>          UDP port on 127.0.0.1 for the media datagrams (required)\n"
        "  --parent-port <PORT>   the host's port for \"KFRQ\" and \"AUDS\"; without it "
        "none is sent\n"
        "  --streamer-id <ID>     the streamer's id, shown in the start-up line\n"
        "  --username <NAME>      the streamer's name, in the window title (default "
        "Unknown)\n"
        "  --width <W>            picture width every frame is scaled to (default 1280)\n"
        "  --height <H>           picture height every frame is scaled to (default 720)\n"
        "  --codec <0-3>          1 for H.264, anything else VP8 (default 0)\n"
        "  --has-audio            the stream carries screen audio: play it\n"
        "  --audio-volume <0..1>  the starting volume (default 1.0)\n"
        "  --audio-muted          start muted\n"
        "  --stats                a line of counters a second on standard output\n"
        "  --help, -h             this text\n",
        program);
}

}  // namespace nimbar::viewer
