#pragma once

// The host's still spells (--pauses): the frame slots of the host's clock fall in turns into active
// spells, when frames go out, and still ones, when no video does, as from a host whose screen has
// stopped changing. Frame ids go on from the last frame sent: a still spell uses none.

#include <cstdint>
#include <optional>

#include "host/host_options.h"

namespace nimbar::host {

class PauseSchedule {
  public:
    // options.pause_active_seconds and pause_still_seconds at options.fps; with no pauses asked
    // for, no slot is still.
    explicit PauseSchedule(const HostOptions& options);

    // Whether frame slot `slot` (from 0, due slot / fps seconds after the start) is still.
    bool still(uint64_t slot) const;

  private:
    double fps;
    double active_seconds;
    double cycle_seconds;  // 0: no pauses
};

// The line a still spell begins with, on stdout at once:
// "[Host] Still after frame <id> (picture <n>)", without the picture when the frames' source does
// not tell it (a file), or "[Host] Still before any frame".
void print_still_line(std::optional<uint32_t> last_frame_id, std::optional<uint32_t> picture);

}  // namespace nimbar::host
