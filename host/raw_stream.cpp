#include "host/raw_stream.h"

#include <cinttypes>
#include <cstdio>
#include <span>
#include <vector>

#include "host/frame_source.h"
#include "host/pacer.h"
#include "net/udp_socket.h"
#include "protocol/fragmenter.h"
#include "protocol/media_datagram.h"

namespace nimbar::host {

namespace {

// With --spread, the pacer is consulted once per this many datagrams; sleeping for each one would
// cost more than sending it.
constexpr size_t SPREAD_STRIDE = 32;

}  // namespace

bool stream_raw_frames(const HostOptions& options, const std::atomic<bool>& stop,
                       StreamSummary& summary) {
    FrameSource source = options.input.empty()
                             ? FrameSource(options.width, options.height)
                             : FrameSource(options.width, options.height, options.input);
    if (!source.ok()) {
        return false;
    }
    net::UDPSocket socket;
    if (!socket.open(0)) {
        fprintf(stderr, "[Host] Error: cannot open a UDP socket\n");
        return false;
    }

    Impairments impairments(options.impairments);
    std::vector<uint8_t> frame;
    uint8_t datagram[protocol::MAX_FRAGMENT_DATAGRAM];
    const Pacer pacer(options.fps);
    const int64_t total = options.frame_total();

    for (int64_t k = 0; k < total && !stop.load(); ++k) {
        pacer.wait_until(static_cast<uint64_t>(k));
        const auto frame_id = static_cast<uint32_t>(k + 1);
        if (!source.next(frame_id, frame)) {
            fprintf(stderr, "[Host] Error: cannot read frame %u\n", frame_id);
            return false;
        }
        const auto& sends = impairments.schedule(protocol::fragment_count_for(frame.size()));
        for (size_t n = 0; n < sends.size(); ++n) {
            if (options.spread && n % SPREAD_STRIDE == 0) {
                pacer.wait_until(static_cast<uint64_t>(k),
                                 static_cast<double>(n) / static_cast<double>(sends.size()));
            }
            const size_t length =
                protocol::write_fragment_datagram(frame, frame_id, sends[n], datagram);
            if (socket.send_to(datagram, length, "127.0.0.1", options.port) < 0) {
                ++summary.send_failures;
                continue;
            }
            ++summary.datagrams;
            summary.bytes += length;
        }
        ++summary.frames;
    }
    summary.seconds = pacer.elapsed_seconds();
    summary.impairments = impairments.counters();
    return true;
}

std::string format_summary(const StreamSummary& summary) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "[Host] Summary: frames=%" PRIu64 " datagrams=%" PRIu64 " bytes=%" PRIu64
                  " seconds=%.3f lost=%" PRIu64 " duplicated=%" PRIu64 " send_failures=%" PRIu64
                  "\n",
                  summary.frames, summary.datagrams, summary.bytes, summary.seconds,
                  summary.impairments.lost, summary.impairments.duplicated, summary.send_failures);
    return line;
}

}  // namespace nimbar::host
