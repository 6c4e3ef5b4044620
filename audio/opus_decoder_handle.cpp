#include "audio/opus_decoder_handle.h"

#include <opus/opus.h>

namespace nimbar::audio {

bool OpusDecoderHandle::create(int sample_rate, int channels) {
    destroy();
    int error = 0;
    OpusDecoder* created = opus_decoder_create(sample_rate, channels, &error);
    if (error != OPUS_OK || created == nullptr) {
        if (created != nullptr) {
            opus_decoder_destroy(created);
        }
        return false;
    }
    decoder = created;
    return true;
}

int OpusDecoderHandle::decode(const uint8_t* packet, int length, int16_t* pcm, int frame_size) {
    if (decoder == nullptr) {
        return -1;
    }
    return opus_decode(decoder, packet, length, pcm, frame_size, 0);
}

int OpusDecoderHandle::conceal(int16_t* pcm, int frame_size) {
    if (decoder == nullptr) {
        return -1;
    }
    return opus_decode(decoder, nullptr, 0, pcm, frame_size, 0);
}

void OpusDecoderHandle::destroy() {
    if (decoder != nullptr) {
        opus_decoder_destroy(decoder);
        decoder = nullptr;
    }
}

}  // namespace nimbar::audio
