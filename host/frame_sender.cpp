#include "host/frame_sender.h"

#include <cstdio>

#include "protocol/fragmenter.h"

namespace nimbar::host {

namespace {

// With --spread, the pacer is consulted once per this many datagrams; sleeping for each one would
// cost more than sending it.
constexpr size_t SPREAD_STRIDE = 32;

}  // namespace

FrameSender::FrameSender(const HostOptions& options)
    : port(options.port), spread(options.spread), impairments(options.impairments), datagram{} {}

bool FrameSender::open() {
    if (!socket.open(0)) {
        fprintf(stderr, "[Host] Error: cannot open a UDP socket\n");
        return false;
    }
    return true;
}

void FrameSender::send(std::span<const uint8_t> frame, uint32_t frame_id, const Pacer& pacer,
                       uint64_t k, StreamSummary& summary) {
    const auto& sends = impairments.schedule(protocol::fragment_count_for(frame.size()));
    for (size_t n = 0; n < sends.size(); ++n) {
        if (spread && n % SPREAD_STRIDE == 0) {
            pacer.wait_until(k, static_cast<double>(n) / static_cast<double>(sends.size()));
        }
        const size_t length =
            protocol::write_fragment_datagram(frame, frame_id, sends[n], datagram);
        if (socket.send_to(datagram, length, "127.0.0.1", port) < 0) {
            ++summary.send_failures;
            continue;
        }
        ++summary.datagrams;
        summary.bytes += length;
    }
}

}  // namespace nimbar::host
