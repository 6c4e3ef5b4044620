#include "host/audio_sender.h"

#include <cstdio>

#include "host/audio_format.h"
#include "protocol/media_datagram.h"

namespace nimbar::host {

namespace {

// What `--audio` takes to mean the tone rather than a file; a file of that name is "./tone".
constexpr const char* TONE_SOURCE = "tone";

AudioSource make_source(const std::string& audio) {
    return audio == TONE_SOURCE ? AudioSource() : AudioSource(audio);
}

}  // namespace

double audio_packet_rate(int drift_ppm) {
    return AUDIO_PACKETS_PER_SECOND * (1.0 + drift_ppm / 1e6);
}

AudioSender::AudioSender(const HostOptions& options)
    : port(options.port),
      bitrate_kbps(options.audio_bitrate_kbps),
      loss(options.audio_loss),
      random(options.impairments.seed),
      jitter(options.audio_jitter_ms, options.impairments.seed),
      source(make_source(options.audio)) {}

bool AudioSender::open() {
    if (!source.ok() || !encoder.open(bitrate_kbps)) {
        return false;
    }
    if (!socket.open(0)) {
        fprintf(stderr, "[Host] Error: cannot open a UDP socket\n");
        return false;
    }
    return true;
}

bool AudioSender::send_next(StreamSummary& summary) {
    source.next(pcm);
    // Encoded even when it will be lost: the encoder's state runs on as the real host's would.
    if (!encoder.encode(pcm, packet)) {
        return false;
    }
    const auto sequence = static_cast<uint32_t>(++numbered);
    ++summary.audio_packets;
    if (loss > 0.0 && std::uniform_real_distribution<double>(0.0, 1.0)(random) < loss) {
        ++summary.audio_lost;
        return true;
    }
    datagram.resize(protocol::COMMON_HEADER_SIZE + packet.size());
    const size_t length = protocol::write_audio_datagram(datagram, sequence, packet);
    if (length == 0 || socket.send_to(datagram.data(), length, "127.0.0.1", port) < 0) {
        ++summary.send_failures;
        return true;
    }
    ++summary.datagrams;
    summary.bytes += length;
    return true;
}

}  // namespace nimbar::host
