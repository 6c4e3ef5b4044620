#pragma once

// Rebuilds the preview's raw frames from fragment datagrams and keeps the newest completed frame
// for the main loop to show. Fragments may arrive in any order, twice, or never: duplicates and
// anything not newer than the newest completed frame are dropped, and frames still incomplete
// 100 ms after their first fragment are discarded. Malformed fragments (a count of 0, an index at
// or past the fragment's own count, a count other than the one its frame already has) are dropped
// before they touch any frame, and counted. Frames of the stream's sender are taken however far
// ahead they are (under loss whole frames are often many ids apart); frames of any other
// numbering are assembled aside and shown only once it is confirmed (protocol::StreamSenders).
// At most MAX_PENDING_FRAMES frames are held; past that, other numberings' go first, then the
// one farthest from the newest completed frame. Nothing is ever reported; every unusable datagram
// is dropped without a word. Single-threaded.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "protocol/stream_senders.h"

namespace nimbar::preview {

// A frame under assembly, or a completed one waiting to be erased by pruning or expiry.
struct PendingFrame {
    uint16_t fragment_count = 0;  // from the frame's first datagram; later counts are ignored
    uint16_t received_count = 0;  // set bits of received_mask
    std::vector<uint8_t> pixels;  // width * height * 4 bytes; empty once completed
    std::vector<bool> received_mask;
    std::chrono::steady_clock::time_point first_seen{};
    // Per 1400-byte slot of pixels, how many bytes from its start some fragment wrote. The pixels
    // may be reused from an earlier frame: at completion the rest is cleared, so the frame reads as
    // if its buffer had been zero-filled, and a hostile fragment costs no clearing of its own.
    std::vector<uint16_t> covered;
    // Of another numbering than the stream's: shown only if it confirms that numbering.
    bool candidate = false;
};

// Running totals for diagnostics.
struct AssemblerCounters {
    uint64_t frames_completed = 0;
    uint64_t frames_expired = 0;  // erased before they completed: expiry, pruning or the cap
    uint64_t fragments_malformed = 0;
    uint64_t restarts = 0;  // frames that confirmed a new numbering, which the stream went on from
};

class FrameAssembler {
  public:
    using Clock = std::chrono::steady_clock;

    // width * height * 4 must fit a positive 32-bit int (the command line checks it).
    FrameAssembler(int width, int height);

    // Takes one datagram of `length` bytes from `from` that arrived at `now`; never reads past it.
    void handle_datagram(const uint8_t* data, int length, protocol::Sender from,
                         Clock::time_point now);

    // Allocates the buffers that frames reuse now, before datagrams arrive, so that the first
    // frames do not pay for fresh memory while their fragments queue up. Returns how many it got.
    size_t preallocate();

    bool has_frame() const { return !latest_frame.empty(); }
    // The newest completed frame: width * height * 4 bytes, rows of width * 4 bytes, BGRA.
    const std::vector<uint8_t>& get_latest_frame() const { return latest_frame; }
    void release_frame();

    uint32_t newest_completed_id() const { return last_completed_id; }
    size_t pending_frames() const { return pending.size(); }
    const AssemblerCounters& counters() const { return totals; }

  private:
    using Records =
        std::unordered_map<protocol::SenderFrame, PendingFrame, protocol::SenderFrameHash>;

    // Null when the frame cannot be held: the newcomer would be the first to go.
    PendingFrame* find_or_insert(const protocol::SenderFrame& key, bool candidate);
    bool start_frame(PendingFrame& frame, uint16_t fragment_count, Clock::time_point now);
    void complete(const protocol::SenderFrame& key, PendingFrame& frame, Clock::time_point now);
    // Marks every record as the stream's or not, as the stream stands now.
    void classify_records(Clock::time_point now);
    // After a candidate frame confirmed a new numbering: drops what is left of the old stream.
    void start_over(Clock::time_point now);
    void prune_behind_newest();
    void expire(Clock::time_point now);
    Records::iterator erase_record(Records::iterator record);
    void keep_spare(std::vector<uint8_t>&& pixels);
    static bool is_complete(const PendingFrame& frame) {
        return frame.received_count == frame.fragment_count;
    }

    Records pending;
    std::vector<uint8_t> latest_frame;
    // Frame buffers kept from shown or discarded frames for the next frames to reuse, so that a
    // frame costs neither an allocation nor zero-filling megabytes it will overwrite anyway.
    std::vector<std::vector<uint8_t>> spare_pixels;
    uint32_t last_completed_id = 0;
    protocol::StreamSenders senders;
    size_t frame_bytes;
    size_t frame_fragments;  // of a whole frame
    AssemblerCounters totals;
};

}  // namespace nimbar::preview
