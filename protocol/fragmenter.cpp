#include "protocol/fragmenter.h"

#include <algorithm>
#include <cstring>

#include "protocol/media_datagram.h"

namespace nimbar::protocol {

size_t fragment_count_for(size_t frame_size) {
    return frame_size / FRAGMENT_PAYLOAD + (frame_size % FRAGMENT_PAYLOAD != 0 ? 1 : 0);
}

size_t write_fragment_datagram(std::span<const uint8_t> frame, uint32_t frame_id, size_t index,
                               std::span<uint8_t> out, uint8_t flags) {
    const size_t count = fragment_count_for(frame.size());
    if (index >= count || count > MAX_RAW_FRAGMENTS) {
        return 0;
    }
    const size_t offset = index * FRAGMENT_PAYLOAD;
    const size_t payload = std::min(FRAGMENT_PAYLOAD, frame.size() - offset);
    const size_t length = FRAGMENT_HEADER_SIZE + payload;
    if (out.size() < length) {
        return 0;
    }
    FragmentHeader header;
    header.frame_id = frame_id;
    header.fragment_index = static_cast<uint16_t>(index);
    header.fragment_count = static_cast<uint16_t>(count);
    header.payload_size = static_cast<uint16_t>(payload);
    write_fragment_header(out, header, flags);
    std::memcpy(&out[FRAGMENT_HEADER_SIZE], &frame[offset], payload);
    return length;
}

}  // namespace nimbar::protocol
