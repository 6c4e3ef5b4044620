#pragma once

// Whether the stream is in the codec the viewer was started for. A host started with the other
// codec's selector gets only the decoder's own complaints ("vp8: Invalid start code") and keyframe
// requests that never help; this tells it in one line what is wrong. Pure: the caller passes each
// completed frame and the time, and writes the line when told to.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "receiver/keyframe.h"

namespace nimbar::client {

// Which codec a frame's first bytes are of (protocol::looks_like_h264, looks_like_vp8); none for
// junk and empty frames.
std::optional<VideoCodec> codec_of_frame(std::span<const uint8_t> frame);

class CodecCheck {
  public:
    using Clock = std::chrono::steady_clock;

    // Completed frames in a row that must look like the other codec before the line is written:
    // more than one or two stray datagrams make. A mismatched stream fails to decode, so the
    // viewer asks for keyframes and even a still host sends three frames within about a second.
    static constexpr int MISMATCHED_FRAMES = 3;
    // The line again, while the mismatch goes on, at most this often: a reminder, not a flood.
    static constexpr std::chrono::seconds REPEAT_INTERVAL{10};

    explicit CodecCheck(VideoCodec expected = VideoCodec::VP8) : expected(expected) {}

    // Takes one completed frame of the stream at `now`. True when line() is due on stderr now.
    bool observe(std::span<const uint8_t> frame, Clock::time_point now);
    // The tagged line, newline included, naming the expected codec and the one the stream is in.
    const char* line() const;

  private:
    VideoCodec expected;
    int mismatched_in_a_row = 0;
    std::optional<Clock::time_point> last_line;
};

}  // namespace nimbar::client
