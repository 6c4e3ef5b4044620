#include "protocol/frame_id_window.h"

namespace nimbar::protocol {

FrameIdVerdict FrameIdWindow::check(uint32_t frame_id, Clock::time_point now) {
    if (!last_progress) {
        last_progress = now;
    }
    if (!newest) {
        return frame_id >= first && frame_id - first <= NEAR_AHEAD ? FrameIdVerdict::Take
                                                                   : FrameIdVerdict::Candidate;
    }
    if (frame_id > *newest && frame_id - *newest <= NEAR_AHEAD) {
        return FrameIdVerdict::Take;
    }
    // Ids do not wrap: after 4294967295 no frame is newer.
    if (frame_id <= *newest && *newest - frame_id <= NEAR_BEHIND && !silent(now)) {
        return FrameIdVerdict::Drop;
    }
    return FrameIdVerdict::Candidate;
}

void FrameIdWindow::completed(uint32_t frame_id, Clock::time_point now) {
    newest = frame_id;
    last_progress = now;
}

bool FrameIdWindow::candidate_completed(uint32_t frame_id, bool stands_alone,
                                        Clock::time_point now) {
    const bool in_sequence = candidate && frame_id > *candidate &&
                             frame_id - *candidate <= NEAR_AHEAD &&
                             now - candidate_at <= CONFIRM_GAP;
    candidate_run = in_sequence ? candidate_run + 1 : 1;
    candidate = frame_id;
    candidate_at = now;
    if (candidate_run < CONFIRM_RUN && !(stands_alone && silent(now))) {
        return false;
    }
    completed(frame_id, now);
    candidate.reset();
    candidate_run = 0;
    return true;
}

bool FrameIdWindow::silent(Clock::time_point now) const {
    return last_progress && now - *last_progress >= RESYNC_AFTER;
}

}  // namespace nimbar::protocol
