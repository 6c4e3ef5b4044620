#pragma once

// Whole numbers on the programs' command lines, read as atoi reads them (leading blanks, a sign,
// digits up to the first other character; 0 for text that starts with no number), except that a
// number too large for an int is refused instead of wrapping through undefined behaviour.

#include <cerrno>
#include <climits>
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

}  // namespace nimbar::protocol
