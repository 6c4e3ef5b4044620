// The media datagram as bytes on the wire: field positions and byte order, how the viewer sorts
// datagrams, each reader's checks at their edges, and the host's cutting of frames.

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "protocol/byte_order.h"
#include "protocol/fragmenter.h"
#include "protocol/frame_id_window.h"
#include "protocol/media_datagram.h"
#include "protocol/stream_senders.h"

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

TEST(FrameIdWindow, TakesAnyIdAheadAndConfirmsARestart) {
    using std::chrono::milliseconds;
    using enum FrameIdVerdict;
    const auto t = FrameIdWindow::Clock::now();
    const auto at = [&](int ms) { return t + milliseconds(ms); };
    FrameIdWindow ids;
    EXPECT_EQ(ids.check(2147483653u, t), Take);  // any first id
    ids.completed(100, t);
    struct Case {
        uint32_t id;
        int at_ms;
        FrameIdVerdict verdict;
    };
    for (const auto [id, at_ms, verdict] :
         {Case{100, 0, Drop}, Case{36, 0, Drop}, Case{35, 0, Candidate}, Case{101, 0, Take},
          Case{60000, 0, Take}, Case{4294967295u, 0, Take},
          // Silent for a second: even its own stale ids may be a restart.
          Case{99, 999, Drop}, Case{99, 1000, Candidate}}) {
        EXPECT_EQ(ids.check(id, at(at_ms)), verdict) << id << " at " << at_ms;
    }

    // A restart confirms with three frames in sequence at one a second, not with late copies out
    // of sequence or far apart in time.
    EXPECT_FALSE(ids.candidate_completed(5, false, at(100)));
    EXPECT_FALSE(ids.candidate_completed(4, false, at(200)));
    EXPECT_FALSE(ids.candidate_completed(6, false, at(1800)));
    ids.completed(101, at(1900));
    EXPECT_FALSE(ids.candidate_completed(1, false, at(2000)));
    EXPECT_FALSE(ids.candidate_completed(2, false, at(3000)));
    EXPECT_TRUE(ids.candidate_completed(4, false, at(4000)));  // one lost between
    EXPECT_EQ(ids.newest_completed(), 4u);
    EXPECT_EQ(ids.run(), 3u);
    EXPECT_EQ(ids.run_started(), at(2000));
    // After a second of silence one frame that stands on its own is enough.
    EXPECT_FALSE(ids.candidate_completed(1, false, at(5100)));
    EXPECT_TRUE(ids.candidate_completed(1, true, at(5100)));
    EXPECT_EQ(ids.run(), 1u);
}

// What each frame of a sequence means, with the host sending from one socket and others sending
// to the same port: a live stream, slow or fast, is never taken over; a host on a new socket is
// followed once the old one is silent; a stray that showed during a still spell yields to the host
// at its next frame.
TEST(StreamSenders, FollowTheHostWhateverOthersSend) {
    using enum Completion;
    constexpr Sender HOST = 0x7F00000104D2;
    constexpr Sender STRAY = 0x7F0000010929;
    constexpr Sender NEW_SOCKET = 0x7F0000011000;
    struct Frame {
        Sender from;
        uint32_t id;
        int at_ms;
        Completion expected;
        bool stands_alone = false;
    };
    struct Scenario {
        const char* name;
        std::vector<Frame> frames;
    };
    const Scenario scenarios[] = {
        {"any first id, any gap",
         {{HOST, 1000, 0, Stream, true},
          {HOST, 1001, 333, Stream},
          {HOST, 1019, 6333, Stream},
          {HOST, 2147483653u, 6666, Stream},
          {HOST, 2147483653u, 6670, Held}}},
        {"junk and a trickle against a live stream at 3 frames/s",
         {{HOST, 1, 0, Stream, true},
          {STRAY, 1000000, 10, Held, true},
          {STRAY, 1000001, 30, Held},
          {STRAY, 1000002, 50, Held},
          {HOST, 2, 333, Stream},
          {STRAY, 1000003, 500, Held},
          {HOST, 3, 666, Stream},
          {STRAY, 1000004, 1000, Held},
          {HOST, 4, 1000, Stream},
          {STRAY, 1000005, 1500, Held},
          {HOST, 5, 1333, Stream},
          {STRAY, 1000006, 2000, Held}}},
        {"one keyframe into a still spell",
         {{HOST, 1, 0, Stream, true}, {STRAY, 9, 1200, Held, true}, {HOST, 2, 9000, Stream}}},
        {"a host on a new socket",
         {{HOST, 7, 0, Stream, true},
          {NEW_SOCKET, 1, 100, Held, true},
          {NEW_SOCKET, 2, 433, Held},
          {NEW_SOCKET, 3, 766, Held},
          {NEW_SOCKET, 4, 1100, Switched},
          {NEW_SOCKET, 5, 1433, Stream},
          {HOST, 8, 1500, Held}}},
        {"a trickle in a still spell yields to the host",
         {{HOST, 1, 0, Stream, true},
          {HOST, 2, 33, Stream},
          {HOST, 3, 66, Stream},
          {HOST, 4, 99, Stream},
          {STRAY, 500, 1000, Held, true},
          {STRAY, 501, 1500, Held, true},
          {STRAY, 502, 2000, Switched, true},
          {STRAY, 503, 2500, Stream, true},
          {HOST, 5, 2600, Switched},
          {STRAY, 504, 3000, Held, true},
          {HOST, 6, 3033, Stream}}},
        {"a stray before the host",
         {{STRAY, 40, 0, Stream, true},
          {HOST, 1, 200, Held, true},
          {HOST, 2, 233, Held},
          {HOST, 3, 266, Held},
          {HOST, 31, 1200, Switched},
          {STRAY, 41, 1300, Held, true}}},
        {"a stray before the host, heard once more after the host began",
         {{STRAY, 1, 0, Stream, true},
          {HOST, 1, 100, Held, true},
          {HOST, 2, 133, Held},
          {HOST, 3, 166, Held},
          {STRAY, 2, 170, Stream},
          {HOST, 30, 1100, Held},
          {HOST, 32, 1170, Switched}}},
        {"a restart at 1 on the same socket",
         {{HOST, 500, 0, Stream, true},
          {HOST, 1, 333, Held, true},
          {HOST, 2, 666, Held},
          {HOST, 3, 1000, Switched},
          {HOST, 4, 1333, Stream},
          {HOST, 2, 1340, Held}}},
    };
    const auto t = StreamSenders::Clock::now();
    for (const Scenario& scenario : scenarios) {
        StreamSenders senders;
        for (const Frame& frame : scenario.frames) {
            const auto at = t + std::chrono::milliseconds(frame.at_ms);
            static_cast<void>(senders.check(frame.from, frame.id, at));
            EXPECT_EQ(senders.frame_completed(frame.from, frame.id, frame.stands_alone, at),
                      frame.expected)
                << scenario.name << ": frame " << frame.id << " at " << frame.at_ms << " ms";
        }
    }
}

}  // namespace
}  // namespace nimbar::protocol
