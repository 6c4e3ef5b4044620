#include "protocol/media_datagram.h"

#include <algorithm>

#include "protocol/byte_order.h"

namespace nimbar::protocol {

std::optional<CommonHeader> read_common_header(std::span<const uint8_t> datagram) {
    if (datagram.size() < COMMON_HEADER_SIZE) {
        return std::nullopt;
    }
    CommonHeader header;
    header.sequence = load_u32_le(&datagram[SEQUENCE_OFFSET]);
    header.data_size = load_u16_le(&datagram[DATA_SIZE_OFFSET]);
    header.flags = datagram[FLAGS_OFFSET];
    return header;
}

std::optional<FragmentHeader> read_fragment_header(std::span<const uint8_t> datagram) {
    if (datagram.size() < FRAGMENT_HEADER_SIZE) {
        return std::nullopt;
    }
    FragmentHeader header;
    header.frame_id = load_u32_le(&datagram[FRAME_ID_OFFSET]);
    header.fragment_index = load_u16_le(&datagram[FRAGMENT_INDEX_OFFSET]);
    header.fragment_count = load_u16_le(&datagram[FRAGMENT_COUNT_OFFSET]);
    header.payload_size = load_u16_le(&datagram[PAYLOAD_SIZE_OFFSET]);
    return header;
}

void write_common_header(std::span<uint8_t> out, const CommonHeader& header) {
    std::fill_n(out.begin(), COMMON_HEADER_SIZE, uint8_t{0});
    store_u32_le(&out[SEQUENCE_OFFSET], header.sequence);
    store_u16_le(&out[DATA_SIZE_OFFSET], header.data_size);
    out[FLAGS_OFFSET] = header.flags;
}

void write_fragment_header(std::span<uint8_t> out, const FragmentHeader& header, uint8_t flags) {
    CommonHeader common;
    common.flags = flags;
    write_common_header(out, common);
    store_u32_le(&out[FRAME_ID_OFFSET], header.frame_id);
    store_u16_le(&out[FRAGMENT_INDEX_OFFSET], header.fragment_index);
    store_u16_le(&out[FRAGMENT_COUNT_OFFSET], header.fragment_count);
    store_u16_le(&out[PAYLOAD_SIZE_OFFSET], header.payload_size);
    store_u16_le(&out[PAYLOAD_SIZE_OFFSET + 2], 0);
}

size_t write_audio_datagram(std::span<uint8_t> out, uint32_t sequence,
                            std::span<const uint8_t> opus_packet) {
    const size_t length = COMMON_HEADER_SIZE + opus_packet.size();
    if (opus_packet.empty() || opus_packet.size() > UINT16_MAX || out.size() < length) {
        return 0;
    }
    CommonHeader header;
    header.sequence = sequence;
    header.data_size = static_cast<uint16_t>(opus_packet.size());
    header.flags = AUDIO_FLAG;
    write_common_header(out, header);
    std::copy(opus_packet.begin(), opus_packet.end(), out.begin() + COMMON_HEADER_SIZE);
    return length;
}

DatagramKind classify_datagram(std::span<const uint8_t> datagram) {
    if (datagram.size() < COMMON_HEADER_SIZE) {
        return DatagramKind::Ignored;
    }
    return (datagram[FLAGS_OFFSET] & AUDIO_FLAG) ? DatagramKind::Audio
                                                 : DatagramKind::VideoFragment;
}

bool video_fragment_acceptable(const FragmentHeader& header, size_t datagram_length) {
    if (datagram_length < FRAGMENT_HEADER_SIZE) {
        return false;
    }
    return header.payload_size >= 1 && header.payload_size <= FRAGMENT_PAYLOAD &&
           header.payload_size <= datagram_length - FRAGMENT_HEADER_SIZE &&
           header.fragment_count >= 1 && header.fragment_count <= MAX_FRAGMENTS;
}

bool audio_datagram_acceptable(const CommonHeader& header, size_t datagram_length) {
    if (datagram_length < COMMON_HEADER_SIZE) {
        return false;
    }
    return header.data_size >= 1 && header.data_size <= datagram_length - COMMON_HEADER_SIZE;
}

size_t preview_payload_length(const FragmentHeader& header, size_t datagram_length, size_t room) {
    if (datagram_length < FRAGMENT_HEADER_SIZE) {
        return 0;
    }
    return std::min({size_t{header.payload_size}, datagram_length - FRAGMENT_HEADER_SIZE, room});
}

}  // namespace nimbar::protocol
