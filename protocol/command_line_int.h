#pragma once

// Whole numbers on the programs' command lines, read as atoi reads them (leading blanks, a sign,
// digits up to the first other character; 0 for text that starts with no number), except that a
// number too large for an int is refused instead of wrapping through undefined behaviour. An id,
// which is no size, is instead taken whole as 32 bits.

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace nimbar::protocol {

// The int `text` starts with, 0 when it starts with none; nothing when the number does not fit.
inline std::optional<int> read_command_line_int(const char* text) {
    errno = 0;
    const long long value = std::strtoll(text, nullptr, 10);
    if (errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

// The value `text` of the option `option`, as read_command_line_int reads it. A number that does
// not fit writes "<tag> Error: <option> <text> is out of range" on stderr, clears `fits` and reads
// as 0.
inline int read_int_option(const char* tag, const char* option, const char* text, bool& fits) {
    const auto value = read_command_line_int(text);
    if (!value) {
        fprintf(stderr, "%s Error: %s %s is out of range\n", tag, option, text);
        fits = false;
    }
    return value.value_or(0);
}

// A 32-bit id `text` starts with, never refused: the number read into 64 bits (saturating there),
// then its low 32 bits, as atoi reads it on a 64-bit glibc. So "3000000000" is 3000000000, "-1"
// is 4294967295, and text that starts with no number is 0.
inline uint32_t read_command_line_id(const char* text) {
    return static_cast<uint32_t>(std::strtoll(text, nullptr, 10));
}

}  // namespace nimbar::protocol
