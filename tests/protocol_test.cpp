// The media datagram as bytes on the wire: field positions and byte order, how the viewer sorts
// datagrams, each reader's checks at their edges, and the host's cutting of frames.

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "protocol/byte_order.h"
#include "protocol/fragmenter.h"
#include "protocol/frame_id_window.h"
#include "protocol/media_datagram.h"

namespace nimbar::protocol {
namespace {

std::vector<uint8_t> fragment_datagram(uint16_t payload_size, uint16_t fragment_count,
                                       size_t length) {
    std::vector<uint8_t> datagram(length, 0xAB);
    FragmentHeader header;
    header.frame_id = 9;
    header.fragment_count = fragment_count;
    header.payload_size = payload_size;
    write_fragment_header(datagram, header);
    return datagram;
}

TEST(ByteOrder, FieldsAreLittleEndianWhateverTheAlignment) {
    uint8_t bytes[7] = {0xEE, 0x78, 0x56, 0x34, 0x12, 0xCD, 0xAB};
    EXPECT_EQ(load_u32_le(bytes + 1), 0x12345678u);
    EXPECT_EQ(load_u16_le(bytes + 5), 0xABCDu);
    store_u32_le(bytes + 1, 0xA1B2C3D4u);
    store_u16_le(bytes + 5, 0x0102);
    const uint8_t expected[7] = {0xEE, 0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x01};
    EXPECT_EQ(0, memcmp(bytes, expected, sizeof bytes));
}

TEST(MediaDatagram, HeadersSitAtTheirOffsets) {
    std::vector<uint8_t> datagram(40, 0);
    datagram[20] = 0x04;  // sequence 0x01020304
    datagram[21] = 0x03;
    datagram[22] = 0x02;
    datagram[23] = 0x01;
    datagram[24] = 0x34;  // data_size 0x1234
    datagram[25] = 0x12;
    datagram[26] = 0x05;  // flags
    datagram[28] = 0x10;  // frame_id 0x40302010
    datagram[29] = 0x20;
    datagram[30] = 0x30;
    datagram[31] = 0x40;
    datagram[32] = 0x07;  // fragment_index 7
    datagram[34] = 0xE8;  // fragment_count 1000
    datagram[35] = 0x03;
    datagram[36] = 0x78;  // payload_size 1400
    datagram[37] = 0x05;
    const auto common = read_common_header(datagram);
    ASSERT_TRUE(common);
    EXPECT_EQ(common->sequence, 0x01020304u);
    EXPECT_EQ(common->data_size, 0x1234);
    EXPECT_EQ(common->flags, 0x05);
    const auto fragment = read_fragment_header(datagram);
    ASSERT_TRUE(fragment);
    EXPECT_EQ(fragment->frame_id, 0x40302010u);
    EXPECT_EQ(fragment->fragment_index, 7);
    EXPECT_EQ(fragment->fragment_count, 1000);
    EXPECT_EQ(fragment->payload_size, 1400);

    std::vector<uint8_t> written(40, 0xFF);
    write_fragment_header(written, *fragment, common->flags);
    std::vector<uint8_t> expected = datagram;
    std::fill(expected.begin() + 20, expected.begin() + 26, uint8_t{0});  // not a fragment's
    EXPECT_EQ(written, expected);
}

TEST(MediaDatagram, ShortDatagramsCarryNoHeader) {
    std::vector<uint8_t> datagram(39, 0);
    EXPECT_FALSE(read_common_header(std::span(datagram).first(27)));
    EXPECT_TRUE(read_common_header(std::span(datagram).first(28)));
    EXPECT_FALSE(read_fragment_header(datagram));
}

TEST(MediaDatagram, OnlyTheAudioBitSortsAudioFromVideo) {
    std::vector<uint8_t> datagram(28, 0);
    EXPECT_EQ(classify_datagram(std::span(datagram).first(27)), DatagramKind::Ignored);
    EXPECT_EQ(classify_datagram(datagram), DatagramKind::VideoFragment);
    datagram[FLAGS_OFFSET] = 0xFB;
    EXPECT_EQ(classify_datagram(datagram), DatagramKind::VideoFragment);
    datagram[FLAGS_OFFSET] = AUDIO_FLAG;
    EXPECT_EQ(classify_datagram(datagram), DatagramKind::Audio);
}

TEST(MediaDatagram, AudioDatagramCarriesItsSequenceAndPacket) {
    const std::vector<uint8_t> opus = {0xFC, 0x01, 0x02};
    std::vector<uint8_t> datagram(64, 0xEE);
    ASSERT_EQ(write_audio_datagram(datagram, 0xA0B0C0D0u, opus), 31u);
    datagram.resize(31);
    EXPECT_EQ(classify_datagram(datagram), DatagramKind::Audio);
    const auto header = read_common_header(datagram);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->sequence, 0xA0B0C0D0u);
    EXPECT_EQ(header->data_size, 3);
    EXPECT_TRUE(audio_datagram_acceptable(*header, datagram.size()));
    EXPECT_EQ(std::vector<uint8_t>(datagram.begin() + 28, datagram.end()), opus);
    EXPECT_EQ(write_audio_datagram(std::span(datagram).first(30), 1, opus), 0u);
    EXPECT_EQ(write_audio_datagram(datagram, 1, {}), 0u);
}

TEST(MediaDatagram, VideoFragmentChecksAtTheirEdges) {
    const auto accepted = [](uint16_t payload, uint16_t count, size_t length) {
        const auto datagram = fragment_datagram(payload, count, length);
        return video_fragment_acceptable(*read_fragment_header(datagram), datagram.size());
    };
    EXPECT_TRUE(accepted(1400, 1, 1440));
    EXPECT_FALSE(accepted(1400, 1, 1439));  // payload_size claims more than is there
    EXPECT_FALSE(accepted(1401, 1, 1441));
    EXPECT_FALSE(accepted(0, 1, 40));
    EXPECT_TRUE(accepted(1, 1000, 41));
    EXPECT_FALSE(accepted(1, 1001, 41));
    EXPECT_FALSE(accepted(1, 0, 41));
    EXPECT_TRUE(accepted(10, 1, 1440));  // bytes after the payload are ignored
    EXPECT_FALSE(video_fragment_acceptable(FragmentHeader{1, 0, 1, 0}, 39));
}

TEST(MediaDatagram, AudioChecksAtTheirEdges) {
    CommonHeader header;
    header.data_size = 100;
    EXPECT_TRUE(audio_datagram_acceptable(header, 128));
    EXPECT_TRUE(audio_datagram_acceptable(header, 200));
    EXPECT_FALSE(audio_datagram_acceptable(header, 127));
    header.data_size = 0;
    EXPECT_FALSE(audio_datagram_acceptable(header, 128));
    header.data_size = 1;
    EXPECT_FALSE(audio_datagram_acceptable(header, 27));
}

TEST(MediaDatagram, PreviewPayloadIsTrustedOnlyAsFarAsTheDatagramReaches) {
    FragmentHeader header;
    header.payload_size = 1400;
    EXPECT_EQ(preview_payload_length(header, 1440, 5000), 1400u);
    EXPECT_EQ(preview_payload_length(header, 140, 5000), 100u);
    EXPECT_EQ(preview_payload_length(header, 1440, 200), 200u);
    EXPECT_EQ(preview_payload_length(header, 40, 5000), 0u);
    header.payload_size = 2000;  // more than 1400 is taken while it fits and is really there
    EXPECT_EQ(preview_payload_length(header, 2040, 5000), 2000u);
}

// Cuts a frame, reads every datagram back and rebuilds the frame from the payloads alone.
std::vector<uint8_t> cut_and_join(const std::vector<uint8_t>& frame, size_t& count) {
    count = fragment_count_for(frame.size());
    std::vector<uint8_t> joined;
    uint8_t datagram[MAX_FRAGMENT_DATAGRAM];
    for (size_t i = 0; i < count; ++i) {
        const size_t length = write_fragment_datagram(frame, 77, i, datagram);
        const auto header = read_fragment_header(std::span(datagram, length));
        EXPECT_TRUE(header);
        EXPECT_EQ(header->frame_id, 77u);
        EXPECT_EQ(header->fragment_index, i);
        EXPECT_EQ(header->fragment_count, count);
        EXPECT_EQ(length, FRAGMENT_HEADER_SIZE + header->payload_size);
        EXPECT_GE(header->payload_size, 1);
        EXPECT_EQ(classify_datagram(std::span(datagram, length)), DatagramKind::VideoFragment);
        joined.insert(joined.end(), datagram + FRAGMENT_HEADER_SIZE, datagram + length);
    }
    return joined;
}

TEST(Fragmenter, PiecesJoinBackIntoTheFrame) {
    for (size_t size : {size_t{1}, size_t{1399}, size_t{1400}, size_t{1401}, size_t{3500},
                        size_t{1280 * 720 * 4}}) {
        std::vector<uint8_t> frame(size);
        std::iota(frame.begin(), frame.end(), uint8_t{1});
        size_t count = 0;
        EXPECT_EQ(cut_and_join(frame, count), frame) << size;
        EXPECT_EQ(count, (size + 1399) / 1400) << size;
    }
    size_t count = 0;
    std::vector<uint8_t> hd(1280 * 720 * 4);
    cut_and_join(hd, count);
    EXPECT_EQ(count, 2634u);
}

TEST(Fragmenter, RefusesWhatItCannotCut) {
    uint8_t datagram[MAX_FRAGMENT_DATAGRAM];
    std::vector<uint8_t> frame(3000);
    EXPECT_EQ(write_fragment_datagram(frame, 1, 3, datagram), 0u);  // only 3 fragments
    EXPECT_EQ(write_fragment_datagram({}, 1, 0, datagram), 0u);
    EXPECT_EQ(write_fragment_datagram(frame, 1, 0, std::span(datagram, 1439)), 0u);
    EXPECT_EQ(write_fragment_datagram(frame, 1, 2, std::span(datagram, 240)), 240u);  // 200 left
    std::vector<uint8_t> huge(MAX_RAW_FRAGMENTS * FRAGMENT_PAYLOAD + 1);
    EXPECT_EQ(write_fragment_datagram(huge, 1, 0, datagram), 0u);
}

TEST(FrameIdWindow, TakesItsOwnNumberingAndConfirmsAnotherBeforeFollowingIt) {
    using std::chrono::milliseconds;
    using enum FrameIdVerdict;
    const auto t = FrameIdWindow::Clock::now();
    const auto at = [&](int ms) { return t + milliseconds(ms); };
    FrameIdWindow viewer(0);
    FrameIdWindow preview(1);
    EXPECT_EQ(viewer.check(0, t), Take);
    EXPECT_EQ(preview.check(0, t), Candidate);
    EXPECT_EQ(preview.check(9, t), Take);
    EXPECT_EQ(preview.check(10, t), Candidate);

    preview.completed(100, t);
    struct Case {
        uint32_t id;
        int at_ms;
        FrameIdVerdict verdict;
    };
    for (const auto [id, at_ms, verdict] :
         {Case{100, 0, Drop}, Case{36, 0, Drop}, Case{35, 0, Candidate}, Case{101, 0, Take},
          Case{108, 0, Take}, Case{109, 0, Candidate}, Case{60000, 0, Candidate},
          Case{4294967295u, 0, Candidate},
          // Silent for a second: even its own stale ids may be another numbering.
          Case{99, 999, Drop}, Case{99, 1000, Candidate}, Case{101, 1000, Take}}) {
        EXPECT_EQ(preview.check(id, at(at_ms)), verdict) << id << " at " << at_ms;
    }

    // A trickle of far-off frames confirms nothing: each comes too late after the one before, or
    // out of sequence, or stands alone while the stream still sends.
    EXPECT_FALSE(preview.candidate_completed(60000, true, at(100)));
    EXPECT_FALSE(preview.candidate_completed(60001, false, at(600)));
    EXPECT_FALSE(preview.candidate_completed(60002, false, at(1100)));
    EXPECT_FALSE(preview.candidate_completed(70000, false, at(1150)));
    EXPECT_EQ(preview.newest_completed(), 100u);
    // A new numbering completing in sequence takes over from a stream still sending.
    preview.completed(101, at(1200));
    EXPECT_FALSE(preview.candidate_completed(5000, false, at(1210)));
    EXPECT_FALSE(preview.candidate_completed(5001, false, at(1243)));
    EXPECT_TRUE(preview.candidate_completed(5003, false, at(1276)));  // one lost between
    EXPECT_EQ(preview.newest_completed(), 5003u);
    EXPECT_EQ(preview.check(5004, at(1280)), Take);
    EXPECT_EQ(preview.check(102, at(1280)), Candidate);

    // After a second of silence, one frame that stands on its own is enough; one that does not,
    // is not.
    EXPECT_FALSE(preview.candidate_completed(9000, false, at(2300)));
    EXPECT_TRUE(preview.candidate_completed(20, true, at(2300)));
    EXPECT_EQ(preview.newest_completed(), 20u);
}

}  // namespace
}  // namespace nimbar::protocol
