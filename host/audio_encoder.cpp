#include "host/audio_encoder.h"

#include <opus/opus.h>

#include <cstdio>

#include "host/audio_format.h"

namespace nimbar::host {

namespace {

// The output buffer libopus documents as always enough for one packet.
constexpr int MAX_OPUS_PACKET = 4000;

}  // namespace

AudioEncoder::~AudioEncoder() {
    close();
}

void AudioEncoder::close() {
    opus_encoder_destroy(encoder);
    encoder = nullptr;
}

bool AudioEncoder::open(int bitrate_kbps) {
    close();
    int error = OPUS_OK;
    encoder =
        opus_encoder_create(AUDIO_SAMPLE_RATE, AUDIO_CHANNELS, OPUS_APPLICATION_AUDIO, &error);
    if (encoder == nullptr || error != OPUS_OK) {
        fprintf(stderr, "[Host] Error: cannot open the Opus encoder: %s\n", opus_strerror(error));
        close();
        return false;
    }
    error = opus_encoder_ctl(encoder, OPUS_SET_BITRATE(bitrate_kbps * 1000));
    if (error != OPUS_OK) {
        fprintf(stderr, "[Host] Error: the Opus encoder refuses %d kbit/s: %s\n", bitrate_kbps,
                opus_strerror(error));
        close();
        return false;
    }
    return true;
}

bool AudioEncoder::encode(std::span<const int16_t> pcm, std::vector<uint8_t>& packet) {
    packet.clear();
    const size_t expected = size_t{AUDIO_FRAME_SAMPLES} * AUDIO_CHANNELS;
    if (encoder == nullptr || pcm.size() != expected) {
        fprintf(stderr, "[Host] Error: cannot encode %zu samples as one 20 ms stereo frame\n",
                pcm.size());
        return false;
    }
    packet.resize(MAX_OPUS_PACKET);
    const opus_int32 length =
        opus_encode(encoder, pcm.data(), AUDIO_FRAME_SAMPLES, packet.data(), MAX_OPUS_PACKET);
    if (length < 0) {
        fprintf(stderr, "[Host] Error: Opus encoding failed: %s\n", opus_strerror(length));
        packet.clear();
        return false;
    }
    packet.resize(static_cast<size_t>(length));
    return true;
}

}  // namespace nimbar::host
