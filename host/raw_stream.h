#pragma once

// The host's raw mode, for the preview: numbered BGRA frames cut into fragment datagrams and sent
// to 127.0.0.1 at the frame rate, through the chosen impairments.

#include <atomic>
#include <cstdint>
#include <string>

#include "host/host_options.h"
#include "host/impairments.h"

namespace nimbar::host {

struct StreamSummary {
    uint64_t frames = 0;
    uint64_t datagrams = 0;  // datagrams handed to the socket, duplicates included
    uint64_t bytes = 0;
    uint64_t send_failures = 0;
    double seconds = 0.0;
    ImpairmentCounters impairments;
};

// Streams options.frame_total() frames numbered from 1, or until `stop` is set. False after an
// error line when the source or the socket cannot be used.
bool stream_raw_frames(const HostOptions& options, const std::atomic<bool>& stop,
                       StreamSummary& summary);

// "[Host] Summary: frames=.. datagrams=.. bytes=.. seconds=.. lost=.. duplicated=..
// send_failures=.."
std::string format_summary(const StreamSummary& summary);

}  // namespace nimbar::host
