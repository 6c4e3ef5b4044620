#pragma once

// Pictures for the host's compressed mode from a video file: any file libavformat reads, its best
// video stream decoded with libavcodec and scaled to the stream's size as BGRA. One decoded picture
// per frame, whatever the file's own rate; after the last one the file starts over.

#include <cstdint>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace nimbar::host {

class VideoFileSource {
  public:
    // Opens `path` and its decoder; check ok() before use.
    VideoFileSource(int width, int height, const std::string& path);
    ~VideoFileSource();
    VideoFileSource(const VideoFileSource&) = delete;
    VideoFileSource& operator=(const VideoFileSource&) = delete;

    // False after an error line when the file cannot be opened or has no video stream that can be
    // decoded, or when a later read found it unusable.
    bool ok() const { return usable; }

    // Fills `frame` (resized to width * height * 4 bytes, alpha opaque) with the next picture.
    // False after an error line when no picture can be had: the file cannot be read again, or a
    // whole pass over it decoded none.
    bool next(std::vector<uint8_t>& frame);

  private:
    bool open_file();
    void close_file();
    bool restart();
    bool convert(std::vector<uint8_t>& frame);
    bool fail(const char* what);

    int width;
    int height;
    std::string path;
    bool usable = false;
    AVFormatContext* format = nullptr;
    AVCodecContext* decoder = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* picture = nullptr;
    SwsContext* scaler = nullptr;
    int stream_index = -1;
    uint64_t pictures_this_pass = 0;
};

}  // namespace nimbar::host
