#pragma once

// At most one "KFRQ" to the host every KEYFRAME_REQUEST_INTERVAL. Under heavy loss the receiver
// would otherwise ask on nearly every pass; the host answers each with a keyframe, and that traffic
// feeds the congestion that caused the loss. A request raised meanwhile waits, still raised, and
// goes out once the interval has passed. Pure logic on steady_clock, which does not wrap.

#include <chrono>
#include <optional>

namespace nimbar::viewer {

inline constexpr auto KEYFRAME_REQUEST_INTERVAL = std::chrono::milliseconds(200);

class KeyframeRequestPacing {
  public:
    using Clock = std::chrono::steady_clock;

    // Whether a request may go out at `now`.
    bool may_send(Clock::time_point now) const {
        return !last_sent || now - *last_sent >= KEYFRAME_REQUEST_INTERVAL;
    }
    void sent(Clock::time_point now) { last_sent = now; }

  private:
    std::optional<Clock::time_point> last_sent;
};

}  // namespace nimbar::viewer
