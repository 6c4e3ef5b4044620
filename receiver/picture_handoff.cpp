#include "receiver/picture_handoff.h"

#include <new>

namespace nimbar::client {

bool PictureHandoff::allocate(size_t bytes) {
    std::lock_guard lock(mutex);
    fresh = false;
    try {
        front.assign(bytes, 0);
        back.assign(bytes, 0);
    } catch (const std::bad_alloc&) {
        front = {};
        back = {};
        return false;
    }
    return true;
}

void PictureHandoff::release() {
    std::lock_guard lock(mutex);
    front = {};
    back = {};
    fresh = false;
}

void PictureHandoff::publish(const Stamp& stamp) {
    {
        std::lock_guard lock(mutex);
        back.swap(front);
        // A picture replaced before anyone took it still heals the loss it healed.
        const auto heals = fresh && front_stamp.heals_loss_from && !stamp.heals_loss_from
                               ? front_stamp.heals_loss_from
                               : stamp.heals_loss_from;
        front_stamp = {stamp.completed_at, heals};
        fresh = true;
    }
    changed.notify_all();
}

std::optional<PictureHandoff::Stamp> PictureHandoff::take_new(
    const std::function<void(const uint8_t*)>& upload) {
    std::lock_guard lock(mutex);
    if (!fresh) {
        return std::nullopt;
    }
    upload(front.data());
    fresh = false;
    return front_stamp;
}

void PictureHandoff::upload_current(const std::function<void(const uint8_t*)>& upload) {
    std::lock_guard lock(mutex);
    if (!front.empty()) {
        upload(front.data());
    }
}

void PictureHandoff::wait_for_picture(std::chrono::milliseconds limit,
                                      const std::function<bool()>& done) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, limit, [&] { return fresh || done(); });
}

void PictureHandoff::notify() {
    { std::lock_guard lock(mutex); }
    changed.notify_all();
}

}  // namespace nimbar::client
