#pragma once

// The host's way of putting one frame on the wire, raw or compressed alike: its fragment datagrams
// to 127.0.0.1, in the order the impairments choose, back to back or spread evenly over the frame's
// interval.

#include <cstdint>
#include <span>

#include "host/host_options.h"
#include "host/impairments.h"
#include "host/pacer.h"
#include "host/stream_summary.h"
#include "net/udp_socket.h"
#include "protocol/media_datagram.h"

namespace nimbar::host {

class FrameSender {
  public:
    // To options.port, with options.impairments and options.spread.
    explicit FrameSender(const HostOptions& options);

    // Opens the sending socket. False after an error line.
    bool open();

    // Sends `frame` as frame `frame_id`, which is frame k (from 0) on `pacer`'s clock, and adds the
    // datagrams, bytes and failures to `summary`. The frame must fit in MAX_RAW_FRAGMENTS
    // fragments; the caller enforces any tighter limit.
    void send(std::span<const uint8_t> frame, uint32_t frame_id, const Pacer& pacer, uint64_t k,
              StreamSummary& summary);

    const ImpairmentCounters& impairment_counters() const { return impairments.counters(); }

  private:
    uint16_t port;
    bool spread;
    Impairments impairments;
    net::UDPSocket socket;
    uint8_t datagram[protocol::MAX_FRAGMENT_DATAGRAM];
};

}  // namespace nimbar::host
