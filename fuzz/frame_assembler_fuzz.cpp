// Any sequence of datagrams into the preview's FrameAssembler: no crash, no read or write past a
// buffer, and the promises the main loop relies on hold after every datagram: a frame of the
// preview's size, at most 16 frames held, and completed ids that only grow, unless a frame
// confirmed a new numbering. The first byte of each datagram picks one of three senders.
//
// Input: a stream of [u16 length][length bytes] records, each handed over as one datagram; the
// time advances 7 ms per datagram so that expiry runs too.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/datagram_records.h"
#include "preview/frame_assembler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using nimbar::preview::FrameAssembler;
    // 20 x 35 x 4 = 2800 bytes: two fragments, small enough for many frames per input.
    constexpr int WIDTH = 20;
    constexpr int HEIGHT = 35;
    FrameAssembler assembler(WIDTH, HEIGHT);
    const auto start = FrameAssembler::Clock::time_point{};
    uint64_t completed = 0;
    uint64_t restarts = 0;
    uint32_t newest = 0;
    nimbar::fuzzing::for_each_datagram(
        data, size, 2048, [&](const uint8_t* datagram, int length, size_t index) {
            const auto now = start + std::chrono::milliseconds(7 * index);
            assembler.handle_datagram(datagram, length,
                                      nimbar::fuzzing::sender_of(datagram, length), now);
            if (assembler.counters().frames_completed != completed) {
                const uint32_t id = assembler.newest_completed_id();
                if (completed > 0 && id <= newest && assembler.counters().restarts == restarts) {
                    std::abort();
                }
                completed = assembler.counters().frames_completed;
                restarts = assembler.counters().restarts;
                newest = id;
            }
            if (assembler.has_frame()) {
                if (assembler.get_latest_frame().size() != size_t{WIDTH} * HEIGHT * 4) {
                    std::abort();
                }
                if (data[index % size] & 1) {
                    assembler.release_frame();
                }
            }
            if (assembler.pending_frames() > 16) {
                std::abort();
            }
        });
    return 0;
}
