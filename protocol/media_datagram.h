#pragma once

// The media datagram that the host sends to both programs: a 28-byte common header, then either one
// Opus packet (audio datagram) or a 12-byte fragment sub-header and one piece of a frame (fragment
// datagram). All fields are little-endian and read as they stand.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace nimbar::protocol {

// Shortest datagram the viewer looks at; every media datagram starts with this header.
inline constexpr size_t COMMON_HEADER_SIZE = 28;
// Common header plus fragment sub-header: the payload offset and the shortest fragment datagram.
inline constexpr size_t FRAGMENT_HEADER_SIZE = 40;
// Largest payload of one fragment, and the stride at which fragment i lies in its frame.
inline constexpr size_t FRAGMENT_PAYLOAD = 1400;
// Most fragments of one compressed video frame (1,400,000 bytes); raw preview frames may use the
// whole 16-bit count.
inline constexpr uint16_t MAX_FRAGMENTS = 1000;
inline constexpr size_t MAX_FRAGMENT_DATAGRAM = FRAGMENT_HEADER_SIZE + FRAGMENT_PAYLOAD;
// Bit of the flags byte that marks an audio datagram; the other bits mean nothing.
inline constexpr uint8_t AUDIO_FLAG = 0x04;

// Field offsets from the first byte of the datagram.
inline constexpr size_t SEQUENCE_OFFSET = 20;
inline constexpr size_t DATA_SIZE_OFFSET = 24;
inline constexpr size_t FLAGS_OFFSET = 26;
inline constexpr size_t FRAME_ID_OFFSET = 28;
inline constexpr size_t FRAGMENT_INDEX_OFFSET = 32;
inline constexpr size_t FRAGMENT_COUNT_OFFSET = 34;
inline constexpr size_t PAYLOAD_SIZE_OFFSET = 36;

struct CommonHeader {
    uint32_t sequence = 0;   // audio packet counter; audio datagrams only
    uint16_t data_size = 0;  // Opus packet length; audio datagrams only
    uint8_t flags = 0;
};

struct FragmentHeader {
    uint32_t frame_id = 0;
    uint16_t fragment_index = 0;
    uint16_t fragment_count = 0;
    uint16_t payload_size = 0;
};

enum class DatagramKind {
    Ignored,        // too short to carry a common header
    Audio,          // AUDIO_FLAG set
    VideoFragment,  // AUDIO_FLAG clear; may still fail the fragment checks
};

// Empty when the datagram is shorter than the header it asks for.
std::optional<CommonHeader> read_common_header(std::span<const uint8_t> datagram);
std::optional<FragmentHeader> read_fragment_header(std::span<const uint8_t> datagram);

// Write the header at the start of `out`, which must hold COMMON_HEADER_SIZE (respectively
// FRAGMENT_HEADER_SIZE) bytes. Host-defined and reserved bytes are written as zeros; the fragment
// writer writes the common header too, with only its flags set.
void write_common_header(std::span<uint8_t> out, const CommonHeader& header);
void write_fragment_header(std::span<uint8_t> out, const FragmentHeader& header, uint8_t flags = 0);

// Writes a whole audio datagram (common header with AUDIO_FLAG, then the Opus packet) into `out`
// and returns its length, or 0 when the packet is empty, longer than 65535 bytes, or does not fit.
size_t write_audio_datagram(std::span<uint8_t> out, uint32_t sequence,
                            std::span<const uint8_t> opus_packet);

// How the viewer's main loop sorts a datagram it has read.
DatagramKind classify_datagram(std::span<const uint8_t> datagram);

// The stateless checks of each reader. A datagram failing one is dropped without a word.

// Viewer video: payload_size 1..1400 and present in full, fragment_count 1..MAX_FRAGMENTS.
bool video_fragment_acceptable(const FragmentHeader& header, size_t datagram_length);
// Viewer audio: data_size at least 1 and present in full.
bool audio_datagram_acceptable(const CommonHeader& header, size_t datagram_length);

// The checks against what a reader already holds of the frame.
inline bool fragment_index_acceptable(uint16_t fragment_index, uint16_t first_fragment_count) {
    return fragment_index < first_fragment_count;
}

// Preview: how many payload bytes of a fragment to store, given the room left in the frame from the
// fragment's offset. payload_size is trusted only as far as the datagram really reaches.
size_t preview_payload_length(const FragmentHeader& header, size_t datagram_length, size_t room);

}  // namespace nimbar::protocol
