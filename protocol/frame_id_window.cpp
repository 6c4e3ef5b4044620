#include "protocol/frame_id_window.h"

namespace nimbar::protocol {

FrameIdVerdict FrameIdWindow::check(uint32_t frame_id, Clock::time_point now) const {
    if (!newest || frame_id > *newest) {
        return FrameIdVerdict::Take;  // ids do not wrap: after 4294967295 no frame is newer
    }
    if (*newest - frame_id <= NEAR_BEHIND && !silent(now)) {
        return FrameIdVerdict::Drop;
    }
    return FrameIdVerdict::Candidate;
}

void FrameIdWindow::completed(uint32_t frame_id, Clock::time_point now) {
    if (newest && frame_id > *newest) {
        ++run_length;
    } else {
        run_length = 1;
        run_start = now;
    }
    newest = frame_id;
    last_progress = now;
}

bool FrameIdWindow::candidate_completed(uint32_t frame_id, bool stands_alone,
                                        Clock::time_point now) {
    const bool in_sequence =
        candidate && frame_id > *candidate && now - candidate_at <= RESTART_GAP;
    if (!in_sequence) {
        candidate_run = 0;
        candidate_run_start = now;
    }
    ++candidate_run;
    candidate = frame_id;
    candidate_at = now;
    if (candidate_run < CONFIRM_RUN && !(stands_alone && silent(now))) {
        return false;
    }
    newest = frame_id;
    last_progress = now;
    run_length = candidate_run;
    run_start = candidate_run_start;
    candidate.reset();
    candidate_run = 0;
    return true;
}

bool FrameIdWindow::silent(Clock::time_point now) const {
    return newest && now - last_progress >= RESYNC_AFTER;
}

}  // namespace nimbar::protocol
