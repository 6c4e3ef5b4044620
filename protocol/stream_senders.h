#pragma once

// Which sender's frames a reader shows. Any local process can send to the reader's port, and
// nothing in a datagram tells the host from a stray sender, but each sends from a socket of its
// own: the sender's address tells one numbering from another where ids alone cannot. So:
// - The first sender to complete a frame becomes the stream's sender. Its frames are taken at any
//   distance ahead (a slow stream after a stall, whole frames many ids apart under loss), and a
//   restart of its numbering is followed (see FrameIdWindow).
// - Another sender's frames are assembled aside. They count only when that sender takes the
//   stream over:
//   - a host on a new socket: its run of frames in sequence (CONFIRM_RUN or more) has lasted
//     TAKEOVER_AFTER, and the stream's sender has sent nothing for as long; or
//   - the stream's former sender comes back (a host that was still while a stray sender took
//     over): its next frame in sequence, when its run is longer than the current sender's. Only
//     a sender that lost the stream by going quiet comes back so: not one the host pushed aside.
// So a live stream, slow or fast, is never taken over, whatever a stray sender sends; a stray
// sender can show its frames only while the host is still, and until the host sends again (or,
// when the stray's run has grown the longer, until the stray falls silent for TAKEOVER_AFTER).
// A host that sends audio from another socket, or opens a new one, is followed all the same.
// Pure logic: the caller gives the time.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "protocol/frame_id_window.h"

namespace nimbar::protocol {

// A datagram's sender: its IPv4 address and port as one number, as net::UDPSocket reads it.
using Sender = uint64_t;

// A frame under assembly: two senders' frames of the same id are two frames.
struct SenderFrame {
    Sender sender = 0;
    uint32_t frame_id = 0;
    bool operator==(const SenderFrame&) const = default;
};
struct SenderFrameHash {
    size_t operator()(const SenderFrame& key) const {
        return std::hash<uint64_t>()((key.sender * 0x9E3779B97F4A7C15ull) ^ key.frame_id);
    }
};

// What a completed frame means for the stream.
enum class [[nodiscard]] Completion{
    Stream,    // a frame of the stream: show it
    Held,      // of a numbering the stream does not follow (yet): held aside
    Switched,  // it confirmed a new numbering: the stream goes on from it, the old one is gone
};

class StreamSenders {
  public:
    using Clock = std::chrono::steady_clock;

    // How long another sender must send frames in sequence, and the stream's sender stay silent,
    // before the other takes the stream over: no shorter than the gap between two frames of a
    // live stream of one frame a second, so only a host that went still or away is taken over.
    static constexpr auto TAKEOVER_AFTER = std::chrono::seconds(1);
    // Senders other than the stream's and its former one that are followed at once; one more
    // pushes out the one heard longest ago.
    static constexpr size_t MAX_OTHER_SENDERS = 4;

    // For a fragment of `frame_id` from `from` that arrived at `now`; notes the sender as heard.
    FrameIdVerdict check(Sender from, uint32_t frame_id, Clock::time_point now);
    // The same verdict without noting anything: for frames under assembly after the stream moved.
    FrameIdVerdict classify(Sender from, uint32_t frame_id, Clock::time_point now) const;
    // A frame of `from` completed at `now`; `stands_alone`: it needs no frame before it.
    Completion frame_completed(Sender from, uint32_t frame_id, bool stands_alone,
                               Clock::time_point now);

    std::optional<Sender> stream_sender() const;
    // The stream's newest completed frame.
    std::optional<uint32_t> newest_completed() const;

  private:
    struct Record {
        Sender address = 0;
        FrameIdWindow ids;  // its own numbering
        Clock::time_point last_heard{};
    };

    const Record* find(Sender from) const;
    Record* find(Sender from);
    Record& note(Sender from, Clock::time_point now);
    bool takes_over(const Record& other, Clock::time_point now) const;
    // The stream follows `other` from now on; the sender it followed becomes the former one.
    void switch_to(Record& other);

    std::optional<Record> stream;
    std::optional<Record> former;
    bool former_went_quiet = false;  // the former sender lost the stream by going quiet
    std::vector<Record> others;
};

}  // namespace nimbar::protocol
