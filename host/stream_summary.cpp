#include "host/stream_summary.h"

#include <cinttypes>
#include <cstdio>

namespace nimbar::host {

namespace {

std::string summary_fields(const StreamSummary& summary) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "[Host] Summary: frames=%" PRIu64 " datagrams=%" PRIu64 " bytes=%" PRIu64
                  " seconds=%.3f lost=%" PRIu64 " duplicated=%" PRIu64 " send_failures=%" PRIu64,
                  summary.frames, summary.datagrams, summary.bytes, summary.seconds,
                  summary.impairments.lost, summary.impairments.duplicated, summary.send_failures);
    return line;
}

}  // namespace

std::string format_summary(const StreamSummary& summary) {
    return summary_fields(summary) + "\n";
}

std::string format_video_summary(const StreamSummary& summary) {
    char tail[160];
    std::snprintf(tail, sizeof tail,
                  " keyframes=%" PRIu64 " keyframe_requests=%" PRIu64 " audio_packets=%" PRIu64
                  " audio_lost=%" PRIu64 "\n",
                  summary.keyframes, summary.keyframe_requests, summary.audio_packets,
                  summary.audio_lost);
    return summary_fields(summary) + tail;
}

}  // namespace nimbar::host
