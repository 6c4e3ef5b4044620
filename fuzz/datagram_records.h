#pragma once

// Splits a fuzzer's input into datagrams: a stream of [u16 little-endian length][length bytes]
// records, the last one cut short by the input's end. Each datagram is handed over in a buffer of
// exactly its own length, so that any read past it is caught.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "protocol/byte_order.h"

namespace nimbar::fuzzing {

// Calls `take(datagram, length, index)` for each record, lengths reduced modulo `max_length`.
template <typename Take>
void for_each_datagram(const uint8_t* data, size_t size, size_t max_length, Take take) {
    size_t at = 0;
    for (size_t index = 0; at + 2 <= size; ++index) {
        const size_t length = protocol::load_u16_le(data + at) % max_length;
        at += 2;
        const size_t available = std::min(size - at, length);
        auto* datagram = static_cast<uint8_t*>(std::malloc(available ? available : 1));
        std::copy(data + at, data + at + available, datagram);
        take(datagram, static_cast<int>(available), index);
        std::free(datagram);
        at += available;
    }
}

// Which of three senders a datagram comes from, picked by its first byte (a field the readers
// ignore), so that inputs can mix a stream with stray senders.
inline uint64_t sender_of(const uint8_t* datagram, int length) {
    return length > 0 ? datagram[0] % 3 : 0;
}

}  // namespace nimbar::fuzzing
