#pragma once

// Rebuilds compressed video frames from fragment datagrams, gives up the frames that stay
// incomplete, and says what each fragment did. Main thread only: it has no lock.
//
// Rules, in the order they apply to a fragment:
// - Malformed fragments (see protocol::video_fragment_acceptable, and an index at or past the
//   fragment's own count, or a count other than the one its frame already has) are dropped before
//   they touch any frame, and counted.
// - Fragments of the newest completed frame or ones a little older are dropped. Frames of ids far
//   from the stream's are assembled aside as candidates of another numbering; one counts only when
//   it confirms that numbering (protocol::FrameIdWindow), and the stream then starts over from it.
// - A new frame id finding PURGE_TRIGGER_SLOTS slots or PURGE_TRIGGER_BYTES bytes held first
//   purges slots down to PURGE_TARGET_SLOTS, the ids farthest from the newest completed frame
//   first, so that the frame the stream is completing is never the one to go; the purged frames
//   are lost.
// - A completed frame drops every older slot of the stream; those frames are lost, without a line.
// - After each stored fragment, and whenever the owner sweeps, frames incomplete SLOT_TIMEOUT
//   after their first fragment are given up, with a "Dropped frame" line on stderr for the
//   stream's (candidates go without a word).
// A completed frame is marked as following a loss when any frame was lost since the frame
// completed before it, a frame id skipped between the two included (the host numbers every frame
// it sends, so a missing id is a frame lost with all its fragments), and as following a lost
// keyframe when one of the lost frames began as a keyframe.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>

#include "protocol/frame_id_window.h"
#include "receiver/compressed_frame.h"
#include "receiver/frame_slot.h"
#include "receiver/keyframe.h"

namespace nimbar::client {

// What one fragment datagram did.
struct [[nodiscard]] FragmentResult {
    bool stored = false;     // new, and kept; false: dropped
    bool malformed = false;  // dropped for what it says of itself
    bool restarted = false;  // it completed a frame that confirmed a new numbering: the stream
                             // starts over from `completed`
    std::optional<CompressedFrame> completed;  // the frame it completed
    uint32_t frames_lost = 0;                  // frames given up while handling it
    uint32_t frames_timed_out = 0;             // of those, the ones with a "Dropped frame" line
};

class FrameReassembler {
  public:
    using Clock = std::chrono::steady_clock;

    explicit FrameReassembler(VideoCodec codec = VideoCodec::VP8) : codec(codec) {}

    // Takes one fragment datagram (AUDIO_FLAG clear) that arrived at `now`.
    FragmentResult add(std::span<const uint8_t> datagram, Clock::time_point now);
    // Gives up the frames incomplete SLOT_TIMEOUT after their first fragment, as each fragment
    // does: for a stream that stops after an incomplete frame, which no fragment follows.
    FragmentResult sweep(Clock::time_point now);

    // Forgets every frame under reassembly and any loss not yet reported with a completed frame.
    void clear();

    size_t slot_count() const { return slots.size(); }
    // The bytes the slots hold, as counted when they come and go.
    uint64_t buffered_bytes() const { return held_bytes; }

  private:
    // A completed frame of the stream, or of a candidate numbering: what it means for the result.
    void complete_frame(uint32_t frame_id, FrameSlot& slot, Clock::time_point now,
                        FragmentResult& result);
    // Each drops slots and returns how many of the stream's frames were lost with them.
    uint32_t purge(Clock::time_point now);
    uint32_t erase_up_to(uint32_t frame_id, Clock::time_point now);
    uint32_t erase_stream(Clock::time_point now);
    uint32_t time_out(Clock::time_point now);
    void note_loss(Clock::time_point now);
    // Notes a keyframe when the slot given up holds the start of one.
    void note_lost_slot(const FrameSlot& slot, Clock::time_point now);

    VideoCodec codec;
    std::unordered_map<uint32_t, FrameSlot> slots;
    uint64_t held_bytes = 0;
    protocol::FrameIdWindow ids{0};
    std::optional<uint32_t> last_completed;  // none at the start and after a restart
    uint32_t lost_since_last_completed = 0;  // given up by the sweep or a purge since then
    std::optional<Clock::time_point> loss_since_last_completed;
    std::optional<Clock::time_point> keyframe_lost_since_last_completed;
};

}  // namespace nimbar::client
