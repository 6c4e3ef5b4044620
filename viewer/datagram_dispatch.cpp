#include "viewer/datagram_dispatch.h"

#include <cstddef>

#include "protocol/media_datagram.h"

namespace nimbar::viewer {

void dispatch_datagram(client::VideoReceiver& receiver, const uint8_t* datagram, int length,
                       protocol::Sender from, client::VideoReceiver::Clock::time_point now) {
    if (length < 0) {
        return;
    }
    switch (protocol::classify_datagram({datagram, static_cast<size_t>(length)})) {
        case protocol::DatagramKind::Audio:
            receiver.handle_audio_packet(datagram, length, now);
            break;
        case protocol::DatagramKind::VideoFragment:
            receiver.handle_video_packet(datagram, length, from, now);
            break;
        case protocol::DatagramKind::Ignored:
            break;
    }
}

}  // namespace nimbar::viewer
