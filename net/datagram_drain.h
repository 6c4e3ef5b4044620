#pragma once

// Reading everything that waits on a socket in one go, for a main loop that must stay live: a
// burst of fragments is read at once instead of one datagram per pass, while a flood faster than
// the reads cannot keep the loop from its window events.

#include <chrono>
#include <cstdint>
#include <span>

#include "net/udp_socket.h"

namespace nimbar::net {

struct DrainLimits {
    int first_wait_ms = 0;  // how long to wait for a first datagram; 0 or less: never wait
    std::chrono::steady_clock::duration budget{};  // the longest time spent reading after it
    int clock_stride = 16;                         // datagrams read between two looks at the clock
};

// Reads datagrams into `buffer` and calls sink(data, length, arrived, sender) for each that is not
// empty (`sender` as ReadResult gives it), until none waits or the budget is spent; an empty
// datagram or one that failed (too long for the
// buffer, say) is passed over, so that it cannot hold back the ones behind it. `arrived` is read
// from the clock once per clock_stride reads, so it may be late by that many reads. Returns how
// many datagrams were handed on.
template <typename Sink>
int drain_datagrams(UDPSocket& socket, std::span<uint8_t> buffer, const DrainLimits& limits,
                    Sink&& sink) {
    using Clock = std::chrono::steady_clock;
    using Outcome = UDPSocket::ReadResult::Outcome;
    auto result = socket.read(buffer.data(), buffer.size(), limits.first_wait_ms);
    if (result.outcome == Outcome::NothingWaiting) {
        return 0;
    }
    auto now = Clock::now();
    const auto deadline = now + limits.budget;
    int handed_on = 0;
    for (int reads = 1;; ++reads) {
        if (result.outcome == Outcome::Datagram && result.length > 0) {
            sink(buffer.data(), result.length, now, result.sender);
            ++handed_on;
        }
        if (reads % limits.clock_stride == 0) {
            now = Clock::now();
            if (now >= deadline) {
                return handed_on;
            }
        }
        result = socket.read(buffer.data(), buffer.size(), 0);
        if (result.outcome == Outcome::NothingWaiting) {
            return handed_on;
        }
    }
}

}  // namespace nimbar::net
