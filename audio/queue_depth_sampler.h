#pragma once

// Looks at how much sound waits in a playback device's queue every 10 ms, on a thread of its own,
// and keeps the mean since it was last asked. The queue swings by a whole packet and a whole device
// buffer every 20 ms; looked at only when packets arrive, it is seen at the same point of that
// swing for as long as the sender's clock and the device's keep step (minutes, when they differ by
// 100 ppm), and then jumps by 20 ms when the two cross. The mean over time has neither fault.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

#include "audio/audio_device.h"

namespace nimbar::audio {

class QueueDepthSampler {
  public:
    QueueDepthSampler() = default;
    ~QueueDepthSampler() { stop(); }
    QueueDepthSampler(const QueueDepthSampler&) = delete;
    QueueDepthSampler& operator=(const QueueDepthSampler&) = delete;

    // Starts looking at `device`, which must stay open until stop(). Stops any earlier sampling.
    // False when the system has no thread to give: take_mean then has nothing.
    bool start(const AudioDevice& device);
    // Ends the thread; waits for it. Harmless when not sampling.
    void stop();

    // The mean number of bytes queued over the looks since the last call (or the start), or
    // nothing when there was none.
    std::optional<double> take_mean();

  private:
    void run(const AudioDevice& device);

    std::thread thread;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    uint64_t sum = 0;
    uint32_t count = 0;
};

}  // namespace nimbar::audio
