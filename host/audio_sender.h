#pragma once

// The host's screen audio on the wire: 20 ms of the source at a time, encoded to one Opus packet
// and sent to 127.0.0.1 as one audio datagram. Packets are numbered from 1 by one each; a lost
// packet keeps its number and is simply not sent, as the network would lose it. The caller keeps
// the time on a Pacer at audio_packet_rate().

#include <cstdint>
#include <random>
#include <vector>

#include "host/audio_encoder.h"
#include "host/audio_jitter.h"
#include "host/audio_source.h"
#include "host/host_options.h"
#include "host/stream_summary.h"
#include "net/udp_socket.h"

namespace nimbar::host {

// Packets a second on a host audio clock that is `drift_ppm` parts per million fast (or, below 0,
// slow): 50 when it is exact.
double audio_packet_rate(int drift_ppm);

class AudioSender {
  public:
    // options.audio to options.port at options.audio_bitrate_kbps; options.audio_loss drawn from a
    // generator of its own seeded with options.impairments.seed, so that the audio's losses repeat
    // with the seed whatever the video does.
    explicit AudioSender(const HostOptions& options);

    // Checks the source and opens the encoder and the socket. False after an error line.
    bool open();

    // Encodes the next 20 ms and sends it under the next sequence number, unless it is drawn as
    // lost. Adds it to `summary`. False after an error line when encoding failed.
    bool send_next(StreamSummary& summary);

    // Packets numbered so far: the index of the next one on the audio clock.
    uint64_t packets() const { return numbered; }

    // When the next packet, due at `due` on the audio clock, goes out: later by up to
    // options.audio_jitter_ms, in bursts, from a generator of its own seeded with
    // options.impairments.seed.
    AudioJitter::Clock::time_point send_time(AudioJitter::Clock::time_point due) {
        return jitter.release(due);
    }

  private:
    uint16_t port;
    int bitrate_kbps;
    double loss;
    std::mt19937 random;
    AudioJitter jitter;
    AudioSource source;
    AudioEncoder encoder;
    net::UDPSocket socket;
    std::vector<int16_t> pcm;
    std::vector<uint8_t> packet;
    std::vector<uint8_t> datagram;
    uint64_t numbered = 0;
};

}  // namespace nimbar::host
