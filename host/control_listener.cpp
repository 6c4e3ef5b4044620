#include "host/control_listener.h"

#include <cstdio>
#include <span>

namespace nimbar::host {

namespace {

// The largest UDP payload: whatever arrives is read whole, so an oversized stray datagram is
// ignored like any other instead of being reported as a receive failure.
constexpr size_t MAX_CONTROL_DATAGRAM = 65535;

}  // namespace

bool ControlListener::open(uint16_t port) {
    buffer.resize(MAX_CONTROL_DATAGRAM);
    if (!socket.open(port)) {
        fprintf(stderr, "[Host] Error: cannot listen on 127.0.0.1:%u\n",
                static_cast<unsigned>(port));
        return false;
    }
    return true;
}

ControlEvents ControlListener::poll() {
    ControlEvents events;
    if (!socket.is_open()) {
        return events;
    }
    // 0 means nothing waits (or an empty datagram, which the next poll passes over); -1 a failure
    // the socket has already reported. Either way the frames go on.
    for (int length; (length = socket.receive(buffer.data(), buffer.size(), 0)) > 0;) {
        const std::span<const uint8_t> datagram(buffer.data(), static_cast<size_t>(length));
        if (protocol::is_keyframe_request(datagram)) {
            ++events.keyframe_requests;
            fputs("[Host] Keyframe request received; next frame is a keyframe\n", stdout);
            fflush(stdout);
        } else if (const auto state = protocol::read_audio_state(datagram)) {
            ++events.audio_states;
            events.last_audio_state = state;
            printf("[Host] Audio state: muted=%d volume=%.3f\n", state->muted ? 1 : 0,
                   static_cast<double>(state->volume));
            fflush(stdout);
        } else {
            ++events.ignored;
        }
    }
    return events;
}

}  // namespace nimbar::host
