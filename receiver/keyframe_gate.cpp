#include "receiver/keyframe_gate.h"

#include <utility>

namespace nimbar::client {

KeyframeGate::Verdict KeyframeGate::admit(const CompressedFrame& frame, Clock::time_point now) {
    keyframe_on_trial.reset();  // the decoder took the one before, or said it failed
    Verdict verdict;
    const bool restarted = std::exchange(restart_pending, false);
    if (frame.follows_loss) {
        note_loss(frame.lost_at);
        refreshing = false;  // the refresh lacks a frame now: it cannot make pictures whole
    }
    if (frame.follows_loss || restarted) {
        if (!frame.keyframe && !waiting()) {
            start_wait(now);
            verdict.ask_for_keyframe = true;
        }
    }
    if (!waiting()) {
        verdict.decode = true;
        return verdict;
    }
    if (frame.keyframe) {
        keyframe_on_trial = {*wait_started, wait_renewed};
        wait_started.reset();
        refreshing = false;
        verdict.decode = true;
        return verdict;
    }
    if (refreshing || frame.recovery_point) {
        // The picture stays frozen until the refresh is through: the host hears of it meanwhile.
        verdict.start_refresh = !refreshing;
        refreshing = true;
        verdict.decode = true;
        if (now - last_ask >= KEYFRAME_ASK_AGAIN) {
            last_ask = now;
            verdict.ask_for_keyframe = true;
        }
        return verdict;
    }
    // The host's answer was lost on its way: ask again at once rather than at the next interval.
    const bool answer_lost = frame.keyframe_lost_at && *frame.keyframe_lost_at > wait_renewed;
    if (answer_lost) {
        wait_renewed = *frame.keyframe_lost_at;
    }
    if (now - wait_renewed >= KEYFRAME_WAIT_LIMIT) {
        wait_started.reset();
        ++given_up;
        verdict.decode = true;
        return verdict;
    }
    ++skipped;
    if (answer_lost || now - last_ask >= KEYFRAME_ASK_AGAIN) {
        last_ask = now;
        verdict.ask_for_keyframe = true;
    }
    return verdict;
}

void KeyframeGate::picture_delivered() {
    if (refreshing) {
        refreshing = false;
        wait_started.reset();
    }
}

void KeyframeGate::decoder_failed(Clock::time_point now) {
    note_loss(now);
    if (keyframe_on_trial) {
        // A "keyframe" that does not decode was none: the wait it seemed to end goes on, timed
        // from the loss as before.
        wait_started = keyframe_on_trial->first;
        wait_renewed = keyframe_on_trial->second;
        keyframe_on_trial.reset();
    } else if (!waiting()) {
        start_wait(now);
    }
}

std::optional<KeyframeGate::Clock::time_point> KeyframeGate::take_loss_to_heal() {
    auto loss = unhealed_loss;
    unhealed_loss.reset();
    return loss;
}

void KeyframeGate::start_wait(Clock::time_point now) {
    wait_started = now;
    wait_renewed = now;
    last_ask = now;
    ++wait_count;
}

void KeyframeGate::note_loss(Clock::time_point when) {
    if (!unhealed_loss) {
        unhealed_loss = when;
    }
}

}  // namespace nimbar::client
