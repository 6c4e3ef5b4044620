#pragma once

// Where the host's raw frames come from: the test pattern, or a file of raw BGRA frames of the
// stream's size laid end to end, played in a loop.

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace nimbar::host {

class FrameSource {
  public:
    // The moving test pattern; with `noise`, the band around the block is noise that differs in
    // every frame (draw_pattern_noise).
    FrameSource(int width, int height, bool noise = false);
    // Frames from `path`; check ok() before use.
    FrameSource(int width, int height, const std::string& path);

    // False after an error line when the file cannot be read or holds no whole frame.
    bool ok() const { return usable; }

    // Fills `frame` (resized to width * height * 4 bytes) with frame `frame_number` (from 1).
    // A file source returns its frames in order and starts over after the last whole one.
    bool next(uint32_t frame_number, std::vector<uint8_t>& frame);

  private:
    int width;
    int height;
    bool from_file = false;
    bool noise = false;
    bool usable = true;
    std::ifstream file;
};

}  // namespace nimbar::host
