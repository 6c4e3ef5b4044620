#pragma once

// The preview's command line.

#include <cstdint>
#include <string>

namespace nimbar::preview {

struct PreviewOptions {
    uint16_t port = 0;         // local UDP port on 127.0.0.1; required
    uint16_t parent_port = 0;  // the host's port; accepted and kept, never used
    int width = 1280;
    int height = 720;
    std::string title = "Stream Preview";
    bool stats = false;  // "--stats": a counters line a second on stdout (host developers only)
    bool help = false;   // "--help" or "-h": the full usage on stdout, and nothing else
};

// Fills `options` from the command line. Each value option consumes the argument after it,
// whatever it looks like; an option in last position and unknown arguments are skipped. Numbers
// read as atoi reads them, ports kept modulo 65536. False after an error line on stderr when a
// number does not fit an int; or, unless help was asked for, when the port is 0 or the frame size
// is not positive or does not fit a 32-bit byte count.
bool parse_preview_args(int argc, const char* const* argv, PreviewOptions& options);

// The usage line, on stderr, after a failed parse.
void print_preview_usage(const char* program);
// Every option, a line each, on stdout.
void print_preview_help(const char* program);

}  // namespace nimbar::preview
