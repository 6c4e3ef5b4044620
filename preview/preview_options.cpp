#include "preview/preview_options.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol/command_line_int.h"

namespace nimbar::preview {

namespace {

bool frame_bytes_fit(int width, int height) {
    return static_cast<int64_t>(width) * height * 4 <= INT_MAX;
}

}  // namespace

bool parse_preview_args(int argc, const char* const* argv, PreviewOptions& options) {
    bool numbers_fit = true;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const bool has_value = i + 1 < argc;
        const auto read_int = [&](const char* text) {
            return protocol::read_int_option("[Preview]", arg, text, numbers_fit);
        };
        if (has_value && std::strcmp(arg, "--port") == 0) {
            options.port = static_cast<uint16_t>(read_int(argv[++i]));
        } else if (has_value && std::strcmp(arg, "--parent-port") == 0) {
            options.parent_port = static_cast<uint16_t>(read_int(argv[++i]));
        } else if (has_value && std::strcmp(arg, "--width") == 0) {
            options.width = read_int(argv[++i]);
        } else if (has_value && std::strcmp(arg, "--height") == 0) {
            options.height = read_int(argv[++i]);
        } else if (has_value && std::strcmp(arg, "--title") == 0) {
            options.title = argv[++i];
        } else if (std::strcmp(arg, "--stats") == 0) {
            options.stats = true;
        } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            options.help = true;
        }
    }
    if (!numbers_fit) {
        return false;
    }
    if (options.help) {
        return true;
    }
    if (options.port == 0) {
        fprintf(stderr, "[Preview] Error: --port is required\n");
        return false;
    }
    if (options.width <= 0 || options.height <= 0 ||
        !frame_bytes_fit(options.width, options.height)) {
        fprintf(stderr, "[Preview] Error: Invalid dimensions %dx%d\n", options.width,
                options.height);
        return false;
    }
    return true;
}

void print_preview_usage(const char* program) {
    fprintf(stderr,
            "Usage: %s --port <port> [--parent-port <port>] --width <w> --height <h> "
            "[--title <title>]\n",
            program);
}

void print_preview_help(const char* program) {
    printf(
        "Usage: %s --port <PORT> [options]\n"
        "Shows the newest complete raw frame that the host sends to 127.0.0.1:<PORT>.\n"
        "\n"
        "  --port <PORT>         UDP port on 127.0.0.1 for the frames' datagrams (required)\n"
        "  --parent-port <PORT>  the host's port; accepted, not used\n"
        "  --width <W>           frame width in pixels (default 1280)\n"
        "  --height <H>          frame height in pixels (default 720)\n"
        "  --title <TITLE>       the window's title (default \"Stream Preview\")\n"
        "  --stats               a line of counters a second on standard output\n"
        "  --help, -h            this text\n",
        program);
}

}  // namespace nimbar::preview
