#pragma once

// Little-endian loads and stores on raw bytes. Datagram fields are always read and written through
// these, never by casting a struct over the buffer: that would depend on alignment, padding and
// the machine's byte order.

#include <cstdint>

namespace nimbar::protocol {

inline uint16_t load_u16_le(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t load_u32_le(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void store_u16_le(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void store_u32_le(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline void store_u64_le(uint8_t* p, uint64_t v) {
    store_u32_le(p, static_cast<uint32_t>(v));
    store_u32_le(p + 4, static_cast<uint32_t>(v >> 32));
}

}  // namespace nimbar::protocol
