#include "protocol/frame_id_window.h"

namespace nimbar::protocol {

FrameIdVerdict FrameIdWindow::check(uint32_t frame_id, Clock::time_point now) {
    if (!last_progress) {
        last_progress = now;
    }
    if (frame_id >= lowest && frame_id - lowest < MAX_AHEAD) {
        return FrameIdVerdict::Take;
    }
    if (now - *last_progress >= RESYNC_AFTER) {
        return FrameIdVerdict::Restart;
    }
    return FrameIdVerdict::Drop;
}

void FrameIdWindow::completed(uint32_t frame_id, Clock::time_point now) {
    lowest = frame_id + 1;  // after 2^32 - 1, every id is ahead again
    last_progress = now;
}

void FrameIdWindow::restart(uint32_t frame_id, Clock::time_point now) {
    lowest = frame_id;
    last_progress = now;
}

}  // namespace nimbar::protocol
