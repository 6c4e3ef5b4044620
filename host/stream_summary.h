#pragma once

// What a run of the host sent, totalled for the summary line it prints at the end.

#include <cstdint>
#include <string>

#include "host/impairments.h"

namespace nimbar::host {

struct StreamSummary {
    uint64_t frames = 0;     // frames whose datagrams were handed to the impairments
    uint64_t datagrams = 0;  // datagrams handed to the socket, duplicates and audio included
    uint64_t bytes = 0;
    uint64_t send_failures = 0;
    double seconds = 0.0;
    ImpairmentCounters impairments;
    // Compressed video only.
    uint64_t keyframes = 0;          // of the frames sent
    uint64_t keyframe_requests = 0;  // "KFRQ" datagrams received
    // Audio only.
    uint64_t audio_packets = 0;  // packets encoded and numbered, the lost ones included
    uint64_t audio_lost = 0;     // of those, the ones never sent
};

// "[Host] Summary: frames=.. datagrams=.. bytes=.. seconds=.. lost=.. duplicated=..
// send_failures=.."
std::string format_summary(const StreamSummary& summary);

// The viewer's mode: the same line with " keyframes=.. keyframe_requests=.. audio_packets=..
// audio_lost=.." at its end.
std::string format_video_summary(const StreamSummary& summary);

}  // namespace nimbar::host
