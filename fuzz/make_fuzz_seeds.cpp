// Seed inputs for the fuzz targets, made from real streams: the host's test pattern encoded with
// libvpx and libx264 and cut into fragment datagrams, its tone encoded with libopus into audio
// datagrams, and raw preview frames. The fuzzers start from inputs that reach deep into the
// decoders instead of having to discover a valid keyframe by themselves.
//
//   make_fuzz_seeds <corpus folder>
//       writes <folder>/<target>/seed-* for viewer_datagram_fuzz, video_packet_fuzz and
//       frame_assembler_fuzz, in each target's input format (fuzz/datagram_records.h).

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "protocol/byte_order.h"
#include "tests/support/encoded_stream.h"
#include "tests/support/opus_stream.h"

namespace {

namespace host = nimbar::host;
namespace protocol = nimbar::protocol;
namespace testing = nimbar::testing;

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
    void add_fragments(const std::vector<uint8_t>& frame, uint32_t frame_id) {
        for (const auto& datagram : testing::fragment_datagrams(frame, frame_id)) {
            add(datagram);
        }
    }
    std::vector<uint8_t> bytes;
};

// The tone's packets, numbered with a gap after the third so that concealment runs too.
std::vector<std::vector<uint8_t>> audio_datagrams() {
    std::vector<std::vector<uint8_t>> datagrams;
    const auto packets = testing::encode_tone(AUDIO_PACKETS);
    for (size_t i = 0; i < packets.size(); ++i) {
        const auto sequence = static_cast<uint32_t>(i + 1 + (i >= 3 ? 2 : 0));
        datagrams.push_back(testing::audio_datagram(sequence, packets[i]));
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
        const auto frames = testing::encode_pattern(codec, VIDEO_WIDTH, VIDEO_HEIGHT, VIDEO_FRAMES);
        ok = ok && frames.size() == VIDEO_FRAMES;
        Records viewer;
        Records fragments;
        for (size_t i = 0; i < frames.size(); ++i) {
            viewer.add_fragments(frames[i], static_cast<uint32_t>(i + 1));
            fragments.add_fragments(frames[i], static_cast<uint32_t>(i + 1));
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
        raw.add_fragments(frame, id);
    }
    ok = ok && write_seed(corpus / "frame_assembler_fuzz", "seed-raw", raw.bytes);
    if (!ok) {
        fprintf(stderr, "make_fuzz_seeds: could not make every seed\n");
        return 1;
    }
    printf("make_fuzz_seeds: seeds in %s\n", corpus.c_str());
    return 0;
}
