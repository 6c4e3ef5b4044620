#pragma once

// The last few audio packets seen, to tell a packet that arrives twice (the network or the sender
// repeated the datagram) from a new one. A repeat has both the number and the bytes of a packet
// seen lately; a host that starts its numbering over sends other bytes under the old numbers, and
// those are new. Pure logic.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace nimbar::audio {

class RecentPackets {
  public:
    // Notes the packet numbered `sequence` with these bytes. False when it is a repeat of one of
    // the last REMEMBERED packets noted.
    bool note(uint32_t sequence, std::span<const uint8_t> bytes);
    void clear() { count = 0; }

  private:
    // 320 ms of 20 ms packets: a datagram repeated later than that no longer comes from the
    // network, and a jitter buffer this side does not reorder anyway.
    static constexpr size_t REMEMBERED = 16;

    struct Seen {
        uint32_t sequence = 0;
        uint64_t digest = 0;
    };
    std::array<Seen, REMEMBERED> seen{};
    size_t count = 0;  // packets noted, of which the last REMEMBERED are in `seen`
};

}  // namespace nimbar::audio
