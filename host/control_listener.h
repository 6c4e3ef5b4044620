#pragma once

// The host's end of the viewer's control channel: a socket on 127.0.0.1:<listen port> where the
// viewer sends "KFRQ" (send a keyframe) and "AUDS" (its volume and mute state). Read between
// frames, never waited on, so a silent or absent viewer costs the stream nothing.

#include <cstdint>
#include <optional>
#include <vector>

#include "net/udp_socket.h"
#include "protocol/control_datagram.h"

namespace nimbar::host {

// What one poll found.
struct ControlEvents {
    uint32_t keyframe_requests = 0;
    uint32_t audio_states = 0;
    std::optional<protocol::AudioState> last_audio_state;  // the newest of them
    uint32_t ignored = 0;                                  // datagrams of neither kind
};

class ControlListener {
  public:
    // Binds 127.0.0.1:port (0 lets the system choose). False after an error line.
    bool open(uint16_t port);

    // Reads every datagram waiting now, without waiting for more. Prints
    // "[Host] Keyframe request received; next frame is a keyframe" for each "KFRQ" and
    // "[Host] Audio state: muted=.. volume=.." for each "AUDS" to standard output, flushed so that
    // a parent reading the pipe sees them at once; anything else passes without a word. Nothing
    // when the listener is not open.
    ControlEvents poll();

    uint16_t local_port() const { return socket.local_port(); }
    bool is_open() const { return socket.is_open(); }

  private:
    net::UDPSocket socket;
    std::vector<uint8_t> buffer;
};

}  // namespace nimbar::host
