#include "protocol/control_datagram.h"

#include <bit>
#include <cstring>

#include "protocol/byte_order.h"

namespace nimbar::protocol {

namespace {

constexpr char KFRQ_TAG[] = "KFRQ";
constexpr char AUDS_TAG[] = "AUDS";

bool starts_with_tag(std::span<const uint8_t> datagram, const char* tag) {
    return datagram.size() >= 4 && std::memcmp(datagram.data(), tag, 4) == 0;
}

}  // namespace

std::array<uint8_t, KFRQ_SIZE> make_keyframe_request() {
    std::array<uint8_t, KFRQ_SIZE> datagram{};
    std::memcpy(datagram.data(), KFRQ_TAG, 4);
    return datagram;
}

std::array<uint8_t, AUDS_SIZE> make_audio_state(const AudioState& state) {
    std::array<uint8_t, AUDS_SIZE> datagram{};
    std::memcpy(datagram.data(), AUDS_TAG, 4);
    datagram[4] = state.muted ? 1 : 0;
    store_u32_le(&datagram[5], std::bit_cast<uint32_t>(state.volume));
    return datagram;
}

bool is_keyframe_request(std::span<const uint8_t> datagram) {
    return datagram.size() == KFRQ_SIZE && starts_with_tag(datagram, KFRQ_TAG);
}

std::optional<AudioState> read_audio_state(std::span<const uint8_t> datagram) {
    if (datagram.size() != AUDS_SIZE || !starts_with_tag(datagram, AUDS_TAG)) {
        return std::nullopt;
    }
    AudioState state;
    state.muted = datagram[4] != 0;
    state.volume = std::bit_cast<float>(load_u32_le(&datagram[5]));
    return state;
}

}  // namespace nimbar::protocol
