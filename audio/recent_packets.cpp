#include "audio/recent_packets.h"

#include <algorithm>

namespace nimbar::audio {

namespace {

// FNV-1a: enough to tell two Opus packets apart, which is all that is asked of it here.
uint64_t digest_of(std::span<const uint8_t> bytes) {
    uint64_t digest = 14695981039346656037ull;
    for (const uint8_t byte : bytes) {
        digest = (digest ^ byte) * 1099511628211ull;
    }
    return digest;
}

}  // namespace

bool RecentPackets::note(uint32_t sequence, std::span<const uint8_t> bytes) {
    const Seen packet{sequence, digest_of(bytes)};
    const auto remembered = seen.begin() + static_cast<std::ptrdiff_t>(std::min(count, REMEMBERED));
    if (std::any_of(seen.begin(), remembered, [&](const Seen& earlier) {
            return earlier.sequence == packet.sequence && earlier.digest == packet.digest;
        })) {
        return false;
    }
    seen[count % REMEMBERED] = packet;
    ++count;
    return true;
}

}  // namespace nimbar::audio
