#pragma once

// Conversion of decoded pictures to BGRA at the receiver's size, for those that cannot go to the
// screen as they are (see picture_path.h): bilinear, on two threads, with the picture's own
// matrix and range, and exact at every width (libswscale's fast unscaled path leaves the last
// columns of some widths, 1366 and 854 among them, black). Pictures are written into buffers of
// a pool made up front, so that a stream that needs conversion costs no allocation per picture.
// Decode thread only.

#include <cstdint>

struct AVBufferPool;
struct AVFrame;
struct SwsContext;

namespace nimbar::client {

class BgraConversion {
  public:
    BgraConversion() = default;
    ~BgraConversion() { close(); }
    BgraConversion(const BgraConversion&) = delete;
    BgraConversion& operator=(const BgraConversion&) = delete;

    // Pictures of width x height; the pool's first buffers are allocated now. False, holding
    // nothing, when there is not the memory for them.
    [[nodiscard]] bool open(int width, int height);
    void close();

    // Converts `picture` into `into` (unreferenced first): a BGRA frame of the receiver's size in
    // a pool buffer, rows of width * 4 bytes. False when it cannot be converted.
    bool convert(const AVFrame& picture, AVFrame& into);

  private:
    // What the context was made for.
    struct Source {
        int width = 0;
        int height = 0;
        int format = -1;
        int colorspace = -1;
        bool full_range = false;
        bool operator==(const Source&) const = default;
    };
    bool make_context(const Source& source);

    int width = 0;
    int height = 0;
    AVBufferPool* pool = nullptr;
    SwsContext* context = nullptr;
    Source made_for;
};

}  // namespace nimbar::client
