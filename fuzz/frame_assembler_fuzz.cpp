// Any sequence of datagrams into the preview's FrameAssembler: no crash, no read or write past a
// buffer, and the promises the main loop relies on hold after every datagram.
//
// Input: a stream of [u16 length][length bytes] records, each handed over as one datagram; the
// time advances 7 ms per datagram so that expiry runs too.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "preview/frame_assembler.h"
#include "protocol/byte_order.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using nimbar::preview::FrameAssembler;
    // 20 x 35 x 4 = 2800 bytes: two fragments, small enough for many frames per input.
    constexpr int WIDTH = 20;
    constexpr int HEIGHT = 35;
    FrameAssembler assembler(WIDTH, HEIGHT);
    auto now = FrameAssembler::Clock::time_point{};
    size_t at = 0;
    while (at + 2 <= size) {
        const size_t length = nimbar::protocol::load_u16_le(data + at) % 2048;
        at += 2;
        const size_t available = size - at < length ? size - at : length;
        // A copy of exactly the datagram's length, so that any over-read is caught.
        auto* datagram = static_cast<uint8_t*>(std::malloc(available ? available : 1));
        std::copy(data + at, data + at + available, datagram);
        assembler.handle_datagram(datagram, static_cast<int>(available), now);
        std::free(datagram);
        at += available;
        now += std::chrono::milliseconds(7);

        if (assembler.has_frame()) {
            if (assembler.get_latest_frame().size() != size_t{WIDTH} * HEIGHT * 4) {
                std::abort();
            }
            if (data[at % size] & 1) {
                assembler.release_frame();
            }
        }
        if (assembler.pending_frames() > 16) {
            std::abort();
        }
    }
    return 0;
}
