#pragma once

// Where a datagram read from the viewer's socket goes: by the AUDIO_FLAG of its header to the
// receiver's screen audio or to its reassembly. The main loop and the fuzzer both hand datagrams
// on through here.

#include <cstdint>

#include "receiver/video_receiver.h"

namespace nimbar::viewer {

// Hands one whole datagram (header included) from `from` that arrived at `now` to the receiver.
// One shorter than the common header is dropped without a word.
void dispatch_datagram(client::VideoReceiver& receiver, const uint8_t* datagram, int length,
                       protocol::Sender from, client::VideoReceiver::Clock::time_point now);

}  // namespace nimbar::viewer
