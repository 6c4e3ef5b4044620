#pragma once

// The viewer's control datagrams to the host: "KFRQ" asks for a keyframe; "AUDS" reports the
// user's volume and mute state (byte 4 muted, bytes 5..8 the volume as a little-endian float).

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace nimbar::protocol {

inline constexpr size_t KFRQ_SIZE = 4;
inline constexpr size_t AUDS_SIZE = 9;

struct AudioState {
    bool muted = false;
    float volume = 1.0f;
};

std::array<uint8_t, KFRQ_SIZE> make_keyframe_request();
std::array<uint8_t, AUDS_SIZE> make_audio_state(const AudioState& state);

// A datagram is a keyframe request when it is exactly the four letters "KFRQ".
bool is_keyframe_request(std::span<const uint8_t> datagram);
// The state an "AUDS" datagram of exactly 9 bytes carries; empty for anything else.
std::optional<AudioState> read_audio_state(std::span<const uint8_t> datagram);

}  // namespace nimbar::protocol
