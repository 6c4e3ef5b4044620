#pragma once

// The substitute host's command line.

#include <cstdint>
#include <string>

#include "host/impairments.h"

namespace nimbar::host {

// What the host streams: raw BGRA frames for the preview, or compressed video for the viewer.
enum class HostCodec { Raw, VP8, H264 };

struct HostOptions {
    uint16_t port = 0;  // the child's port on 127.0.0.1; required
    int width = 1280;
    int height = 720;
    double fps = 30.0;
    double seconds = 5.0;
    int64_t frames = -1;  // when given, overrides seconds
    std::string input;    // raw BGRA frames of width x height; the test pattern when empty
    bool spread = false;  // spread each frame's datagrams over its frame interval, not one burst
    ImpairmentSettings impairments;

    // Compressed video only.
    HostCodec codec = HostCodec::Raw;
    int bitrate_kbps = 4000;
    int keyframe_interval = 300;  // frames between automatic keyframes
    uint16_t listen_port = 0;     // where the viewer's control datagrams arrive; 0: not listened to
    std::string video;  // a video file to decode as the frames; the test pattern when empty
    int preencode = 0;  // when above 0, the first this many frames are encoded once, looped

    bool compressed() const { return codec != HostCodec::Raw; }

    int64_t frame_total() const;
};

// Fills `options`. Every option is checked: a missing or malformed value, a value out of range or
// an unknown argument gives one "[Host] Error: ..." line on stderr and false.
bool parse_host_args(int argc, const char* const* argv, HostOptions& options);

void print_host_usage(const char* program);

}  // namespace nimbar::host
