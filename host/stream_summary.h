#pragma once

// What a run of the host sent, totalled for the summary line it prints at the end.

#include <cstdint>
#include <string>

#include "host/impairments.h"

namespace nimbar::host {

struct StreamSummary {
    uint64_t frames = 0;     // frames whose datagrams were handed to the impairments
    uint64_t datagrams = 0;  // datagrams handed to the socket, duplicates included
    uint64_t bytes = 0;
    uint64_t send_failures = 0;
    double seconds = 0.0;
    ImpairmentCounters impairments;
    // Compressed video only.
    uint64_t keyframes = 0;          // of the frames sent
    uint64_t keyframe_requests = 0;  // "KFRQ" datagrams received
};

// "[Host] Summary: frames=.. datagrams=.. bytes=.. seconds=.. lost=.. duplicated=..
// send_failures=.."
std::string format_summary(const StreamSummary& summary);

// The same line with " keyframes=.. keyframe_requests=.." at its end.
std::string format_video_summary(const StreamSummary& summary);

}  // namespace nimbar::host
