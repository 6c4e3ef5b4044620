#pragma once

// Rebuilds compressed video frames from fragment datagrams, gives up the frames that stay
// incomplete, and says what each fragment did. Main thread only: it has no lock.
//
// Rules, in the order they apply to a fragment:
// - Malformed fragments (see protocol::video_fragment_acceptable, and an index at or past the
//   fragment's own count, or a count other than the one its frame already has) are dropped before
//   they touch any frame, and counted.
// - Which frames are the stream's is protocol::StreamSenders' call: frames of the stream's sender
//   newer than its newest completed frame are assembled for the decoder, its stale ones dropped;
//   frames of any other numbering (another sender's, or a restart of the stream's) are assembled
//   aside. Such a frame, once complete, is held back (the last HELD_FRAMES of them) until its
//   numbering is confirmed; the stream then starts over from it, and the frames held for it go to
//   the decoder first, so that a keyframe that began the new numbering is not lost.
// - A new frame id finding PURGE_TRIGGER_SLOTS slots or PURGE_TRIGGER_BYTES bytes held first
//   purges slots down to PURGE_TARGET_SLOTS: other numberings' first, then the ids farthest from
//   the newest completed frame, so that the frame the stream is completing is never the one to
//   go; the stream's purged frames are lost.
// - A completed frame drops every older slot of the stream; those frames are lost, without a line.
// - After each stored fragment, and whenever the owner sweeps, frames incomplete SLOT_TIMEOUT
//   after their first fragment are given up, with a "Dropped frame" line on stderr for the
//   stream's (other numberings' go without a word).
// A completed frame is marked as following a loss when any frame was lost since the frame
// completed before it, a frame id skipped between the two included (the host numbers every frame
// it sends, so a missing id is a frame lost with all its fragments), and as following a lost
// keyframe when one of the lost frames began as a keyframe.

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "protocol/stream_senders.h"
#include "receiver/compressed_frame.h"
#include "receiver/frame_slot.h"
#include "receiver/keyframe.h"

namespace nimbar::client {

// What one fragment datagram did.
struct [[nodiscard]] FragmentResult {
    bool stored = false;     // new, and kept; false: dropped
    bool malformed = false;  // dropped for what it says of itself
    bool restarted = false;  // it completed a frame that confirmed a new numbering: the stream
                             // starts over from the first of `completed`
    bool held_back = false;  // it completed a frame of a numbering the stream does not follow
    // Frames for the decoder, in stream order: the one it completed, after those held for its
    // numbering when it confirmed one.
    std::vector<CompressedFrame> completed;
    uint32_t frames_lost = 0;       // frames given up while handling it
    uint32_t frames_timed_out = 0;  // of those, the ones with a "Dropped frame" line
};

class FrameReassembler {
  public:
    using Clock = std::chrono::steady_clock;

    explicit FrameReassembler(VideoCodec codec = VideoCodec::VP8) : codec(codec) {}

    // Complete frames of other numberings held back until one is confirmed: a keyframe and the
    // frames after it at a few frames a second, within what the decode queue takes at once.
    static constexpr size_t HELD_FRAMES = 6;

    // Takes one fragment datagram (AUDIO_FLAG clear) from `from` that arrived at `now`.
    FragmentResult add(std::span<const uint8_t> datagram, protocol::Sender from,
                       Clock::time_point now);
    // Gives up the frames incomplete SLOT_TIMEOUT after their first fragment, as each fragment
    // does: for a stream that stops after an incomplete frame, which no fragment follows.
    FragmentResult sweep(Clock::time_point now);

    // Forgets every frame under reassembly and any loss not yet reported with a completed frame.
    void clear();

    size_t slot_count() const { return slots.size(); }
    size_t held_count() const { return held.size(); }
    // The bytes the slots hold, as counted when they come and go.
    uint64_t buffered_bytes() const { return slot_bytes; }

  private:
    using SlotKey = protocol::SenderFrame;
    struct HeldFrame {
        protocol::Sender sender = 0;
        CompressedFrame frame;
    };

    // A completed frame of the stream, or of another numbering: what it means for the result.
    void complete_frame(const SlotKey& key, FrameSlot& slot, Clock::time_point now,
                        FragmentResult& result);
    // The stream goes on from `frame`, the first of a new numbering, after the frames held for it.
    void start_over(protocol::Sender sender, CompressedFrame&& frame, Clock::time_point now,
                    FragmentResult& result);
    void hold(protocol::Sender sender, CompressedFrame&& frame);
    // Marks every slot as the stream's or not, as the stream stands now.
    void classify_slots(Clock::time_point now);
    // Each drops slots and returns how many of the stream's frames were lost with them.
    uint32_t purge(Clock::time_point now);
    uint32_t erase_up_to(const SlotKey& completed, Clock::time_point now);
    uint32_t erase_stream(Clock::time_point now);
    uint32_t time_out(Clock::time_point now);
    void note_loss(Clock::time_point now);
    // Notes a keyframe when the slot given up holds the start of one.
    void note_lost_slot(const FrameSlot& slot, Clock::time_point now);

    VideoCodec codec;
    std::unordered_map<SlotKey, FrameSlot, protocol::SenderFrameHash> slots;
    uint64_t slot_bytes = 0;
    protocol::StreamSenders senders;
    std::deque<HeldFrame> held;              // oldest first
    std::optional<uint32_t> last_completed;  // none at the start and after a restart
    uint32_t lost_since_last_completed = 0;  // given up by the sweep or a purge since then
    std::optional<Clock::time_point> loss_since_last_completed;
    std::optional<Clock::time_point> keyframe_lost_since_last_completed;
};

}  // namespace nimbar::client
