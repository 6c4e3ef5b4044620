#pragma once

// The viewer's command line.

#include <cstdint>
#include <string>

namespace nimbar::viewer {

struct ViewerOptions {
    uint16_t port = 0;         // loopback port for media datagrams; required
    uint16_t parent_port = 0;  // the host's port for "KFRQ" and "AUDS"; 0: none are sent
    uint32_t streamer_id = 0;  // shown in the start-up line only, unsigned; any 32-bit number
    int width = 1280;          // expected picture size, the receiver's fixed size
    int height = 720;
    std::string username = "Unknown";
    bool has_audio = false;
    float audio_volume = 1.0f;  // 0.0 to 1.0
    bool audio_muted = false;
    uint8_t video_codec = 0;  // 1: H.264, anything else VP8
    bool stats = false;       // "--stats": a counters line a second on stdout (host developers)
    bool help = false;        // "--help" or "-h": the full usage on stdout, and nothing else
};

// Fills `options` from the command line. Value options consume the next argument whatever it looks
// like; one in last position, unknown arguments and stray values are skipped. Numbers read as atoi
// and strtof read them: ports modulo 65536, the streamer id to its low 32 bits, the volume clamped
// to 0..1, a codec outside 0..3 ignored. False after a tagged error line on stderr for a port or
// size that does not fit an int, and after "Error: --port is required" when the port ends up 0,
// unless help was asked for.
bool parse_viewer_args(int argc, const char* const* argv, ViewerOptions& options);

// The usage line, on stderr, after a failed parse.
void print_viewer_usage(const char* program);
// Every option, a line each, on stdout.
void print_viewer_help(const char* program);

}  // namespace nimbar::viewer
