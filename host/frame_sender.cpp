#include "host/frame_sender.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "protocol/fragmenter.h"

namespace nimbar::host {

namespace {

// With --spread, a frame goes out in steps of this many datagrams, each at its share of the frame's
// interval; sleeping for each one would cost more than sending it.
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
    begin(frame, frame_id, k);
    while (pending()) {
        std::this_thread::sleep_until(next_due(pacer));
        send_due(summary);
    }
}

void FrameSender::begin(std::span<const uint8_t> frame, uint32_t frame_id, uint64_t k) {
    current = frame;
    current_id = frame_id;
    current_k = k;
    sends = impairments.schedule(protocol::fragment_count_for(frame.size()));
    next_send = 0;
}

Pacer::Clock::time_point FrameSender::next_due(const Pacer& pacer) const {
    if (!spread || sends.empty()) {
        return pacer.due(current_k);
    }
    return pacer.due(current_k, static_cast<double>(next_send) / static_cast<double>(sends.size()));
}

void FrameSender::send_due(StreamSummary& summary) {
    const size_t end = spread ? std::min(sends.size(), next_send + SPREAD_STRIDE) : sends.size();
    for (; next_send < end; ++next_send) {
        const size_t length =
            protocol::write_fragment_datagram(current, current_id, sends[next_send], datagram);
        if (socket.send_to(datagram, length, "127.0.0.1", port) < 0) {
            ++summary.send_failures;
            continue;
        }
        ++summary.datagrams;
        summary.bytes += length;
    }
}

}  // namespace nimbar::host
