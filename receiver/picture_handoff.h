#pragma once

// The newest decoded picture, handed from the decode thread to the main thread in two buffers of
// width x height x 4 bytes (BGRA rows, no padding). The decode thread converts into the back
// buffer and publishes it by swapping; the main thread uploads the front buffer when it is new.
// One lock, held only for the swap and the upload.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace nimbar::client {

class PictureHandoff {
  public:
    using Clock = std::chrono::steady_clock;

    // What a published picture carries to its presentation.
    struct Stamp {
        Clock::time_point completed_at{};  // last fragment of its frame
        // The first loss the picture repairs: a frame lost, then this picture, the first true one
        // since.
        std::optional<Clock::time_point> heals_loss_from;
    };

    // Both buffers, zero-filled; false, holding none, when there is not the memory for them.
    // Before the decode thread starts.
    [[nodiscard]] bool allocate(size_t bytes);
    // Frees both buffers. After the decode thread ended.
    void release();

    // Decode thread: where the next picture is converted to.
    std::vector<uint8_t>& back_buffer() { return back; }
    // Decode thread: the back buffer becomes the newest picture; a picture not taken yet is
    // replaced. Wakes wait_for_picture.
    void publish(const Stamp& stamp);

    // Main thread: when a picture was published since the last take, calls upload with its bytes
    // (under the lock) and returns its stamp.
    std::optional<Stamp> take_new(const std::function<void(const uint8_t*)>& upload);
    // Main thread: calls upload with the newest picture, new or not; for a texture that was lost.
    void upload_current(const std::function<void(const uint8_t*)>& upload);

    // Waits up to `limit` until a picture is new or `done` holds; `done` is checked under the lock,
    // so anyone changing what it reads must call notify() afterwards.
    void wait_for_picture(std::chrono::milliseconds limit, const std::function<bool()>& done);
    void notify();

  private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<uint8_t> front;
    std::vector<uint8_t> back;  // decode thread only
    bool fresh = false;
    Stamp front_stamp;
};

}  // namespace nimbar::client
