// Seed inputs for the fuzz targets, made from real streams: the host's test pattern encoded with
// libvpx and libx264 and cut into fragment datagrams, its tone encoded with libopus into audio
// datagrams, and raw preview frames. The fuzzers start from inputs that reach deep into the
// decoders instead of having to discover a valid keyframe by themselves.
//
//   make_fuzz_seeds <corpus folder>
//       writes <folder>/<target>/seed-* for viewer_datagram_fuzz, video_packet_fuzz and
//       frame_assembler_fuzz, in each target's input format (fuzz/datagram_records.h).

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/audio_encoder.h"
#include "host/audio_format.h"
#include "host/test_pattern.h"
#include "host/video_encoder.h"
#include "protocol/byte_order.h"
#include "protocol/fragmenter.h"
#include "protocol/media_datagram.h"

namespace {

namespace host = nimbar::host;
namespace protocol = nimbar::protocol;

// Small pictures: a few fragments a frame, cheap to decode in every run of a fuzzer.
constexpr int VIDEO_WIDTH = 64;
constexpr int VIDEO_HEIGHT = 48;
constexpr int VIDEO_FRAMES = 4;
constexpr int AUDIO_PACKETS = 6;
// The preview target's frame size (fuzz/frame_assembler_fuzz.cpp): two fragments a frame.
constexpr int RAW_WIDTH = 20;
constexpr int RAW_HEIGHT = 35;

class Records {
  public:
    void add(const std::vector<uint8_t>& datagram) {
        uint8_t length[2];
        protocol::store_u16_le(length, static_cast<uint16_t>(datagram.size()));
        bytes.insert(bytes.end(), length, length + 2);
        bytes.insert(bytes.end(), datagram.begin(), datagram.end());
    }
    std::vector<uint8_t> bytes;
};

void add_fragments(Records& records, const std::vector<uint8_t>& frame, uint32_t frame_id) {
    std::vector<uint8_t> datagram(protocol::MAX_FRAGMENT_DATAGRAM);
    for (size_t i = 0; i < protocol::fragment_count_for(frame.size()); ++i) {
        datagram.resize(protocol::MAX_FRAGMENT_DATAGRAM);
        datagram.resize(protocol::write_fragment_datagram(frame, frame_id, i, datagram));
        records.add(datagram);
    }
}

std::vector<std::vector<uint8_t>> encode_video(host::VideoCodec codec) {
    host::VideoEncoder encoder;
    host::EncoderSettings settings;
    settings.codec = codec;
    settings.width = VIDEO_WIDTH;
    settings.height = VIDEO_HEIGHT;
    std::vector<std::vector<uint8_t>> frames;
    if (!encoder.open(settings)) {
        return frames;
    }
    std::vector<uint8_t> picture(size_t{VIDEO_WIDTH} * VIDEO_HEIGHT * 4);
    for (int i = 0; i < VIDEO_FRAMES; ++i) {
        host::draw_test_pattern(picture, VIDEO_WIDTH, VIDEO_HEIGHT, static_cast<uint32_t>(i + 1));
        std::vector<uint8_t> frame;
        bool keyframe = false;
        if (encoder.encode(picture, i == 0, frame, keyframe) && !frame.empty()) {
            frames.push_back(std::move(frame));
        }
    }
    return frames;
}

std::vector<std::vector<uint8_t>> audio_datagrams() {
    host::AudioEncoder encoder;
    std::vector<std::vector<uint8_t>> datagrams;
    if (!encoder.open(64)) {
        return datagrams;
    }
    std::vector<int16_t> pcm(host::AUDIO_FRAME_SAMPLES * host::AUDIO_CHANNELS);
    for (int packet = 0; packet < AUDIO_PACKETS; ++packet) {
        for (int i = 0; i < host::AUDIO_FRAME_SAMPLES; ++i) {
            const double t = static_cast<double>(packet * host::AUDIO_FRAME_SAMPLES + i) /
                             host::AUDIO_SAMPLE_RATE;
            const auto value = static_cast<int16_t>(host::TONE_AMPLITUDE *
                                                    std::sin(2 * M_PI * host::TONE_LEFT_HZ * t));
            pcm[2 * i] = pcm[2 * i + 1] = value;
        }
        std::vector<uint8_t> opus;
        if (!encoder.encode(pcm, opus)) {
            continue;
        }
        std::vector<uint8_t> datagram(protocol::COMMON_HEADER_SIZE + opus.size());
        // Sequence numbers with a gap after the third, so that concealment runs too.
        const auto sequence = static_cast<uint32_t>(packet + 1 + (packet >= 3 ? 2 : 0));
        datagram.resize(protocol::write_audio_datagram(datagram, sequence, opus));
        datagrams.push_back(std::move(datagram));
    }
    return datagrams;
}

bool write_seed(const std::filesystem::path& folder, const std::string& name,
                const std::vector<uint8_t>& bytes) {
    std::filesystem::create_directories(folder);
    std::ofstream file(folder / name, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return file.good();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_fuzz_seeds <corpus folder>\n");
        return 2;
    }
    const std::filesystem::path corpus = argv[1];
    const auto audio = audio_datagrams();
    bool ok = !audio.empty();
    for (const auto& [codec, name, selector] :
         {std::tuple{host::VideoCodec::VP8, "vp8", uint8_t{0}},
          std::tuple{host::VideoCodec::H264, "h264", uint8_t{1}}}) {
        const auto frames = encode_video(codec);
        ok = ok && frames.size() == VIDEO_FRAMES;
        Records viewer;
        Records fragments;
        for (size_t i = 0; i < frames.size(); ++i) {
            add_fragments(viewer, frames[i], static_cast<uint32_t>(i + 1));
            add_fragments(fragments, frames[i], static_cast<uint32_t>(i + 1));
            viewer.add(audio[i % audio.size()]);
        }
        viewer.bytes.insert(viewer.bytes.begin(), selector);
        ok = ok &&
             write_seed(corpus / "viewer_datagram_fuzz", std::string("seed-") + name, viewer.bytes);
        if (codec == host::VideoCodec::VP8) {
            ok = ok && write_seed(corpus / "video_packet_fuzz", "seed-vp8", fragments.bytes);
        }
    }
    Records raw;
    const std::vector<uint8_t> frame(size_t{RAW_WIDTH} * RAW_HEIGHT * 4, 0x5A);
    for (uint32_t id : {1u, 2u, 3u, 70000u, 4u}) {  // one id far ahead among them
        add_fragments(raw, frame, id);
    }
    ok = ok && write_seed(corpus / "frame_assembler_fuzz", "seed-raw", raw.bytes);
    if (!ok) {
        fprintf(stderr, "make_fuzz_seeds: could not make every seed\n");
        return 1;
    }
    printf("make_fuzz_seeds: seeds in %s\n", corpus.c_str());
    return 0;
}
