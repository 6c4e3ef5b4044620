#include "host/frame_source.h"

#include <cstdio>

#include "host/test_pattern.h"

namespace nimbar::host {

namespace {

size_t frame_bytes(int width, int height) {
    return static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
}

}  // namespace

FrameSource::FrameSource(int width, int height, bool noise)
    : width(width), height(height), noise(noise) {}

FrameSource::FrameSource(int width, int height, const std::string& path)
    : width(width), height(height), from_file(true), file(path, std::ios::binary) {
    if (!file) {
        fprintf(stderr, "[Host] Error: cannot open %s\n", path.c_str());
        usable = false;
        return;
    }
    file.seekg(0, std::ios::end);
    const auto size = static_cast<uint64_t>(file.tellg());
    file.seekg(0);
    if (size < frame_bytes(width, height)) {
        fprintf(stderr, "[Host] Error: %s holds no whole %dx%d BGRA frame\n", path.c_str(), width,
                height);
        usable = false;
    }
}

bool FrameSource::next(uint32_t frame_number, std::vector<uint8_t>& frame) {
    frame.resize(frame_bytes(width, height));
    if (!from_file) {
        draw_test_pattern(frame, width, height, frame_number);
        if (noise) {
            draw_pattern_noise(frame, width, height, frame_number);
        }
        return true;
    }
    if (!usable) {
        return false;
    }
    const auto want = static_cast<std::streamsize>(frame.size());
    file.read(reinterpret_cast<char*>(frame.data()), want);
    if (file.gcount() == want) {
        return true;
    }
    // A partial frame at the end of the file is skipped; start over.
    file.clear();
    file.seekg(0);
    file.read(reinterpret_cast<char*>(frame.data()), want);
    return file.gcount() == want;
}

}  // namespace nimbar::host
