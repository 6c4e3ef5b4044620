#pragma once

// Pictures as a VideoReceiver draws them, told apart by hashes: read back from its renderer in the
// overlay callback (before the present), so that a judgement of what is shown does not depend on
// how the receiver turns a decoded picture into what it draws.

#include <SDL.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace nimbar::testing {

// Reads back what update() drew, as a 64-bit FNV-1a hash over pairs of pixels: enough to tell
// pictures apart, and cheap for a small window. Empty when the read failed.
class DrawnPictureReader {
  public:
    std::optional<uint64_t> read(SDL_Renderer* renderer, int width, int height);

  private:
    std::vector<uint32_t> pixels;
};

// The hashes of the pictures of `frames` (one stream, in order) as a receiver of width x height
// draws them when it gets the stream intact, in the order it shows them: each frame handed over
// whole, the next only once the decoder is done with it; the first frames again after the last,
// so that pictures a decoder holds back come out too. Stops at `pictures`; fewer when the receiver
// did not show that many.
std::vector<uint64_t> reference_pictures(const std::vector<std::vector<uint8_t>>& frames,
                                         uint8_t codec_selector, int width, int height,
                                         size_t pictures);

}  // namespace nimbar::testing
