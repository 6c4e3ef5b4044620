#include "receiver/picture_handoff.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace nimbar::client {

PictureHandoff::PictureHandoff() : newest(av_frame_alloc()) {}

PictureHandoff::~PictureHandoff() {
    av_frame_free(&newest);
}

void PictureHandoff::release() {
    std::lock_guard lock(mutex);
    if (newest != nullptr) {
        av_frame_unref(newest);
    }
    fresh = false;
}

bool PictureHandoff::publish(AVFrame& picture, const Stamp& stamp) {
    {
        std::lock_guard lock(mutex);
        if (newest == nullptr) {
            return false;
        }
        av_frame_unref(newest);
        av_frame_move_ref(newest, &picture);
        // A picture replaced before anyone took it still heals the loss it healed.
        const auto heals = fresh && newest_stamp.heals_loss_from && !stamp.heals_loss_from
                               ? newest_stamp.heals_loss_from
                               : stamp.heals_loss_from;
        newest_stamp = stamp;
        newest_stamp.heals_loss_from = heals;
        fresh = true;
    }
    changed.notify_all();
    return true;
}

std::optional<PictureHandoff::Stamp> PictureHandoff::take_new(AVFrame& into) {
    std::lock_guard lock(mutex);
    if (!fresh) {
        return std::nullopt;
    }
    av_frame_unref(&into);
    av_frame_move_ref(&into, newest);
    fresh = false;
    return newest_stamp;
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
