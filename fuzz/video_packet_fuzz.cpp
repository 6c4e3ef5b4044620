// Any sequence of datagrams into the viewer's reassembly (VideoReceiver::handle_video_packet,
// without a decoder): no crash, no read past a datagram, and the slot table's byte count always
// matches the slots it holds.
//
// Input: a stream of [u16 length][length bytes] records, each handed over as one datagram; the
// time advances 30 ms per datagram so that the 250 ms sweep runs too.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "protocol/byte_order.h"
#include "tests/receiver_probe.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every receiver logs its teardown on stdout; the fuzzer does not need it.
    std::freopen("/dev/null", "w", stdout);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using nimbar::client::ReceiverProbe;
    nimbar::client::VideoReceiver receiver;
    ReceiverProbe::start_reassembly_only(receiver);
    auto now = nimbar::client::VideoReceiver::Clock::time_point{};
    size_t at = 0;
    while (at + 2 <= size) {
        const size_t length = nimbar::protocol::load_u16_le(data + at) % 1600;
        at += 2;
        const size_t available = size - at < length ? size - at : length;
        // A copy of exactly the datagram's length, so that any over-read is caught.
        auto* datagram = static_cast<uint8_t*>(std::malloc(available ? available : 1));
        std::copy(data + at, data + at + available, datagram);
        receiver.handle_video_packet(datagram, static_cast<int>(available), now);
        std::free(datagram);
        at += available;
        now += std::chrono::milliseconds(30);

        const auto [counted, actual] = ReceiverProbe::slot_bytes(receiver);
        if (counted != actual || ReceiverProbe::slot_count(receiver) > 61) {
            std::abort();
        }
    }
    return 0;
}
