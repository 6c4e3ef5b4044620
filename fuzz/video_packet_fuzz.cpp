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

#include "fuzz/datagram_records.h"
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
    const auto start = nimbar::client::VideoReceiver::Clock::time_point{};
    nimbar::fuzzing::for_each_datagram(
        data, size, 1600, [&](const uint8_t* datagram, int length, size_t index) {
            receiver.handle_video_packet(datagram, length,
                                         start + std::chrono::milliseconds(30 * index));
            const auto [counted, actual] = ReceiverProbe::slot_bytes(receiver);
            if (counted != actual || ReceiverProbe::slot_count(receiver) > 61) {
                std::abort();
            }
        });
    return 0;
}
