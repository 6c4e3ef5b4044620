#pragma once

// The host's way of putting one frame on the wire, raw or compressed alike: its fragment datagrams
// to 127.0.0.1, in the order the impairments choose, back to back or spread evenly over the frame's
// interval.

#include <cstdint>
#include <span>
#include <vector>

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

    // The same in steps, for a caller with other datagrams to keep on time in between: begin()
    // takes the frame, send_due() sends what is due of it once next_due() has come, until pending()
    // is false. `frame` must stay as it is until then.
    void begin(std::span<const uint8_t> frame, uint32_t frame_id, uint64_t k);
    bool pending() const { return next_send < sends.size(); }
    // When the next datagrams of the begun frame are due: the frame's own time, or with spread,
    // their share of its interval.
    Pacer::Clock::time_point next_due(const Pacer& pacer) const;
    // Sends the rest of the begun frame, or with spread the next stride of it. Never waits.
    void send_due(StreamSummary& summary);

    const ImpairmentCounters& impairment_counters() const { return impairments.counters(); }

  private:
    uint16_t port;
    bool spread;
    Impairments impairments;
    net::UDPSocket socket;
    uint8_t datagram[protocol::MAX_FRAGMENT_DATAGRAM];
    // The begun frame.
    std::span<const uint8_t> current;
    uint32_t current_id = 0;
    uint64_t current_k = 0;
    std::vector<uint32_t> sends;  // its fragment indexes in sending order
    size_t next_send = 0;
};

}  // namespace nimbar::host
