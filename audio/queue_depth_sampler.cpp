#include "audio/queue_depth_sampler.h"

#include <chrono>
#include <system_error>

namespace nimbar::audio {

namespace {

// Two looks per 20 ms packet, at times that drift across the device's buffers; fifty of them in
// the half second the controller averages over. Each costs a wake-up and a lock: every 2 ms this
// would be about 1 % of a core, every 10 ms 0.2 %.
constexpr auto SAMPLE_PERIOD = std::chrono::milliseconds(10);

}  // namespace

bool QueueDepthSampler::start(const AudioDevice& device) {
    stop();
    {
        std::lock_guard lock(mutex);
        stopping = false;
        sum = 0;
        count = 0;
    }
    try {
        thread = std::thread([this, &device] { run(device); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void QueueDepthSampler::stop() {
    if (!thread.joinable()) {
        return;
    }
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    thread.join();
}

std::optional<double> QueueDepthSampler::take_mean() {
    std::lock_guard lock(mutex);
    if (count == 0) {
        return std::nullopt;
    }
    const double mean = static_cast<double>(sum) / count;
    sum = 0;
    count = 0;
    return mean;
}

void QueueDepthSampler::run(const AudioDevice& device) {
    std::unique_lock lock(mutex);
    while (!stopping) {
        lock.unlock();
        const uint32_t queued = device.queued_bytes();  // SDL takes the device's own lock
        lock.lock();
        sum += queued;
        ++count;
        wake.wait_for(lock, SAMPLE_PERIOD, [this] { return stopping; });
    }
}

}  // namespace nimbar::audio
