// The receiver's frame reassembly, behind a decoder that never wakes: which fragments make which
// frame bytes, what is dropped, what is reported, and what the decode queue holds.

#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <vector>

#include "protocol/fragmenter.h"
#include "protocol/media_datagram.h"
#include "tests/receiver_probe.h"

namespace nimbar::client {
namespace {

using std::chrono::milliseconds;
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
    void SetUp() override { ReceiverProbe::start_reassembly_only(receiver); }

    void feed(const std::vector<uint8_t>& datagram, milliseconds at = milliseconds(0)) {
        receiver.handle_video_packet(datagram.data(), static_cast<int>(datagram.size()), t0 + at);
    }
    void feed_frame(uint32_t frame_id, const std::vector<uint8_t>& frame,
                    std::vector<size_t> order = {}, milliseconds at = milliseconds(0)) {
        if (order.empty()) {
            order.resize(protocol::fragment_count_for(frame.size()));
            std::iota(order.begin(), order.end(), size_t{0});
        }
        for (size_t index : order) {
            feed(fragment(frame, frame_id, index), at);
        }
    }
    // The queued frames' own bytes, padding stripped after checking it is zero.
    std::vector<std::vector<uint8_t>> queued_frames() {
        std::vector<std::vector<uint8_t>> frames;
        for (const auto& queued : ReceiverProbe::queued(receiver)) {
            EXPECT_EQ(queued.bytes.size(), queued.length + DECODER_INPUT_PADDING);
            for (size_t i = queued.length; i < queued.bytes.size(); ++i) {
                EXPECT_EQ(queued.bytes[i], 0) << "padding byte " << i;
            }
            frames.emplace_back(queued.bytes.begin(), queued.bytes.begin() + queued.length);
        }
        return frames;
    }
    void expect_bytes_accounted() {
        const auto [counted, actual] = ReceiverProbe::slot_bytes(receiver);
        EXPECT_EQ(counted, actual);
    }

    VideoReceiver receiver;
    VideoReceiver::Clock::time_point t0 = VideoReceiver::Clock::now();
};

TEST_F(ReassemblyTest, AnyArrivalOrderQueuesTheSameBytes) {
    const auto one = frame_bytes(5000, 1);
    const auto two = frame_bytes(2900, 2);
    feed_frame(1, one, {3, 2, 1, 0});
    // Frames 2 and 3 interleaved.
    const auto three = frame_bytes(1400, 3);
    feed(fragment(two, 2, 1));
    feed(fragment(three, 3, 0));  // completes 3 and makes 2 obsolete
    feed(fragment(two, 2, 0));    // older than 3 now: dropped
    EXPECT_EQ(queued_frames(), (std::vector<std::vector<uint8_t>>{one, three}));
    EXPECT_EQ(ReceiverProbe::slot_count(receiver), 0u);
    expect_bytes_accounted();
}

TEST_F(ReassemblyTest, ShortFragmentInTheMiddleLeavesNoGap) {
    feed(raw_fragment(1, 0, 3, 1400, 1400, 0xA1));
    feed(raw_fragment(1, 1, 3, 700, 700, 0xB2));
    feed(raw_fragment(1, 2, 3, 1400, 1400, 0xC3));
    const auto frames = queued_frames();
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
    feed(fragment(frame, 1, 0));
    feed(fragment(frame, 1, 0));                  // repeat: must not count
    feed(raw_fragment(1, 2, 5, 100, 100, 0xEE));  // its own count is 5, the frame's is 2
    EXPECT_TRUE(queued_frames().empty());
    feed(fragment(frame, 1, 1));
    EXPECT_EQ(queued_frames(), (std::vector<std::vector<uint8_t>>{frame}));
}

TEST_F(ReassemblyTest, MalformedFragmentsAreDroppedSilently) {
    CaptureStderr();
    feed(raw_fragment(1, 0, 1, 1401, 1401, 1));  // payload above 1400
    feed(raw_fragment(1, 0, 1, 1400, 1399, 1));  // payload_size beyond the datagram
    feed(raw_fragment(1, 0, 0, 10, 10, 1));      // no fragments
    feed(raw_fragment(1, 0, 1001, 10, 10, 1));   // too many fragments
    feed(raw_fragment(1, 0, 1, 0, 0, 1));        // empty payload
    auto shorter = raw_fragment(1, 0, 1, 1, 1, 1);
    receiver.handle_video_packet(shorter.data(), 39, t0);
    EXPECT_EQ(ReceiverProbe::slot_count(receiver), 0u);
    EXPECT_TRUE(queued_frames().empty());

    feed(raw_fragment(1, 0, 1000, 1400, 1400, 1));  // the largest frame is fine
    EXPECT_EQ(ReceiverProbe::slot_count(receiver), 1u);
    expect_bytes_accounted();
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_FALSE(receiver.take_keyframe_request());
}

TEST_F(ReassemblyTest, NothingIsTakenBeforeTheReceiverRuns) {
    VideoReceiver idle;
    const auto frame = frame_bytes(100, 5);
    const auto datagram = fragment(frame, 1, 0);
    idle.handle_video_packet(datagram.data(), static_cast<int>(datagram.size()));
    EXPECT_TRUE(ReceiverProbe::queued(idle).empty());
}

TEST_F(ReassemblyTest, ACompletedFrameIsNeverQueuedTwice) {
    const auto frame = frame_bytes(1000, 6);
    feed_frame(10, frame);
    feed_frame(10, frame);  // the same single fragment again
    EXPECT_EQ(queued_frames().size(), 1u);
    EXPECT_EQ(ReceiverProbe::slot_count(receiver), 0u);  // nor does it open a slot
    feed_frame(9, frame_bytes(1000, 7));                 // older: dropped
    feed_frame(11, frame_bytes(1000, 8));
    EXPECT_EQ(queued_frames().size(), 2u);
}

TEST_F(ReassemblyTest, FrameIdZeroCompletesOnce) {
    feed_frame(0, frame_bytes(10, 1));
    feed_frame(0, frame_bytes(10, 1));
    EXPECT_EQ(queued_frames().size(), 1u);
}

TEST_F(ReassemblyTest, OlderIncompleteFrameVanishesWhenANewerOneCompletes) {
    CaptureStderr();
    const auto eleven = frame_bytes(4200, 11);
    feed_frame(11, eleven, {0, 1});
    feed_frame(12, frame_bytes(100, 12));
    EXPECT_EQ(ReceiverProbe::slot_count(receiver), 0u);
    feed(fragment(frame_bytes(100, 13), 13, 0), milliseconds(300));  // a sweep finds nothing
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_FALSE(receiver.take_keyframe_request());
    expect_bytes_accounted();
}

TEST_F(ReassemblyTest, SweepReportsAFrameIncompleteAfter250MsAndAsksForOneKeyframe) {
    const auto frame = frame_bytes(14000, 1);  // 10 fragments
    CaptureStderr();
    feed_frame(1, frame, {0, 1, 2, 3, 4, 5, 6});
    feed(raw_fragment(2, 0, 2, 10, 10, 1), milliseconds(250));  // not yet: 250 ms is not more
    EXPECT_EQ(GetCapturedStderr(), "");

    CaptureStderr();
    feed(raw_fragment(3, 0, 2, 10, 10, 1), milliseconds(251));
    EXPECT_EQ(GetCapturedStderr(),
              "[VideoReceiver] Dropped frame 1: 7/10 fragments received (30.0% loss)\n"
              "[VideoReceiver] Requesting keyframe due to dropped frames\n");
    EXPECT_EQ(receiver.statistics().frames_dropped.load(), 1u);

    // While the request is still pending, a further loss prints only its own line.
    CaptureStderr();
    feed(raw_fragment(4, 0, 2, 10, 10, 1), milliseconds(600));
    const std::string lines = GetCapturedStderr();  // in the slot table's order
    EXPECT_EQ(lines.size(), 2 * std::string("[VideoReceiver] Dropped frame 2: 1/2 fragments "
                                            "received (50.0% loss)\n")
                                    .size());
    EXPECT_NE(lines.find("[VideoReceiver] Dropped frame 2: 1/2 fragments received (50.0% loss)\n"),
              std::string::npos);
    EXPECT_NE(lines.find("[VideoReceiver] Dropped frame 3: 1/2 fragments received (50.0% loss)\n"),
              std::string::npos);
    EXPECT_TRUE(receiver.take_keyframe_request());
    EXPECT_FALSE(receiver.take_keyframe_request());
    expect_bytes_accounted();
}

TEST_F(ReassemblyTest, FirstFragmentBeyondItsOwnCountIsReportedAsTotalLoss) {
    CaptureStderr();
    feed(raw_fragment(5, 3, 3, 10, 10, 1));  // creates frame 5's slot, stores nothing
    feed(raw_fragment(6, 0, 2, 10, 10, 1), milliseconds(300));
    EXPECT_EQ(GetCapturedStderr(),
              "[VideoReceiver] Dropped frame 5: 0/3 fragments received (100.0% loss)\n"
              "[VideoReceiver] Requesting keyframe due to dropped frames\n");
}

TEST_F(ReassemblyTest, ManyNewFrameIdsArePurgedTo31Slots) {
    for (uint32_t id = 1; id <= 60; ++id) {
        feed(raw_fragment(id, 0, 2, 1400, 1400, 1));
    }
    EXPECT_EQ(ReceiverProbe::slot_count(receiver), 60u);
    CaptureStderr();
    feed(raw_fragment(61, 0, 3, 10, 10, 1));
    EXPECT_EQ(ReceiverProbe::slot_count(receiver), 31u);
    EXPECT_EQ(GetCapturedStderr(), "");
    expect_bytes_accounted();
    // A fragment of a frame that already has a slot starts no purge.
    feed(raw_fragment(61, 1, 3, 10, 10, 1));
    EXPECT_EQ(ReceiverProbe::slot_count(receiver), 31u);
}

TEST_F(ReassemblyTest, FiftyMegabytesOfSlotsArePurgedToo) {
    // Frames of 1000 fragments hold 1,400,000 bytes each: 38 of them pass 50 MiB.
    for (uint32_t id = 1; id <= 38; ++id) {
        feed(raw_fragment(id, 0, 1000, 1400, 1400, 1));
    }
    EXPECT_EQ(ReceiverProbe::slot_count(receiver), 38u);
    feed(raw_fragment(39, 0, 1000, 1400, 1400, 1));
    EXPECT_EQ(ReceiverProbe::slot_count(receiver), 31u);
    expect_bytes_accounted();
}

TEST_F(ReassemblyTest, AFullQueueKeepsTheNewestSixFrames) {
    for (uint32_t id = 1; id <= 7; ++id) {
        feed_frame(id, frame_bytes(10, static_cast<uint8_t>(id)));
    }
    const auto frames = queued_frames();
    ASSERT_EQ(frames.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(frames[i], frame_bytes(10, static_cast<uint8_t>(i + 2)));
    }
    EXPECT_EQ(receiver.statistics().frames_overwritten.load(), 1u);
    EXPECT_EQ(receiver.statistics().frames_completed.load(), 7u);
}

}  // namespace
}  // namespace nimbar::client
