#include "tests/support/encoded_stream.h"

#include "host/test_pattern.h"
#include "protocol/fragmenter.h"
#include "protocol/media_datagram.h"

namespace nimbar::testing {

std::vector<std::vector<uint8_t>> encode_frames(const host::EncoderSettings& settings, int count,
                                                const DrawPicture& draw, uint32_t first_number,
                                                int keyframe_every) {
    host::VideoEncoder encoder;
    std::vector<std::vector<uint8_t>> frames;
    if (!encoder.open(settings)) {
        return frames;
    }
    std::vector<uint8_t> bgra(static_cast<size_t>(settings.width) * settings.height * 4);
    for (int i = 0; i < count; ++i) {
        draw(first_number + static_cast<uint32_t>(i), bgra);
        std::vector<uint8_t> frame;
        bool keyframe = false;
        const bool force = i == 0 || (keyframe_every > 0 && i % keyframe_every == 0);
        if (!encoder.encode(bgra, force, frame, keyframe) || frame.empty()) {
            return {};
        }
        frames.push_back(std::move(frame));
    }
    return frames;
}

std::vector<std::vector<uint8_t>> encode_pattern(host::VideoCodec codec, int width, int height,
                                                 int count, uint32_t first_number,
                                                 int keyframe_every) {
    host::EncoderSettings settings;
    settings.codec = codec;
    settings.width = width;
    settings.height = height;
    settings.bitrate_kbps = 8000;
    return encode_frames(
        settings, count,
        [&](uint32_t n, std::vector<uint8_t>& bgra) {
            host::draw_test_pattern(bgra, width, height, n);
        },
        first_number, keyframe_every);
}

std::vector<std::vector<uint8_t>> fragment_datagrams(const std::vector<uint8_t>& frame,
                                                     uint32_t frame_id) {
    std::vector<std::vector<uint8_t>> datagrams(protocol::fragment_count_for(frame.size()));
    for (size_t i = 0; i < datagrams.size(); ++i) {
        datagrams[i].resize(protocol::MAX_FRAGMENT_DATAGRAM);
        datagrams[i].resize(protocol::write_fragment_datagram(frame, frame_id, i, datagrams[i]));
    }
    return datagrams;
}

}  // namespace nimbar::testing
