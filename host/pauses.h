#pragma once

// The host's still spells (--pauses): the frame slots of the host's clock fall in turns into active
// spells, when frames go out, and still ones, when no video does, as from a host whose screen has
// stopped changing. Frame ids go on from the last frame sent: a still spell uses none.

#include <cstdint>
#include <optional>

#include "host/host_options.h"
#include "host/pacer.h"

namespace nimbar::host {

class PauseSchedule {
  public:
    // options.pause_active_seconds and pause_still_seconds at options.fps; with no pauses asked
    // for, no slot is still.
    explicit PauseSchedule(const HostOptions& options);

    // Whether frame slot `slot` (from 0, due slot / fps seconds after the start) is still.
    bool still(uint64_t slot) const;

    // A still spell begins at `slot`. A host running late (its encoder slower than the frame rate)
    // finds the slot long due: `video_clock` then starts that much later, so that the spell stays
    // still for its whole length and the frames after it are paced from its end, not sent at once.
    void begin_still_spell(Pacer& video_clock, uint64_t slot) const;

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
