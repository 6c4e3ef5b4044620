// Frame reassembly: fragments into slots, complete frames into the decode queue, incomplete ones
// given up after SLOT_TIMEOUT.

#include <cstdio>
#include <span>

#include "protocol/media_datagram.h"
#include "receiver/video_receiver.h"

namespace nimbar::client {

namespace {

// A new frame finding this many slots, or this many bytes in them, starts a purge: a flood of
// distinct frame ids must not hold more than 60 frames of up to 1.4 MB each.
constexpr size_t PURGE_TRIGGER_SLOTS = 60;
constexpr uint64_t PURGE_TRIGGER_BYTES = 50ull * 1024 * 1024;
// A purge removes slots until no more than this many remain.
constexpr size_t PURGE_TARGET_SLOTS = 30;
// A frame still incomplete this long after its first fragment is reported lost: by then several
// newer frames have come, and only a keyframe can repair the stream.
constexpr auto SLOT_TIMEOUT = std::chrono::milliseconds(250);

}  // namespace

void VideoReceiver::handle_video_packet(const uint8_t* datagram, int length) {
    handle_video_packet(datagram, length, Clock::now());
}

void VideoReceiver::handle_video_packet(const uint8_t* datagram, int length,
                                        Clock::time_point now) {
    if (!running || length < static_cast<int>(protocol::FRAGMENT_HEADER_SIZE)) {
        return;
    }
    const std::span<const uint8_t> bytes(datagram, static_cast<size_t>(length));
    const protocol::FragmentHeader header = *protocol::read_fragment_header(bytes);
    if (!protocol::video_fragment_acceptable(header, bytes.size())) {
        return;
    }

    std::lock_guard slots_lock(slots_mutex);
    if (!protocol::video_frame_id_acceptable(header.frame_id, last_completed_frame_id)) {
        return;
    }
    if (last_completed_valid && header.frame_id == last_completed_frame_id) {
        return;  // that frame is already on its way to the decoder
    }
    if (!frame_slots.contains(header.frame_id) &&
        (frame_slots.size() >= PURGE_TRIGGER_SLOTS || buffered_bytes >= PURGE_TRIGGER_BYTES)) {
        purge_slots();
    }
    FrameSlot& slot = frame_slots[header.frame_id];
    if (slot.fragment_count == 0) {
        buffered_bytes += start_slot(slot, header.fragment_count, now);
    }
    if (!protocol::fragment_index_acceptable(header.fragment_index, slot.fragment_count) ||
        slot.received_mask[header.fragment_index]) {
        return;
    }
    store_fragment(slot, header.fragment_index,
                   bytes.subspan(protocol::FRAGMENT_HEADER_SIZE, header.payload_size));
    stats.fragments_stored.fetch_add(1, std::memory_order_relaxed);

    if (slot_complete(slot)) {
        QueuedFrame frame;
        frame.bytes = join_fragments(slot, frame.length);
        frame.completed_at = now;
        queue_frame(std::move(frame));
        last_completed_frame_id = header.frame_id;
        last_completed_valid = true;
        stats.frames_completed.fetch_add(1, std::memory_order_relaxed);
        erase_slots_up_to(header.frame_id);
    }

    if (sweep_slots(now) && !keyframe_requested) {
        fprintf(stderr, "[VideoReceiver] Requesting keyframe due to dropped frames\n");
        keyframe_requested = true;
    }
}

bool VideoReceiver::take_keyframe_request() {
    return keyframe_requested.exchange(false);
}

void VideoReceiver::queue_frame(QueuedFrame&& frame) {
    {
        std::lock_guard queue_lock(queue_mutex);
        ++frames_handed_over;
        if (push_decode_frame(decode_queue, queue_read, queue_write, queue_count,
                              std::move(frame))) {
            stats.frames_overwritten.fetch_add(1, std::memory_order_relaxed);
            ++frames_taken_up;
        }
    }
    queue_condition.notify_one();
}

void VideoReceiver::purge_slots() {
    while (frame_slots.size() > PURGE_TARGET_SLOTS) {
        const auto first = frame_slots.begin();
        buffered_bytes -= first->second.buffer.size();
        frame_slots.erase(first);
    }
}

void VideoReceiver::erase_slots_up_to(uint32_t frame_id) {
    std::erase_if(frame_slots, [&](const auto& entry) {
        if (entry.first > frame_id) {
            return false;
        }
        buffered_bytes -= entry.second.buffer.size();
        return true;
    });
}

bool VideoReceiver::sweep_slots(Clock::time_point now) {
    bool dropped = false;
    std::erase_if(frame_slots, [&](const auto& entry) {
        const FrameSlot& slot = entry.second;
        if (now - slot.first_seen <= SLOT_TIMEOUT) {
            return false;
        }
        const int missing = slot.fragment_count - slot.received_count;
        if (missing > 0) {
            const float loss =
                static_cast<float>(missing) * 100.0f / static_cast<float>(slot.fragment_count);
            fprintf(stderr,
                    "[VideoReceiver] Dropped frame %u: %d/%d fragments received (%.1f%% loss)\n",
                    entry.first, static_cast<int>(slot.received_count),
                    static_cast<int>(slot.fragment_count), static_cast<double>(loss));
            stats.frames_dropped.fetch_add(1, std::memory_order_relaxed);
            dropped = true;
        }
        buffered_bytes -= slot.buffer.size();
        return true;
    });
    return dropped;
}

}  // namespace nimbar::client
