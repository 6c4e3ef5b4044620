#pragma once

// At most one "KFRQ" to the host every KEYFRAME_REQUEST_INTERVAL_MS. Under heavy loss the receiver
// would otherwise ask on nearly every pass; the host answers each with a keyframe, and that traffic
// feeds the congestion that caused the loss. A request raised meanwhile waits, still raised, and
// goes out once the interval has passed.

#include <cstdint>

namespace nimbar::viewer {

inline constexpr uint32_t KEYFRAME_REQUEST_INTERVAL_MS = 200;

class KeyframeRequestPacing {
  public:
    // Whether a request may go out at `now_ms` (SDL ticks; wrapping is handled).
    bool may_send(uint32_t now_ms) const {
        return !sent_before || static_cast<int32_t>(now_ms - last_sent_ms) >=
                                   static_cast<int32_t>(KEYFRAME_REQUEST_INTERVAL_MS);
    }
    void sent(uint32_t now_ms) {
        sent_before = true;
        last_sent_ms = now_ms;
    }

  private:
    bool sent_before = false;
    uint32_t last_sent_ms = 0;
};

}  // namespace nimbar::viewer
