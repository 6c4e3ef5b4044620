// The preview's frame assembly: reordered, repeated, lost and malformed fragments, expiry, pruning,
// and the bytes of every frame it hands out.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "preview/frame_assembler.h"
#include "protocol/fragmenter.h"
#include "protocol/media_datagram.h"

namespace nimbar::preview {
namespace {

using std::chrono::milliseconds;
using Clock = FrameAssembler::Clock;

// 25 x 35 x 4 = 3500 bytes: fragments of 1400, 1400 and 700 bytes.
constexpr int WIDTH = 25;
constexpr int HEIGHT = 35;
constexpr size_t FRAME_BYTES = WIDTH * HEIGHT * 4;

// Frame contents that differ from frame to frame and contain no zero byte, so a gap shows.
std::vector<uint8_t> frame_content(uint32_t frame_id, size_t size = FRAME_BYTES) {
    std::vector<uint8_t> frame(size);
    for (size_t i = 0; i < size; ++i) {
        frame[i] = static_cast<uint8_t>(1 + (i * 7 + frame_id * 13) % 255);
    }
    return frame;
}

std::vector<uint8_t> fragment_of(const std::vector<uint8_t>& frame, uint32_t frame_id,
                                 size_t index) {
    std::vector<uint8_t> datagram(protocol::MAX_FRAGMENT_DATAGRAM);
    datagram.resize(protocol::write_fragment_datagram(frame, frame_id, index, datagram));
    return datagram;
}

// A datagram with header fields chosen freely and `present` payload bytes of value `fill`.
std::vector<uint8_t> raw_fragment(uint32_t frame_id, uint16_t index, uint16_t count,
                                  uint16_t payload_size, size_t present, uint8_t fill = 0x77) {
    std::vector<uint8_t> datagram(protocol::FRAGMENT_HEADER_SIZE + present, fill);
    protocol::write_fragment_header(datagram, {frame_id, index, count, payload_size});
    return datagram;
}

class FrameAssemblerTest : public ::testing::Test {
  protected:
    void feed(const std::vector<uint8_t>& datagram, milliseconds at = milliseconds(0),
              protocol::Sender from = HOST) {
        assembler.handle_datagram(datagram.data(), static_cast<int>(datagram.size()), from,
                                  t0 + at);
    }
    void feed_frame(uint32_t frame_id, std::vector<size_t> order = {0, 1, 2},
                    milliseconds at = milliseconds(0), protocol::Sender from = HOST) {
        const auto frame = frame_content(frame_id);
        for (size_t index : order) {
            feed(fragment_of(frame, frame_id, index), at, from);
        }
    }
    static constexpr protocol::Sender HOST = 0x7F0000011388;
    static constexpr protocol::Sender OTHER = 0x7F0000012000;

    FrameAssembler assembler{WIDTH, HEIGHT};
    Clock::time_point t0 = Clock::now();
};

TEST_F(FrameAssemblerTest, AnyOrderGivesTheSameFrame) {
    for (auto order : std::vector<std::vector<size_t>>{{0, 1, 2}, {2, 1, 0}, {1, 2, 0}}) {
        FrameAssembler fresh(WIDTH, HEIGHT);
        const auto frame = frame_content(1);
        for (size_t index : order) {
            EXPECT_FALSE(fresh.has_frame());
            const auto datagram = fragment_of(frame, 1, index);
            fresh.handle_datagram(datagram.data(), static_cast<int>(datagram.size()), HOST, t0);
        }
        ASSERT_TRUE(fresh.has_frame());
        EXPECT_EQ(fresh.get_latest_frame(), frame);
        EXPECT_EQ(fresh.newest_completed_id(), 1u);
    }
}

TEST_F(FrameAssemblerTest, InterleavedFramesCompleteSeparately) {
    const auto one = frame_content(1);
    const auto two = frame_content(2);
    feed(fragment_of(one, 1, 0));
    feed(fragment_of(two, 2, 2));
    feed(fragment_of(one, 1, 1));
    feed(fragment_of(two, 2, 0));
    feed(fragment_of(one, 1, 2));
    ASSERT_TRUE(assembler.has_frame());
    EXPECT_EQ(assembler.get_latest_frame(), one);
    assembler.release_frame();
    EXPECT_FALSE(assembler.has_frame());
    feed(fragment_of(two, 2, 1));
    ASSERT_TRUE(assembler.has_frame());
    EXPECT_EQ(assembler.get_latest_frame(), two);
    EXPECT_EQ(assembler.counters().frames_completed, 2u);
}

TEST_F(FrameAssemblerTest, DuplicateIsStoredOnceAndNeverOverwrites) {
    const auto frame = frame_content(1);
    feed(fragment_of(frame, 1, 0));
    feed(fragment_of(frame, 1, 0));  // a repeat must not count towards completion
    feed(fragment_of(frame, 1, 1));
    EXPECT_FALSE(assembler.has_frame());
    feed(raw_fragment(1, 1, 3, 1400, 1400, 0xEE));  // same index, other bytes: dropped
    feed(fragment_of(frame, 1, 2));
    ASSERT_TRUE(assembler.has_frame());
    EXPECT_EQ(assembler.get_latest_frame(), frame);
}

// A fragment outside its own frame, or counting its frame otherwise than its frame's first did,
// changes nothing, and is counted.
TEST_F(FrameAssemblerTest, MalformedFragmentsChangeNothing) {
    const auto frame = frame_content(1);
    feed(fragment_of(frame, 1, 1));                 // count 3
    feed(raw_fragment(1, 3, 5, 100, 100));          // another count
    feed(raw_fragment(1, 0, 1, 1400, 1400, 0x11));  // another count
    feed(raw_fragment(2, 3, 3, 100, 100));          // past its own count: no record either
    EXPECT_EQ(assembler.pending_frames(), 1u);
    EXPECT_EQ(assembler.counters().fragments_malformed, 3u);
    feed(fragment_of(frame, 1, 0));
    feed(fragment_of(frame, 1, 2));
    ASSERT_TRUE(assembler.has_frame());
    EXPECT_EQ(assembler.get_latest_frame(), frame);
}

TEST_F(FrameAssemblerTest, LastFragmentIsClampedToTheFrame) {
    FrameAssembler hd(1280, 720);
    // Every fragment but the last, then a last one whose payload_size claims a full 1400 bytes.
    const auto frame = frame_content(1, 1280 * 720 * 4);
    for (size_t i = 0; i < 2633; ++i) {
        const auto datagram = fragment_of(frame, 1, i);
        hd.handle_datagram(datagram.data(), static_cast<int>(datagram.size()), HOST, t0);
    }
    auto last = raw_fragment(1, 2633, 2634, 1400, 1400, 0x99);
    hd.handle_datagram(last.data(), static_cast<int>(last.size()), HOST, t0);
    ASSERT_TRUE(hd.has_frame());
    ASSERT_EQ(hd.get_latest_frame().size(), 1280u * 720 * 4);
    EXPECT_TRUE(
        std::equal(frame.begin(), frame.begin() + 2633 * 1400, hd.get_latest_frame().begin()));
    EXPECT_TRUE(std::all_of(hd.get_latest_frame().end() - 200, hd.get_latest_frame().end(),
                            [](uint8_t b) { return b == 0x99; }));
}

TEST_F(FrameAssemblerTest, PayloadSizeBeyondTheDatagramStoresOnlyWhatIsThere) {
    const auto frame = frame_content(1);
    feed(raw_fragment(1, 0, 3, 1400, 100, 0x42));  // claims 1400, carries 100
    feed(fragment_of(frame, 1, 1));
    feed(fragment_of(frame, 1, 2));
    ASSERT_TRUE(assembler.has_frame());
    const auto& shown = assembler.get_latest_frame();
    EXPECT_TRUE(
        std::all_of(shown.begin(), shown.begin() + 100, [](uint8_t b) { return b == 0x42; }));
    EXPECT_TRUE(
        std::all_of(shown.begin() + 100, shown.begin() + 1400, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(frame.begin() + 1400, frame.end(), shown.begin() + 1400));
}

TEST_F(FrameAssemblerTest, OversizedPayloadOverlapsTheNextFragmentLastWriteWins) {
    feed(raw_fragment(1, 0, 3, 2000, 2000, 0xA0));
    feed(raw_fragment(1, 1, 3, 1400, 1400, 0xB0));
    feed(raw_fragment(1, 2, 3, 700, 700, 0xC0));
    ASSERT_TRUE(assembler.has_frame());
    const auto& shown = assembler.get_latest_frame();
    EXPECT_EQ(shown[1399], 0xA0);
    EXPECT_EQ(shown[1400], 0xB0);  // fragment 1 came later
    EXPECT_EQ(shown[2800], 0xC0);
}

TEST_F(FrameAssemblerTest, ShortAndEmptyDatagramsChangeNothingButARecord) {
    auto short_one = raw_fragment(1, 0, 1, 0, 0);
    assembler.handle_datagram(short_one.data(), 39, HOST, t0);
    EXPECT_EQ(assembler.pending_frames(), 0u);
    feed(raw_fragment(1, 0, 3, 0, 0));  // 40 bytes, nothing to copy: the record exists, empty
    EXPECT_EQ(assembler.pending_frames(), 1u);
    EXPECT_FALSE(assembler.has_frame());
    feed_frame(1);
    ASSERT_TRUE(assembler.has_frame());
    EXPECT_EQ(assembler.get_latest_frame(), frame_content(1));
}

TEST_F(FrameAssemblerTest, FragmentBeyondTheFrameNeverCompletesIt) {
    // A count of 4 names a fragment at 4200, past the 3500-byte frame: that one stores nothing.
    feed(raw_fragment(1, 0, 4, 1400, 1400));
    feed(raw_fragment(1, 1, 4, 1400, 1400));
    feed(raw_fragment(1, 2, 4, 1400, 1400));
    feed(raw_fragment(1, 3, 4, 1400, 1400));
    EXPECT_FALSE(assembler.has_frame());
    feed(raw_fragment(2, 0, 3, 1, 1), milliseconds(101));
    EXPECT_EQ(assembler.pending_frames(), 1u);  // frame 1 expired
    EXPECT_EQ(assembler.counters().frames_expired, 1u);
}

// A frame of no fragments would be an all-black picture from one datagram: it is dropped, and the
// stream goes on.
TEST_F(FrameAssemblerTest, AFrameOfNoFragmentsIsDropped) {
    feed_frame(3);
    feed(raw_fragment(4, 0, 0, 100, 100));
    EXPECT_EQ(assembler.newest_completed_id(), 3u);
    EXPECT_EQ(assembler.pending_frames(), 1u);  // frame 3's record only
    feed_frame(4);
    EXPECT_EQ(assembler.get_latest_frame(), frame_content(4));
}

TEST_F(FrameAssemblerTest, NothingOlderThanTheNewestCompletedIsTaken) {
    feed_frame(0);  // frame ids start at 1
    EXPECT_FALSE(assembler.has_frame());
    EXPECT_EQ(assembler.pending_frames(), 0u);

    feed_frame(6, {0, 1});  // never completes
    feed_frame(7);
    assembler.release_frame();
    feed_frame(7);
    feed(fragment_of(frame_content(6), 6, 2));  // would complete 6, but 7 is newer
    feed_frame(3);
    EXPECT_FALSE(assembler.has_frame());
    EXPECT_EQ(assembler.newest_completed_id(), 7u);
}

TEST_F(FrameAssemblerTest, TwoCompletionsBetweenPassesLeaveTheSecond) {
    feed_frame(1);
    feed_frame(2);
    ASSERT_TRUE(assembler.has_frame());
    EXPECT_EQ(assembler.get_latest_frame(), frame_content(2));
}

TEST_F(FrameAssemblerTest, IncompleteFrameExpiresStrictlyAfter100Ms) {
    feed_frame(1, {0, 1});
    feed(fragment_of(frame_content(2), 2, 0), milliseconds(100));
    EXPECT_EQ(assembler.pending_frames(), 2u);  // exactly 100 ms is not yet too old
    feed(fragment_of(frame_content(2), 2, 1), milliseconds(101));
    EXPECT_EQ(assembler.pending_frames(), 1u);
    EXPECT_EQ(assembler.counters().frames_expired, 1u);

    // Its later fragments start it afresh; what came before is lost.
    feed(fragment_of(frame_content(1), 1, 2), milliseconds(102));
    EXPECT_FALSE(assembler.has_frame());
    feed_frame(1, {0, 1}, milliseconds(103));
    ASSERT_TRUE(assembler.has_frame());
    EXPECT_EQ(assembler.get_latest_frame(), frame_content(1));
}

TEST_F(FrameAssemblerTest, FrameStillArrivingAfter100MsIsErased) {
    feed(fragment_of(frame_content(1), 1, 0));
    feed(fragment_of(frame_content(1), 1, 1), milliseconds(101));  // stored, then erased with it
    EXPECT_EQ(assembler.pending_frames(), 0u);
    feed(fragment_of(frame_content(1), 1, 2), milliseconds(102));
    EXPECT_FALSE(assembler.has_frame());  // the last fragment found a fresh record

    // A fragment that completes its frame late still completes it: completion comes first.
    feed(fragment_of(frame_content(2), 2, 0), milliseconds(200));
    feed(fragment_of(frame_content(2), 2, 1), milliseconds(250));
    feed(fragment_of(frame_content(2), 2, 2), milliseconds(301));
    EXPECT_TRUE(assembler.has_frame());
}

TEST_F(FrameAssemblerTest, CompletionPrunesRecordsFarBehind) {
    feed_frame(1);
    for (uint32_t id = 2; id <= 9; ++id) {
        feed_frame(id, {0});  // eight incomplete frames
    }
    for (uint32_t id = 100; id <= 102; ++id) {
        feed_frame(id, {0});  // and three far off, of no numbering yet
    }
    EXPECT_EQ(assembler.pending_frames(), 12u);
    feed_frame(9, {1, 2});
    EXPECT_EQ(assembler.newest_completed_id(), 9u);
    // Every record of the stream below 9 - 5 is gone; 4 to 9 and the far ones remain.
    EXPECT_EQ(assembler.pending_frames(), 9u);
    EXPECT_EQ(assembler.counters().frames_expired, 2u);
}

TEST_F(FrameAssemblerTest, PruningWaitsUntilTheNewestIdReachesFive) {
    // Frames 2 to 12 pending; frame 1 completes with 11 records held. The bound 1 - 5 would wrap
    // and erase the newer frames, so nothing is pruned.
    for (uint32_t id = 2; id <= 12; ++id) {
        feed_frame(id, {0, 1});
    }
    feed_frame(1);
    EXPECT_EQ(assembler.pending_frames(), 12u);
    feed(fragment_of(frame_content(9), 9, 2));
    ASSERT_TRUE(assembler.has_frame());
    EXPECT_EQ(assembler.get_latest_frame(), frame_content(9));
}

// After a frame has been shown its buffer is reused; nothing of the old frame may show through.
class RecycledBufferTest : public FrameAssemblerTest {
  protected:
    void SetUp() override {
        feed_frame(1);
        ASSERT_TRUE(assembler.has_frame());
        assembler.release_frame();  // frame 1's bytes now wait in the spare buffer
    }
    bool zero(size_t from, size_t to) {
        const auto& shown = assembler.get_latest_frame();
        return std::all_of(shown.begin() + from, shown.begin() + to,
                           [](uint8_t b) { return b == 0; });
    }
};

TEST_F(RecycledBufferTest, ShortFragmentLeavesZerosNotTheOldFrame) {
    const auto frame = frame_content(2);
    feed(fragment_of(frame, 2, 0));
    feed(raw_fragment(2, 1, 3, 1400, 600, 0x42));  // claims 1400, carries 600
    feed(fragment_of(frame, 2, 2));
    ASSERT_TRUE(assembler.has_frame());
    EXPECT_TRUE(
        std::equal(frame.begin(), frame.begin() + 1400, assembler.get_latest_frame().begin()));
    EXPECT_EQ(assembler.get_latest_frame()[1400 + 599], 0x42);
    EXPECT_TRUE(zero(2000, 2800));
    EXPECT_TRUE(
        std::equal(frame.begin() + 2800, frame.end(), assembler.get_latest_frame().begin() + 2800));
}

TEST_F(RecycledBufferTest, CountTooSmallForTheFrameLeavesTheRestZero) {
    feed(raw_fragment(2, 0, 1, 1400, 1400, 0x42));
    ASSERT_TRUE(assembler.has_frame());
    EXPECT_EQ(assembler.get_latest_frame()[0], 0x42);
    EXPECT_TRUE(zero(1400, FRAME_BYTES));
}

TEST_F(RecycledBufferTest, OverlapAfterStoredFragmentsKeepsThemAndZeroesTheRest) {
    const auto frame = frame_content(2);
    feed(fragment_of(frame, 2, 2));
    feed(raw_fragment(2, 0, 3, 1600, 1600, 0xA0));  // runs 200 bytes into slot 1
    feed(raw_fragment(2, 1, 3, 100, 100, 0xB0));    // later, shorter: wins its 100 bytes only
    ASSERT_TRUE(assembler.has_frame());
    const auto& shown = assembler.get_latest_frame();
    EXPECT_EQ(shown[1399], 0xA0);
    EXPECT_EQ(shown[1400], 0xB0);
    EXPECT_EQ(shown[1499], 0xB0);
    EXPECT_EQ(shown[1500], 0xA0);
    EXPECT_EQ(shown[1599], 0xA0);
    EXPECT_TRUE(zero(1600, 2800));
    EXPECT_TRUE(std::equal(frame.begin() + 2800, frame.end(), shown.begin() + 2800));
}

// A flood of frame ids holds at most 16 frames, and pushes out those farthest from the newest
// completed frame: the frame the stream is completing stays.
TEST_F(FrameAssemblerTest, ManyNewFrameIdsHoldBoundedMemory) {
    feed_frame(1);
    feed(raw_fragment(2, 0, 3, 1400, 1400));
    for (uint32_t id = 1000; id < 2000; ++id) {
        feed(raw_fragment(id, 0, 3, 1400, 1400));
    }
    ASSERT_EQ(assembler.pending_frames(), 16u);  // 1, 2 and the 14 nearest of the flood
    feed(raw_fragment(999, 0, 3, 1400, 1400));   // nearer than some held: takes a place
    EXPECT_EQ(assembler.pending_frames(), 16u);
    feed(raw_fragment(2, 1, 3, 1400, 1400));
    feed(raw_fragment(2, 2, 3, 700, 700));
    EXPECT_EQ(assembler.newest_completed_id(), 2u);
}

// Under loss whole frames are many ids apart, and every one that completes is shown; another
// sender's frames are not, until the host's socket has been silent through a second of them, and
// then only until the host sends again.
TEST_F(FrameAssemblerTest, EveryWholeFrameOfTheHostIsShownAndNoOtherSendersWhileItSends) {
    feed_frame(1000);
    feed(raw_fragment(4294967295u, 0, 1, 10, 10), milliseconds(10), OTHER);  // whole at once
    for (uint32_t id : {1030u, 1100u, 61000u}) {
        feed_frame(id, {0, 1, 2}, milliseconds(id - 990));
        EXPECT_EQ(assembler.newest_completed_id(), id);
        EXPECT_EQ(assembler.get_latest_frame(), frame_content(id));
    }
    for (int i = 0; i < 4; ++i) {
        feed_frame(5000000 + i, {0, 1, 2}, milliseconds(70000 + 400 * i), OTHER);
    }
    EXPECT_EQ(assembler.newest_completed_id(), 5000003u);  // the host went quiet at 61000
    feed_frame(61001, {0, 1, 2}, milliseconds(71300));
    EXPECT_EQ(assembler.newest_completed_id(), 61001u);
    EXPECT_EQ(assembler.counters().restarts, 2u);
    feed_frame(5000004, {0, 1, 2}, milliseconds(71400), OTHER);
    EXPECT_EQ(assembler.newest_completed_id(), 61001u);
}

}  // namespace
}  // namespace nimbar::preview
