#include "receiver/keyframe_gate.h"

namespace nimbar::client {

KeyframeGate::Verdict KeyframeGate::admit(bool keyframe, bool follows_loss,
                                          Clock::time_point lost_at, Clock::time_point now) {
    Verdict verdict;
    if (follows_loss) {
        note_loss(lost_at);
        if (!keyframe && !waiting()) {
            start_wait(now);
            verdict.ask_for_keyframe = true;
        }
    }
    if (!waiting()) {
        verdict.decode = true;
        return verdict;
    }
    if (keyframe) {
        wait_started.reset();
        verdict.decode = true;
        return verdict;
    }
    if (now - *wait_started >= KEYFRAME_WAIT_LIMIT) {
        wait_started.reset();
        ++given_up;
        verdict.decode = true;
        return verdict;
    }
    ++skipped;
    if (now - last_ask >= KEYFRAME_ASK_AGAIN) {
        last_ask = now;
        verdict.ask_for_keyframe = true;
    }
    return verdict;
}

void KeyframeGate::decoder_failed(Clock::time_point now) {
    note_loss(now);
    if (!waiting()) {
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
    last_ask = now;
    ++wait_count;
}

void KeyframeGate::note_loss(Clock::time_point when) {
    if (!unhealed_loss) {
        unhealed_loss = when;
    }
}

}  // namespace nimbar::client
