// Any sequence of datagrams into the viewer's frame reassembly (FrameReassembler, without a
// decoder): no crash, no read past a datagram, never more slots or bytes than the purge allows,
// no bytes counted once the slots are gone, no more frames held back than allowed, and completed
// frame ids that only grow, unless a frame confirmed a new numbering. The first byte of each
// datagram (a field the readers ignore) picks one of three senders.
//
// Input: a stream of [u16 length][length bytes] records, each handed over as one datagram; the
// time advances 30 ms per datagram so that the 250 ms sweep runs too.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <optional>
#include "fuzz/datagram_records.h"

#include "receiver/frame_reassembler.h"

namespace {

// What the purge allows: 60 slots and the new frame's own, each of at most 1000 fragments of
// 1400 bytes.
constexpr size_t MOST_SLOTS = 61;
constexpr uint64_t MOST_BYTES = MOST_SLOTS * 1000 * 1400;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using nimbar::client::FrameReassembler;
    FrameReassembler reassembler;
    const auto start = FrameReassembler::Clock::time_point{};
    std::optional<uint32_t> newest;
    nimbar::fuzzing::for_each_datagram(
        data, size, 1600, [&](const uint8_t* datagram, int length, size_t index) {
            const auto now = start + std::chrono::milliseconds(30 * index);
            const auto result = reassembler.add({datagram, static_cast<size_t>(length)},
                                                nimbar::fuzzing::sender_of(datagram, length), now);
            if (result.restarted) {
                newest.reset();  // a new numbering: its ids start anywhere
            }
            for (const auto& frame : result.completed) {
                if (frame.bytes.size() != frame.length + 64 ||
                    (newest && frame.frame_id <= *newest)) {
                    std::abort();
                }
                newest = frame.frame_id;
            }
            if (reassembler.held_count() > FrameReassembler::HELD_FRAMES) {
                std::abort();
            }
            if (reassembler.slot_count() > MOST_SLOTS ||
                reassembler.buffered_bytes() > MOST_BYTES ||
                (reassembler.slot_count() == 0 && reassembler.buffered_bytes() != 0)) {
                std::abort();
            }
        });
    return 0;
}
