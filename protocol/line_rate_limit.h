#pragma once

// Lines about what arrives from outside (datagrams that fail to read, a stream that breaks the
// decoder) come as fast as the outside sends them. The host reads both programs' output line by
// line, so each such kind of line is held to a number per second: a flood says all it has to say
// in far fewer lines, and the rest is dropped.

#include <atomic>
#include <chrono>
#include <cstdint>

namespace nimbar::protocol {

class LineRateLimit {
  public:
    using Clock = std::chrono::steady_clock;

    explicit constexpr LineRateLimit(int lines_per_second) : limit(lines_per_second) {}

    // True when one more line may be written in the second of `now`. Safe from any thread; two
    // threads crossing into a new second together may let a line or two more through.
    bool allow(Clock::time_point now) {
        const int64_t second =
            std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
        if (current_second.exchange(second) != second) {
            lines = 0;
        }
        return ++lines <= limit;
    }

  private:
    const int limit;
    std::atomic<int64_t> current_second{0};
    std::atomic<int> lines{0};
};

}  // namespace nimbar::protocol
