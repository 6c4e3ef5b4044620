#pragma once

// The substitute host's command line.

#include <cstdint>
#include <string>

#include "host/impairments.h"

namespace nimbar::host {

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

    int64_t frame_total() const;
};

// Fills `options`. Every option is checked: a missing or malformed value, a value out of range or
// an unknown argument gives one "[Host] Error: ..." line on stderr and false.
bool parse_host_args(int argc, const char* const* argv, HostOptions& options);

void print_host_usage(const char* program);

}  // namespace nimbar::host
