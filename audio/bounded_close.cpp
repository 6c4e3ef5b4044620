#include "audio/bounded_close.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace nimbar::audio {

namespace {

std::atomic<int> unfinished{0};

// What the closing thread and the caller share; the last of the two frees it.
struct Closing {
    std::mutex mutex;
    std::condition_variable finished;
    bool closed = false;
    bool given_up = false;
};

}  // namespace

bool close_device_within(SDL_AudioDeviceID device, std::chrono::milliseconds limit) {
    auto closing = std::make_shared<Closing>();
    std::thread closer;
    try {
        closer = std::thread([device, closing] {
            SDL_CloseAudioDevice(device);
            std::lock_guard<std::mutex> lock(closing->mutex);
            closing->closed = true;
            if (closing->given_up) {
                unfinished.fetch_sub(1);
            }
            closing->finished.notify_one();
        });
    } catch (const std::system_error&) {
        SDL_CloseAudioDevice(device);  // no thread to spare: closed here, however long it takes
        return true;
    }
    std::unique_lock<std::mutex> lock(closing->mutex);
    if (closing->finished.wait_for(lock, limit, [&] { return closing->closed; })) {
        lock.unlock();
        closer.join();
        return true;
    }
    closing->given_up = true;
    unfinished.fetch_add(1);
    lock.unlock();
    closer.detach();
    return false;
}

int unfinished_device_closes() {
    return unfinished.load();
}

void quit_sdl() {
    if (unfinished_device_closes() == 0) {
        SDL_Quit();
    }
}

}  // namespace nimbar::audio
