#pragma once

// The newest decoded picture, handed from the decode thread to the main thread: a reference to a
// libavcodec frame (the decoder's own YUV picture, or a BGRA one converted from it), so that
// handing it over copies nothing. The decode thread publishes; a picture not taken before the
// next is published is dropped. The main thread takes the newest and uploads it outside the lock.
// One lock, held only to move a reference in or out.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>

struct AVFrame;

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
        // The stream's picture size (a converted picture may have another).
        int width = 0;
        int height = 0;
    };

    PictureHandoff();
    ~PictureHandoff();
    PictureHandoff(const PictureHandoff&) = delete;
    PictureHandoff& operator=(const PictureHandoff&) = delete;

    // Drops a picture not taken. After the decode thread ended.
    void release();

    // Decode thread: `picture`'s references move into the hand-off (the frame is left empty) as
    // the newest picture; one not taken yet is dropped. Wakes wait_for_picture. False, leaving
    // `picture` as it was, when the hand-off has no frame to hold it (no memory at start-up).
    bool publish(AVFrame& picture, const Stamp& stamp);

    // Main thread: when a picture was published since the last take, moves its references into
    // `into` (unreferenced first) and returns its stamp.
    std::optional<Stamp> take_new(AVFrame& into);

    // Waits up to `limit` until a picture is new or `done` holds; `done` is checked under the lock,
    // so anyone changing what it reads must call notify() afterwards.
    void wait_for_picture(std::chrono::milliseconds limit, const std::function<bool()>& done);
    void notify();

  private:
    std::mutex mutex;
    std::condition_variable changed;
    AVFrame* newest = nullptr;  // holds the untaken picture while `fresh`
    bool fresh = false;
    Stamp newest_stamp;
};

}  // namespace nimbar::client
