// The receiver's path before the decoder, without a window or a thread: which fragments make which
// frame bytes, what is dropped and reported lost, what the decode queue keeps, and which frames the
// keyframe gate lets through.

#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <optional>
#include <tuple>
#include <vector>

#include "protocol/fragmenter.h"
#include "protocol/media_datagram.h"
#include "receiver/codec_check.h"
#include "receiver/decode_pace.h"
#include "receiver/decode_queue.h"
#include "receiver/frame_reassembler.h"
#include "receiver/keyframe.h"
#include "receiver/keyframe_gate.h"
#include "tests/support/encoded_stream.h"

namespace nimbar::client {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

std::vector<uint8_t> frame_bytes(size_t size, uint8_t seed) {
    std::vector<uint8_t> frame(size);
    for (size_t i = 0; i < size; ++i) {
        frame[i] = static_cast<uint8_t>(seed + i * 31);
    }
    return frame;
}

std::vector<uint8_t> fragment(const std::vector<uint8_t>& frame, uint32_t frame_id, size_t index) {
    std::vector<uint8_t> datagram(protocol::MAX_FRAGMENT_DATAGRAM);
    datagram.resize(protocol::write_fragment_datagram(frame, frame_id, index, datagram));
    return datagram;
}

std::vector<uint8_t> raw_fragment(uint32_t frame_id, uint16_t index, uint16_t count,
                                  uint16_t payload_size, size_t present, uint8_t fill) {
    std::vector<uint8_t> datagram(protocol::FRAGMENT_HEADER_SIZE + present, fill);
    protocol::write_fragment_header(datagram, {frame_id, index, count, payload_size});
    return datagram;
}

class ReassemblyTest : public ::testing::Test {
  protected:
    // What the datagram did, kept until the next one.
    const FragmentResult& feed(const std::vector<uint8_t>& datagram,
                               milliseconds at = milliseconds(0), protocol::Sender from = HOST) {
        last = reassembler.add(datagram, from, t0 + at);
        completed.insert(completed.end(), last.completed.begin(), last.completed.end());
        lost += last.frames_lost;
        return last;
    }
    void feed_frame(uint32_t frame_id, const std::vector<uint8_t>& frame,
                    std::vector<size_t> order = {}, milliseconds at = milliseconds(0),
                    protocol::Sender from = HOST) {
        if (order.empty()) {
            order.resize(protocol::fragment_count_for(frame.size()));
            std::iota(order.begin(), order.end(), size_t{0});
        }
        for (size_t index : order) {
            feed(fragment(frame, frame_id, index), at, from);
        }
    }
    static constexpr protocol::Sender HOST = 0x7F0000011388;
    static constexpr protocol::Sender OTHER = 0x7F0000012000;
    // The completed frames' own bytes, padding stripped after checking it is zero.
    std::vector<std::vector<uint8_t>> completed_bytes() {
        std::vector<std::vector<uint8_t>> frames;
        for (const auto& frame : completed) {
            EXPECT_EQ(frame.bytes.size(), frame.length + DECODER_INPUT_PADDING);
            for (size_t i = frame.length; i < frame.bytes.size(); ++i) {
                EXPECT_EQ(frame.bytes[i], 0) << "padding byte " << i;
            }
            frames.emplace_back(frame.bytes.begin(), frame.bytes.begin() + frame.length);
        }
        return frames;
    }
    FrameReassembler reassembler;
    FragmentResult last;
    std::vector<CompressedFrame> completed;
    uint32_t lost = 0;
    Clock::time_point t0 = Clock::now();
};

TEST_F(ReassemblyTest, AnyArrivalOrderGivesTheSameBytes) {
    const auto one = frame_bytes(5000, 1);
    const auto two = frame_bytes(2900, 2);
    feed_frame(1, one, {3, 2, 1, 0});
    // Frames 2 and 3 interleaved.
    const auto three = frame_bytes(1400, 3);
    feed(fragment(two, 2, 1));
    feed(fragment(three, 3, 0));  // completes 3 and makes 2 obsolete
    feed(fragment(two, 2, 0));    // older than 3 now: dropped
    EXPECT_EQ(completed_bytes(), (std::vector<std::vector<uint8_t>>{one, three}));
    EXPECT_EQ(completed[1].frame_id, 3u);
    EXPECT_EQ(reassembler.slot_count(), 0u);
    EXPECT_EQ(reassembler.buffered_bytes(), 0u);
}

TEST_F(ReassemblyTest, ShortFragmentInTheMiddleLeavesNoGap) {
    feed(raw_fragment(1, 0, 3, 1400, 1400, 0xA1));
    feed(raw_fragment(1, 1, 3, 700, 700, 0xB2));
    feed(raw_fragment(1, 2, 3, 1400, 1400, 0xC3));
    const auto frames = completed_bytes();
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(frames[0].size(), 3500u);
    EXPECT_EQ(frames[0][1399], 0xA1);
    EXPECT_EQ(frames[0][1400], 0xB2);
    EXPECT_EQ(frames[0][2099], 0xB2);
    EXPECT_EQ(frames[0][2100], 0xC3);
    EXPECT_EQ(frames[0][3499], 0xC3);
}

TEST_F(ReassemblyTest, DuplicatesAndIndexesBeyondTheFirstCountAreDropped) {
    const auto frame = frame_bytes(2800, 4);
    EXPECT_TRUE(feed(fragment(frame, 1, 0)).stored);
    EXPECT_FALSE(feed(fragment(frame, 1, 0)).stored);                  // repeat: must not count
    EXPECT_FALSE(feed(raw_fragment(1, 2, 5, 100, 100, 0xEE)).stored);  // the frame's count is 2
    EXPECT_TRUE(completed.empty());
    feed(fragment(frame, 1, 1));
    EXPECT_EQ(completed_bytes(), (std::vector<std::vector<uint8_t>>{frame}));
}

TEST_F(ReassemblyTest, MalformedFragmentsAreDroppedSilently) {
    CaptureStderr();
    feed(raw_fragment(1, 0, 1, 1401, 1401, 1));  // payload above 1400
    feed(raw_fragment(1, 0, 1, 1400, 1399, 1));  // payload_size beyond the datagram
    feed(raw_fragment(1, 0, 0, 10, 10, 1));      // no fragments
    feed(raw_fragment(1, 0, 1001, 10, 10, 1));   // too many fragments
    feed(raw_fragment(1, 0, 1, 0, 0, 1));        // empty payload
    auto shorter = raw_fragment(1, 0, 1, 1, 1, 1);
    shorter.pop_back();
    feed(shorter);
    EXPECT_EQ(reassembler.slot_count(), 0u);
    EXPECT_TRUE(completed.empty());

    feed(raw_fragment(1, 0, 1000, 1400, 1400, 1));  // the largest frame is fine
    EXPECT_EQ(reassembler.slot_count(), 1u);
    EXPECT_EQ(reassembler.buffered_bytes(), 1000u * 1400);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(lost, 0u);
}

TEST_F(ReassemblyTest, ACompletedFrameIsNeverCompletedTwice) {
    const auto frame = frame_bytes(1000, 6);
    feed_frame(5, frame);
    feed_frame(5, frame);  // the same single fragment again
    EXPECT_EQ(completed.size(), 1u);
    EXPECT_EQ(reassembler.slot_count(), 0u);  // nor does it open a slot
    feed_frame(4, frame_bytes(1000, 7));      // older: dropped
    feed_frame(6, frame_bytes(1000, 8));
    EXPECT_EQ(completed.size(), 2u);
    feed_frame(0, frame_bytes(10, 1));  // id 0 is older than 6 too
    EXPECT_EQ(completed.size(), 2u);
}

TEST_F(ReassemblyTest, FrameIdZeroCompletesOnce) {
    feed_frame(0, frame_bytes(10, 1));
    feed_frame(0, frame_bytes(10, 1));
    EXPECT_EQ(completed.size(), 1u);
}

// Every way a frame is lost marks the next completed frame, and only that one.
TEST_F(ReassemblyTest, LossesMarkTheNextCompletedFrame) {
    CaptureStderr();
    feed_frame(1, frame_bytes(100, 1));
    feed_frame(2, frame_bytes(4200, 2), {0, 1});              // incomplete...
    feed_frame(3, frame_bytes(100, 3), {}, milliseconds(5));  // ...and overtaken, without a line
    EXPECT_EQ(lost, 1u);
    feed_frame(4, frame_bytes(100, 4));
    ASSERT_EQ(completed.size(), 3u);  // 1, 3 and 4
    EXPECT_FALSE(completed[0].follows_loss);
    EXPECT_TRUE(completed[1].follows_loss);
    EXPECT_EQ(completed[1].lost_at, t0 + milliseconds(5));
    EXPECT_FALSE(completed[2].follows_loss);
    EXPECT_EQ(GetCapturedStderr(), "");

    // Given up by the sweep: newer than anything completed, so the frame after it is marked.
    CaptureStderr();
    feed(raw_fragment(5, 0, 2, 10, 10, 1), milliseconds(10));
    const auto swept = feed(raw_fragment(6, 0, 2, 10, 10, 1), milliseconds(300));
    EXPECT_EQ(swept.frames_timed_out, 1u);
    feed_frame(7, frame_bytes(100, 7), {}, milliseconds(320));  // and 6 is overtaken
    feed_frame(8, frame_bytes(100, 8), {}, milliseconds(330));
    ASSERT_EQ(completed.size(), 5u);
    EXPECT_TRUE(completed[3].follows_loss);
    EXPECT_EQ(completed[3].lost_at, t0 + milliseconds(300));
    EXPECT_FALSE(completed[4].follows_loss);
    EXPECT_EQ(lost, 3u);

    // A frame lost with all its fragments leaves only a gap in the ids.
    feed_frame(10, frame_bytes(100, 10), {}, milliseconds(340));
    ASSERT_EQ(completed.size(), 6u);
    EXPECT_TRUE(completed[5].follows_loss);
    EXPECT_EQ(lost, 4u);

    GetCapturedStderr();  // the sweep's lines
}

TEST_F(ReassemblyTest, AKeyframeLostOnItsWayIsNotedWithTheNextFrame) {
    // A VP8 keyframe of 3 fragments (its first byte's bit 0 clear, then the start code) loses its
    // last one.
    std::vector<uint8_t> keyframe = frame_bytes(4000, 0);
    keyframe[0] = 0x50;
    keyframe[3] = 0x9d;
    keyframe[4] = 0x01;
    keyframe[5] = 0x2a;
    feed_frame(1, keyframe, {0, 1}, milliseconds(0));
    std::vector<uint8_t> delta = frame_bytes(100, 1);
    delta[0] = 0x51;
    feed_frame(2, delta, {}, milliseconds(20));
    feed_frame(3, delta, {}, milliseconds(40));
    ASSERT_EQ(completed.size(), 2u);
    EXPECT_EQ(completed[0].keyframe_lost_at, t0 + milliseconds(20));
    EXPECT_TRUE(completed[0].follows_loss);
    EXPECT_FALSE(completed[0].keyframe);
    EXPECT_FALSE(completed[1].keyframe_lost_at);
}

// A VP8 keyframe of `size` bytes: the frame tag's key bit clear, the start code after it.
std::vector<uint8_t> vp8_keyframe(size_t size, uint8_t seed) {
    auto frame = frame_bytes(size, seed);
    frame[0] = 0x50;
    frame[3] = 0x9d;
    frame[4] = 0x01;
    frame[5] = 0x2a;
    return frame;
}

// Only the stream's sender moves it on, however far its ids jump; another sender's frames are held
// back (asking for a keyframe), and when that sender takes the stream over, the keyframe it began
// with reaches the decoder first.
TEST_F(ReassemblyTest, OtherSendersFramesAreHeldBackUntilTheyTakeTheStreamOver) {
    CaptureStderr();
    feed_frame(1, frame_bytes(3000, 1), {0}, milliseconds(0));  // an incomplete frame first
    feed_frame(1000, vp8_keyframe(100, 1), {}, milliseconds(20));
    EXPECT_FALSE(last.held_back);
    for (int i = 0; i < 3; ++i) {  // junk far ahead from another socket while the stream goes on
        feed_frame(1000000 + i, vp8_keyframe(100, 2), {}, milliseconds(30 + 20 * i), OTHER);
        EXPECT_TRUE(last.held_back);
    }
    feed_frame(1001, frame_bytes(100, 3), {}, milliseconds(333));
    feed_frame(1019, frame_bytes(100, 4), {}, milliseconds(6333));  // after a stall
    ASSERT_EQ(completed.size(), 3u);
    EXPECT_EQ(completed.back().frame_id, 1019u);
    EXPECT_TRUE(completed.back().follows_loss);  // 1002 to 1018 never came

    // A host on a new socket: its keyframe and the frames after it wait until the old socket
    // has been silent through a second of them, then go to the decoder in order.
    for (uint32_t id = 1; id <= 4; ++id) {
        feed_frame(id, id == 1 ? vp8_keyframe(100, 5) : frame_bytes(100, 5), {},
                   milliseconds(6400 + 340 * static_cast<int>(id - 1)), OTHER);
    }
    EXPECT_TRUE(last.restarted);
    ASSERT_EQ(completed.size(), 7u);
    for (uint32_t id = 1; id <= 4; ++id) {
        EXPECT_EQ(completed[2 + id].frame_id, id);
        EXPECT_EQ(completed[2 + id].follows_loss, id == 1);
    }
    EXPECT_TRUE(completed[3].keyframe);
    feed_frame(1020, frame_bytes(100, 6), {}, milliseconds(7500));  // the old socket's: held
    EXPECT_EQ(completed.size(), 7u);
    EXPECT_EQ(GetCapturedStderr(), "");  // held frames go without a word
}

TEST_F(ReassemblyTest, SweepReportsAFrameIncompleteAfter250Ms) {
    const auto frame = frame_bytes(14000, 1);  // 10 fragments
    CaptureStderr();
    feed_frame(1, frame, {0, 1, 2, 3, 4, 5, 6});
    feed(raw_fragment(2, 0, 2, 10, 10, 1), milliseconds(250));  // not yet: 250 ms is not more
    EXPECT_EQ(GetCapturedStderr(), "");

    CaptureStderr();
    EXPECT_EQ(feed(raw_fragment(3, 0, 2, 10, 10, 1), milliseconds(251)).frames_timed_out, 1u);
    EXPECT_EQ(GetCapturedStderr(),
              "[VideoReceiver] Dropped frame 1: 7/10 fragments received (30.0% loss)\n");

    CaptureStderr();
    feed(raw_fragment(4, 0, 2, 10, 10, 1), milliseconds(600));
    const std::string lines = GetCapturedStderr();  // in the slot table's order
    EXPECT_NE(lines.find("[VideoReceiver] Dropped frame 2: 1/2 fragments received (50.0% loss)\n"),
              std::string::npos);
    EXPECT_NE(lines.find("[VideoReceiver] Dropped frame 3: 1/2 fragments received (50.0% loss)\n"),
              std::string::npos);

    // A stream that stops after an incomplete frame: the owner's sweep gives it up on time.
    FrameReassembler stopped;
    CaptureStderr();
    EXPECT_TRUE(stopped.add(raw_fragment(1, 0, 2, 10, 10, 1), HOST, t0).stored);
    EXPECT_EQ(stopped.sweep(t0 + milliseconds(250)).frames_timed_out, 0u);
    EXPECT_EQ(stopped.sweep(t0 + milliseconds(251)).frames_timed_out, 1u);
    EXPECT_EQ(GetCapturedStderr(),
              "[VideoReceiver] Dropped frame 1: 1/2 fragments received (50.0% loss)\n");
}

// A fragment outside its own frame, or counting its frame otherwise than its frame's first did,
// changes nothing: no slot, no count, no loss, no line.
TEST_F(ReassemblyTest, MalformedFragmentsChangeNothing) {
    CaptureStderr();
    EXPECT_TRUE(feed(raw_fragment(1, 3, 3, 10, 10, 1)).malformed);  // index past its count
    EXPECT_EQ(reassembler.slot_count(), 0u);
    const auto frame = frame_bytes(2800, 1);
    feed(fragment(frame, 1, 0));  // count 2
    EXPECT_TRUE(feed(raw_fragment(1, 1, 3, 100, 100, 7)).malformed);
    EXPECT_TRUE(feed(raw_fragment(1, 0, 1, 100, 100, 7)).malformed);
    feed(fragment(frame, 1, 1));
    EXPECT_EQ(completed_bytes(), (std::vector<std::vector<uint8_t>>{frame}));
    feed(raw_fragment(2, 5, 2, 10, 10, 1), milliseconds(400));
    EXPECT_EQ(lost, 0u);
    EXPECT_EQ(GetCapturedStderr(), "");
}

// A flood of frame ids is purged to 31 slots, other senders' first, then those farthest from the
// newest completed frame: the frame the stream is completing is never the one to go.
TEST_F(ReassemblyTest, ManyNewFrameIdsArePurgedFarthestFirst) {
    feed_frame(1, frame_bytes(100, 1));
    const auto next = frame_bytes(2800, 2);
    feed(fragment(next, 2, 0));
    for (uint32_t id = 1000; id < 1059; ++id) {
        feed(raw_fragment(id, 0, 2, 1400, 1400, 1), milliseconds(0), OTHER);
    }
    EXPECT_EQ(reassembler.slot_count(), 60u);
    CaptureStderr();
    feed(raw_fragment(999, 0, 3, 10, 10, 1), milliseconds(0), OTHER);
    EXPECT_EQ(reassembler.slot_count(), 31u);
    EXPECT_EQ(GetCapturedStderr(), "");
    // A fragment of a frame that already has a slot starts no purge.
    feed(raw_fragment(999, 1, 3, 10, 10, 1), milliseconds(0), OTHER);
    EXPECT_EQ(reassembler.slot_count(), 31u);
    feed(fragment(next, 2, 1));
    ASSERT_EQ(completed.size(), 2u);
    EXPECT_EQ(completed[1].frame_id, 2u);
    EXPECT_FALSE(completed[1].follows_loss);  // strays' frames are no loss of the stream's

    // Frames of 1000 fragments hold 1,400,000 bytes each: 38 of them pass 50 MiB.
    FrameReassembler big;
    for (uint32_t id = 1; id <= 39; ++id) {
        EXPECT_TRUE(big.add(raw_fragment(id, 0, 1000, 1400, 1400, 1), HOST, t0).stored);
    }
    EXPECT_EQ(big.slot_count(), 31u);
    EXPECT_EQ(big.buffered_bytes(), 31u * 1000 * 1400);
}

TEST(Keyframes, AreToldFromTheirFirstBytes) {
    using Bytes = std::vector<uint8_t>;
    struct Case {
        const char* name;
        VideoCodec codec;
        Bytes frame;
        bool keyframe, parameter_sets, recovery_point, shows_picture;
    };
    const Case cases[] = {
        {"vp8 key",
         VideoCodec::VP8,
         {0x50, 0x42, 0, 0x9d, 0x01, 0x2a, 0x40, 1, 0xf0, 0},
         true,
         false,
         false,
         true},
        {"vp8 delta", VideoCodec::VP8, {0x51, 0x42, 0x00}, false, false, false, true},
        {"vp8 hidden (alt-ref)", VideoCodec::VP8, {0x41, 0x42, 0x00}, false, false, false, false},
        {"vp8 empty", VideoCodec::VP8, {}, false, false, false, false},
        {"vp8 key bit alone", VideoCodec::VP8, {0x50}, false, false, false, false},
        {"vp8 no start code",
         VideoCodec::VP8,
         {0x50, 0x42, 0, 0, 0, 0, 0x40, 1, 0xf0, 0},
         false,
         false,
         false,
         true},
        {"idr with sets",
         VideoCodec::H264,
         {0, 0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3, 0, 0, 1, 0x65, 9},
         true,
         true,
         false,
         true},
        {"idr alone", VideoCodec::H264, {0, 0, 0, 1, 0x65, 9, 9}, true, false, false, true},
        {"aud, then a slice",
         VideoCodec::H264,
         {0, 0, 0, 1, 0x09, 0x10, 0, 0, 1, 0x41, 9, 0, 0, 1, 0x65},
         false,
         false,
         false,
         true},
        {"sets alone",
         VideoCodec::H264,
         {0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3},
         false,
         true,
         false,
         false},
        // SEI: user data with an emulation prevention byte in it, then a recovery point.
        {"recovery point",
         VideoCodec::H264,
         {0, 0, 1, 0x06, 5, 3, 0, 0, 3, 1, 6, 1, 0x84, 0x80, 0, 0, 1, 0x41, 9},
         false,
         false,
         true,
         true},
        {"other SEI",
         VideoCodec::H264,
         {0, 0, 1, 0x06, 5, 1, 6, 0x80, 0, 0, 1, 0x41, 9},
         false,
         false,
         false,
         true},
        {"forbidden bit", VideoCodec::H264, {0, 0, 1, 0xE5, 9}, false, false, false, false},
        {"vp8 as h264",
         VideoCodec::H264,
         {0x50, 0x42, 0, 0x9d, 0x01, 0x2a, 0x40, 1, 0xf0, 0},
         false,
         false,
         false,
         false},
    };
    for (const Case& c : cases) {
        const auto traits = frame_traits(c.codec, c.frame);
        EXPECT_EQ(traits.keyframe, c.keyframe) << c.name;
        EXPECT_EQ(traits.parameter_sets, c.parameter_sets) << c.name;
        EXPECT_EQ(traits.recovery_point, c.recovery_point) << c.name;
        EXPECT_EQ(traits.shows_picture, c.shows_picture) << c.name;
    }
    EXPECT_EQ(protocol::h264_parameter_sets(cases[6].frame),
              (Bytes{0, 0, 0, 1, 0x67, 1, 2, 0, 0, 0, 1, 0x68, 3}));
    EXPECT_TRUE(protocol::is_h264_idr(cases[6].frame));
    EXPECT_FALSE(protocol::is_h264_idr(cases[7].frame));
}

// Real frames of each codec as hosts send them, and stray frames of the other one, cycled 100 ms
// apart for 30 s into a check for one codec: the frame of the first line (-1: none), and how many.
TEST(CodecCheckTest, AStreamInTheOtherCodecGetsALineEveryTenSecondsARightOneNever) {
    const auto vp8 = testing::encode_pattern(host::VideoCodec::VP8, 320, 240, 3);
    const auto h264 = testing::encode_pattern(host::VideoCodec::H264, 320, 240, 3);
    ASSERT_TRUE(vp8.size() == 3 && h264.size() == 3 && h264[1][3] == 1);
    auto alt_ref = vp8[2];  // an inter frame not shown: a hidden alt-ref frame's tag
    alt_ref[0] &= ~0x10;
    std::vector<uint8_t> aud = {0, 0, 0, 1, 0x09, 0xf0}, sei = {0, 0, 1, 6, 5, 1, 0, 0x80};
    aud.insert(aud.end(), h264[1].begin(), h264[1].end());
    sei.insert(sei.end(), h264[2].begin(), h264[2].end());
    const std::vector<uint8_t> short_code(h264[1].begin() + 1, h264[1].end());  // 00 00 01
    const std::vector<uint8_t> junk = {0, 0, 1, 0x9d, 0x01, 0x2a, 0x80};        // forbidden bit set
    using Row = std::tuple<VideoCodec, std::vector<std::vector<uint8_t>>, int, int>;
    for (const auto& [codec, cycle, first_line_at, lines] : std::vector<Row>{
             {VideoCodec::VP8, {vp8[0], vp8[1], alt_ref, vp8[2]}, -1, 0},
             {VideoCodec::H264, {h264[0], h264[1], aud, sei, short_code, h264[2]}, -1, 0},
             {VideoCodec::VP8, {vp8[0], h264[0], h264[1], vp8[1], junk, junk, junk}, -1, 0},
             {VideoCodec::H264, {h264[0], vp8[0], vp8[1], junk, vp8[2], alt_ref}, -1, 0},
             {VideoCodec::VP8, {h264[0], h264[1], short_code, aud, sei, h264[2]}, 2, 3},
             {VideoCodec::H264, {vp8[0], vp8[1], alt_ref, vp8[2]}, 2, 3}}) {
        CodecCheck check(codec);
        int first = -1;
        int count = 0;
        for (int i = 0; i < 300; ++i) {
            if (check.observe(cycle[i % cycle.size()],
                              Clock::time_point() + milliseconds(100 * i))) {
                first = first < 0 ? i : first;
                ++count;
            }
        }
        EXPECT_EQ(std::pair(first, count), std::pair(first_line_at, lines)) << cycle.size();
    }
}

CompressedFrame numbered(uint32_t id, bool keyframe = false) {
    CompressedFrame frame;
    frame.frame_id = id;
    frame.keyframe = keyframe;
    return frame;
}

TEST(DecodeQueueTest, AFullQueueIsFlushedForTheNewestFrame) {
    DecodeQueue queue;
    const auto now = Clock::now();
    for (uint32_t id = 1; id <= DECODE_QUEUE_SLOTS; ++id) {
        EXPECT_EQ(queue.push(numbered(id), now), 0u);
    }
    EXPECT_FALSE(queue.idle());
    EXPECT_EQ(queue.push(numbered(7), now + milliseconds(3)), DECODE_QUEUE_SLOTS);
    std::vector<CompressedFrame> batch;
    ASSERT_EQ(queue.take_all(batch), DecodeQueue::Taken::Frames);
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0].frame_id, 7u);
    EXPECT_TRUE(batch[0].follows_loss);  // it may refer to the frames dropped before it
    EXPECT_EQ(batch[0].lost_at, now + milliseconds(3));
    EXPECT_FALSE(queue.idle());
    queue.finished(batch.size());
    EXPECT_TRUE(queue.idle());
    EXPECT_EQ(queue.take_all(batch, milliseconds(1)), DecodeQueue::Taken::Nothing);
    EXPECT_EQ(batch.size(), 1u);

    queue.push(numbered(8), now);
    queue.abort();
    EXPECT_TRUE(queue.idle());  // given up
    EXPECT_EQ(queue.take_all(batch), DecodeQueue::Taken::Aborted);
    EXPECT_EQ(queue.push(numbered(9), now), 0u);
    EXPECT_EQ(queue.size(), 1u);  // frame 8 waits for clear(); 9 was not taken
    queue.clear();
    EXPECT_EQ(queue.size(), 0u);
}

// A frame as the gate sees it: keyframe or not, and what was lost before it.
CompressedFrame gated(bool keyframe, std::optional<Clock::time_point> lost_at = std::nullopt,
                      std::optional<Clock::time_point> keyframe_lost_at = std::nullopt) {
    CompressedFrame frame;
    frame.keyframe = keyframe;
    if (lost_at) {
        frame.mark_loss(*lost_at);
    }
    frame.keyframe_lost_at = keyframe_lost_at;
    return frame;
}

TEST(KeyframeGateTest, AfterALossOnlyAKeyframeIsDecoded) {
    KeyframeGate gate;
    const auto t = Clock::now();
    EXPECT_TRUE(gate.admit(gated(false), t).decode);
    EXPECT_FALSE(gate.take_loss_to_heal());

    const auto first = gate.admit(gated(false, t + milliseconds(5)), t + milliseconds(10));
    EXPECT_FALSE(first.decode);
    EXPECT_TRUE(first.ask_for_keyframe);
    const auto second = gate.admit(gated(false), t + milliseconds(40));
    EXPECT_FALSE(second.decode);
    EXPECT_FALSE(second.ask_for_keyframe);  // asked 30 ms ago
    EXPECT_TRUE(gate.admit(gated(false), t + milliseconds(520)).ask_for_keyframe);  // and again
    EXPECT_TRUE(gate.admit(gated(true), t + milliseconds(600)).decode);
    EXPECT_EQ(gate.take_loss_to_heal(), t + milliseconds(5));
    EXPECT_FALSE(gate.take_loss_to_heal());
    EXPECT_EQ(gate.frames_skipped(), 3u);
    EXPECT_EQ(gate.waits(), 1u);

    // A keyframe right after a loss needs no wait, and still heals it.
    EXPECT_TRUE(gate.admit(gated(true, t + milliseconds(700)), t + milliseconds(710)).decode);
    EXPECT_EQ(gate.take_loss_to_heal(), t + milliseconds(700));
    EXPECT_EQ(gate.waits(), 1u);
}

// Periodic intra refresh: a recovery point starts a refresh, from which every frame is decoded
// (the decoder forgetting what it held first) until a whole picture comes out; a loss on the way
// sends it back to waiting.
TEST(KeyframeGateTest, ARecoveryPointHealsOnceItsRefreshHasMadeAPicture) {
    KeyframeGate gate;
    const auto t = Clock::now();
    const auto at = [&](int ms) { return t + milliseconds(ms); };
    CompressedFrame recovery = gated(false);
    recovery.recovery_point = true;
    EXPECT_FALSE(gate.admit(gated(false, at(0)), at(1)).decode);
    const auto refresh = gate.admit(recovery, at(30));
    EXPECT_TRUE(refresh.decode);
    EXPECT_TRUE(refresh.start_refresh);
    const auto next = gate.admit(gated(false), at(60));
    EXPECT_TRUE(next.decode);
    EXPECT_FALSE(next.start_refresh);
    EXPECT_TRUE(gate.waiting());
    EXPECT_TRUE(gate.admit(gated(false), at(600)).ask_for_keyframe);  // frozen: asked again
    gate.picture_delivered();
    EXPECT_FALSE(gate.waiting());
    EXPECT_EQ(gate.take_loss_to_heal(), at(0));

    EXPECT_FALSE(gate.admit(recovery, at(700)).start_refresh);  // nothing to heal
    EXPECT_FALSE(gate.admit(gated(false, at(720)), at(730)).decode);
    EXPECT_TRUE(gate.admit(recovery, at(760)).start_refresh);
    EXPECT_FALSE(gate.admit(gated(false, at(780)), at(790)).decode);  // lost before it was whole
    EXPECT_TRUE(gate.admit(recovery, at(820)).start_refresh);
}

// Without a keyframe even starting to arrive, the wait ends after its limit; a keyframe that began
// to arrive and was lost shows the host answers, and renews it.
TEST(KeyframeGateTest, AHostWithoutKeyframesIsGivenUpOnAfterTheLimit) {
    const auto t = Clock::now();
    const auto limit = KEYFRAME_WAIT_LIMIT;
    KeyframeGate gate;
    gate.decoder_failed(t);
    EXPECT_TRUE(gate.waiting());
    EXPECT_FALSE(gate.admit(gated(false), t + limit - milliseconds(1)).decode);
    EXPECT_TRUE(gate.admit(gated(false), t + limit).decode);
    EXPECT_FALSE(gate.waiting());
    EXPECT_EQ(gate.waits_given_up(), 1u);
    EXPECT_EQ(gate.take_loss_to_heal(), t);

    KeyframeGate answered;
    EXPECT_FALSE(answered.admit(gated(false, t), t).decode);
    const auto renewed = t + milliseconds(1500);
    const auto lost_answer = answered.admit(gated(false, t, renewed), renewed);
    EXPECT_FALSE(lost_answer.decode);
    EXPECT_TRUE(lost_answer.ask_for_keyframe);  // at once, not at the next interval
    EXPECT_FALSE(answered.admit(gated(false), t + limit + milliseconds(100)).decode);
    EXPECT_TRUE(answered.admit(gated(false), renewed + limit).decode);
    // A "keyframe" that the decoder fails was none: the wait goes on, still timed from the loss.
    KeyframeGate fooled;
    EXPECT_FALSE(fooled.admit(gated(false, t), t).decode);
    EXPECT_TRUE(fooled.admit(gated(true), t + milliseconds(1000)).decode);
    fooled.decoder_failed(t + milliseconds(1001));
    EXPECT_FALSE(fooled.admit(gated(false), t + limit - milliseconds(1)).decode);
    EXPECT_TRUE(fooled.admit(gated(false), t + limit).decode);

    // A decoder started anew after a pause takes a keyframe next, the wait timed from the first
    // frame after the pause; nothing was lost, so nothing heals.
    KeyframeGate restarted;
    restarted.decoder_restarted();
    const auto resumed = t + std::chrono::seconds(3);
    EXPECT_TRUE(restarted.admit(gated(false), resumed).ask_for_keyframe);
    EXPECT_FALSE(restarted.admit(gated(false), resumed + limit - milliseconds(1)).decode);
    EXPECT_TRUE(restarted.admit(gated(true), resumed + limit - milliseconds(1)).decode);
    EXPECT_FALSE(restarted.take_loss_to_heal());
}

// Frames every 33 ms: slice threads while the decoder keeps up, frame threads once it has been
// behind for a while (at a keyframe), and slice threads again once the stream has become light.
TEST(DecodePaceTest, SwitchesThreadsOnlyAfterASustainedChange) {
    using enum DecoderThreads;
    DecodePace pace;
    auto t = Clock::now();
    const auto run = [&](int frames, int cost_ms) {
        for (int i = 0; i < frames; ++i) {
            t += milliseconds(33);
            pace.frame_arrived(t);
            pace.frames_decoded(milliseconds(cost_ms), 1, t);
        }
    };
    run(90, 25);  // busy, but keeping up
    EXPECT_EQ(pace.choose(Slice, t), Slice);
    run(30, 32);  // behind for a second only
    EXPECT_EQ(pace.choose(Slice, t), Slice);
    run(90, 32);
    EXPECT_EQ(pace.choose(Slice, t), Frame);
    run(60, 16);  // what frame threads make of it: still too much for slice threads
    EXPECT_EQ(pace.choose(Frame, t), Frame);
    run(200, 9);  // the stream became light
    EXPECT_EQ(pace.choose(Frame, t), Slice);
    EXPECT_EQ(pace.choose(Slice, t), Slice);  // measured anew after a switch
}

}  // namespace
}  // namespace nimbar::client
