#include "protocol/stream_senders.h"

#include <algorithm>
#include <utility>

namespace nimbar::protocol {

FrameIdVerdict StreamSenders::check(Sender from, uint32_t frame_id, Clock::time_point now) {
    note(from, now);
    return classify(from, frame_id, now);
}

FrameIdVerdict StreamSenders::classify(Sender from, uint32_t frame_id,
                                       Clock::time_point now) const {
    if (!stream) {
        return FrameIdVerdict::Take;  // no stream yet: the first frame to complete starts it
    }
    if (stream->address == from) {
        return stream->ids.check(frame_id, now);
    }
    // Another sender's frames are never the stream's; only its own stale ones are dropped.
    const Record* other = find(from);
    return other != nullptr && other->ids.check(frame_id, now) == FrameIdVerdict::Drop
               ? FrameIdVerdict::Drop
               : FrameIdVerdict::Candidate;
}

Completion StreamSenders::frame_completed(Sender from, uint32_t frame_id, bool stands_alone,
                                          Clock::time_point now) {
    Record& sender = note(from, now);
    switch (classify(from, frame_id, now)) {
        case FrameIdVerdict::Take:
            if (!stream) {
                switch_to(sender);
            }
            stream->ids.completed(frame_id, now);
            return Completion::Stream;
        case FrameIdVerdict::Drop:
            return Completion::Held;  // a late copy of a frame its sender is done with
        case FrameIdVerdict::Candidate:
            break;
    }
    if (&sender == &*stream) {
        return stream->ids.candidate_completed(frame_id, stands_alone, now) ? Completion::Switched
                                                                            : Completion::Held;
    }
    sender.ids.completed(frame_id, now);
    if (!takes_over(sender, now)) {
        return Completion::Held;
    }
    // A sender that comes back takes back what it lost by going quiet; one that was pushed aside
    // so does not.
    const bool returning = former && &sender == &*former;
    switch_to(sender);
    former_went_quiet = !returning;
    return Completion::Switched;
}

std::optional<Sender> StreamSenders::stream_sender() const {
    return stream ? std::optional(stream->address) : std::nullopt;
}

std::optional<uint32_t> StreamSenders::newest_completed() const {
    return stream ? stream->ids.newest_completed() : std::nullopt;
}

const StreamSenders::Record* StreamSenders::find(Sender from) const {
    if (stream && stream->address == from) {
        return &*stream;
    }
    if (former && former->address == from) {
        return &*former;
    }
    const auto other = std::find_if(others.begin(), others.end(),
                                    [&](const Record& record) { return record.address == from; });
    return other != others.end() ? &*other : nullptr;
}

StreamSenders::Record* StreamSenders::find(Sender from) {
    return const_cast<Record*>(std::as_const(*this).find(from));
}

StreamSenders::Record& StreamSenders::note(Sender from, Clock::time_point now) {
    Record* record = find(from);
    if (record == nullptr) {
        if (others.size() >= MAX_OTHER_SENDERS) {
            others.erase(std::min_element(
                others.begin(), others.end(),
                [](const Record& a, const Record& b) { return a.last_heard < b.last_heard; }));
        }
        record = &others.emplace_back(Record{from, {}, now});
    }
    record->last_heard = now;
    return *record;
}

bool StreamSenders::takes_over(const Record& other, Clock::time_point now) const {
    if (other.ids.run() < FrameIdWindow::CONFIRM_RUN) {
        return false;
    }
    if (former && &other == &*former && former_went_quiet && other.ids.run() > stream->ids.run()) {
        return true;  // the sender the stream followed before, back with its own numbering
    }
    // Silence since the last datagram, not since the run began: a stray heard once after the
    // host's run started must not keep the host aside once it has gone quiet.
    return now - stream->last_heard >= TAKEOVER_AFTER &&
           now - other.ids.run_started() >= TAKEOVER_AFTER;
}

void StreamSenders::switch_to(Record& other) {
    Record next = std::move(other);
    if (former && &other == &*former) {
        former.reset();
    } else if (!stream || &other != &*stream) {
        others.erase(others.begin() + (&other - others.data()));
    }
    if (stream) {
        former = std::move(*stream);
    }
    stream = std::move(next);
}

}  // namespace nimbar::protocol
