#pragma once

// The host's side of the fragment datagram: cutting a frame into pieces of FRAGMENT_PAYLOAD bytes.
// Fragment i carries the frame bytes from i * 1400; the last one carries the rest (1 to 1400
// bytes).

#include <cstddef>
#include <cstdint>
#include <span>

namespace nimbar::protocol {

// The most fragments the 16-bit count can name (raw preview frames up to 91,749,000 bytes).
inline constexpr size_t MAX_RAW_FRAGMENTS = 65535;

// ceil(frame_size / 1400); 0 for an empty frame. Callers check the result against MAX_FRAGMENTS
// (compressed video) or MAX_RAW_FRAGMENTS (raw frames) before cutting.
size_t fragment_count_for(size_t frame_size);

// Writes the whole datagram of fragment `index` of `frame` into `out` and returns its length, or 0
// when `index` lies beyond the frame, the frame needs more than MAX_RAW_FRAGMENTS fragments, or
// `out` is shorter than that datagram. `flags` goes into the common header (AUDIO_FLAG clear for
// video and raw frames).
size_t write_fragment_datagram(std::span<const uint8_t> frame, uint32_t frame_id, size_t index,
                               std::span<uint8_t> out, uint8_t flags = 0);

}  // namespace nimbar::protocol
