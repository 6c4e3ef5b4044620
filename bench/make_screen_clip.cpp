// Screen-like raw clips for the viewer benchmarks: 1920x1080 BGRA frames of text-like lines (small
// dark glyphs on a light background, scrolling a line every SCROLL_FRAMES frames) with a "video"
// rectangle of noise that differs in every frame, so that VP8 can be driven to any bitrate up to a
// few hundred Mbit/s by the rectangle's size.
//
//   make_screen_clip --out <file.bgra> [--frames <n>] [--video <w>x<h>]
//                    [--report <kbit/s> [--ivf <file.ivf>]] [--fps <rate>]
//                    [--keyframe-interval <frames>] [--codec vp8|h264]
//       writes n frames (default 60) with a w x h noise rectangle (default 640x360), then, with
//       --report, encodes them as `stream_host --codec vp8 --preencode n` would (same encoder,
//       same settings) and prints one line: "[Clip] frames=.. sent=.. keyframes=..
//       first_keyframe_bytes=.. max_keyframe_fragments=.. max_fragments=.. oversized=.. mbps=..
//       inter_mbps=.." (sent: frames the host keeps; oversized ones it skips; mbps over the loop).
//       --ivf also writes the frames the host keeps to an IVF file at --fps, for
//       `stream_host --codec vp8 --clip <file.ivf>` and for other senders and decoders.
//       --sizes 1 also lists every frame's size on stderr. --codec h264 encodes with libx264 as
//       `stream_host --codec h264` does instead (and writes an H264 IVF file).
//   make_screen_clip --out <file.bgra> --fit-fragments <n> --bitrate <kbit/s> [--fps <rate>]
//                    [--ivf <file.ivf>]
//       writes one frame whose keyframe, encoded as stream_host encodes its first frame at that
//       bitrate and rate, takes exactly n fragments; the noise then fills whole rows from the top
//       plus part of one more. Prints "[Clip] noise_pixels=.. keyframe_bytes=.. fragments=..".
//       --ivf also writes that keyframe, the very bytes measured, as a one-frame IVF file.
//       Exit code 2 when no noise amount gives exactly n fragments.

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "host/ivf_file.h"
#include "host/video_encoder.h"
#include "protocol/fragmenter.h"
#include "protocol/media_datagram.h"

namespace {

using nimbar::host::EncoderSettings;
using nimbar::host::IvfWriter;
using nimbar::host::VideoCodec;
using nimbar::host::VideoEncoder;

constexpr int WIDTH = 1920;
constexpr int HEIGHT = 1080;
// A text line's pitch and the height of its glyphs: a small desktop font.
constexpr int LINE_PITCH = 18;
constexpr int GLYPH_HEIGHT = 12;
// Half a second at 30 frames/s between scroll steps: text changes a little, not every frame.
constexpr int SCROLL_FRAMES = 15;
// Margin around the text and in front of the video rectangle, like a window's border.
constexpr int MARGIN = 40;
constexpr uint8_t PAPER = 245;
constexpr uint8_t INK = 20;
// Fixed so that every run writes the same clip, and the host encodes what the report measured.
constexpr uint64_t NOISE_SEED = 0x9e3779b97f4a7c15ull;

struct Options {
    std::string out;
    int frames = 60;
    int video_width = 640;
    int video_height = 360;
    int report_kbps = 0;
    std::string ivf;  // with report_kbps: where the kept frames go as an IVF file
    int fps = 30;
    int keyframe_interval = 300;  // stream_host's default
    int fit_fragments = 0;
    int fit_kbps = 0;
    bool sizes = false;  // --sizes 1: each encoded frame's size on stderr, for tuning a clip
    VideoCodec codec = VideoCodec::VP8;
};

// Where the noise goes: `pixels` pixels filling rows of `width` from (left, top), in order.
struct NoiseArea {
    int left = 0;
    int top = 0;
    int width = 0;
    int64_t pixels = 0;
};

uint64_t next_random(uint64_t& state) {
    // xorshift64*: fast enough for tens of millions of pixels per second, and reproducible.
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 2685821657736338717ull;
}

void draw_text(std::vector<uint8_t>& bgra, uint32_t frame) {
    std::memset(bgra.data(), PAPER, bgra.size());
    const int scroll = static_cast<int>(frame / SCROLL_FRAMES);
    for (int line = 0; MARGIN + (line + 1) * LINE_PITCH <= HEIGHT - MARGIN; ++line) {
        const int top = MARGIN + line * LINE_PITCH;
        uint32_t seed = static_cast<uint32_t>(line + scroll) * 2654435761u;
        for (int x = MARGIN; x < WIDTH - MARGIN - 16;) {
            seed = seed * 1103515245u + 12345u;
            const int glyph = 4 + static_cast<int>((seed >> 16) % 9);
            for (int y = top; y < top + GLYPH_HEIGHT; ++y) {
                for (int dx = 0; dx < glyph; ++dx) {
                    const bool ink = ((seed >> (dx % 16)) & 3) != 0 && y != top + GLYPH_HEIGHT / 2;
                    uint8_t* p = &bgra[(static_cast<size_t>(y) * WIDTH + x + dx) * 4];
                    p[0] = p[1] = p[2] = ink ? INK : PAPER;
                }
            }
            // Words: a wider gap now and then.
            x += glyph + 3 + static_cast<int>((seed >> 24) % 2) * 6;
        }
    }
}

// Pixel i of the area gets the i-th value of the frame's own sequence, so that a larger area holds
// the smaller one's noise and more (the fit relies on the size growing with the area).
void draw_noise(std::vector<uint8_t>& bgra, uint32_t frame, const NoiseArea& area) {
    uint64_t state = NOISE_SEED ^ (uint64_t{frame} * 0xbf58476d1ce4e5b9ull);
    for (int64_t i = 0; i < area.pixels; ++i) {
        const int64_t y = area.top + i / area.width;
        const int64_t x = area.left + i % area.width;
        const uint64_t r = next_random(state);
        uint8_t* p = &bgra[(static_cast<size_t>(y) * WIDTH + static_cast<size_t>(x)) * 4];
        p[0] = static_cast<uint8_t>(r);
        p[1] = static_cast<uint8_t>(r >> 8);
        p[2] = static_cast<uint8_t>(r >> 16);
    }
}

void draw_frame(std::vector<uint8_t>& bgra, uint32_t frame, const NoiseArea& area) {
    draw_text(bgra, frame);
    draw_noise(bgra, frame, area);
    for (size_t i = 3; i < bgra.size(); i += 4) {
        bgra[i] = 255;
    }
}

EncoderSettings settings_for(int kbps, int fps, int keyframe_interval,
                             VideoCodec codec = VideoCodec::VP8) {
    EncoderSettings settings;
    settings.codec = codec;
    settings.width = WIDTH;
    settings.height = HEIGHT;
    settings.fps = fps;
    settings.bitrate_kbps = kbps;
    settings.keyframe_interval = keyframe_interval;
    return settings;
}

// The video rectangle of the clip mode: in the lower right corner, MARGIN from the edges while it
// leaves room for them.
NoiseArea video_area(const Options& options) {
    NoiseArea area;
    area.width = std::min(options.video_width, WIDTH);
    const int height = std::min(options.video_height, HEIGHT);
    area.left = WIDTH - area.width - std::min(MARGIN, WIDTH - area.width);
    area.top = HEIGHT - height - std::min(MARGIN, HEIGHT - height);
    area.pixels = int64_t{area.width} * height;
    return area;
}

int write_clip(const Options& options) {
    const NoiseArea area = video_area(options);
    std::ofstream file(options.out, std::ios::binary);
    if (!file) {
        fprintf(stderr, "[Clip] Error: cannot write %s\n", options.out.c_str());
        return 1;
    }
    VideoEncoder encoder;
    const bool report = options.report_kbps > 0;
    if (report &&
        !encoder.open(settings_for(options.report_kbps, options.fps, options.keyframe_interval,
                                   options.codec))) {
        return 1;
    }
    IvfWriter ivf;
    if (!options.ivf.empty() && !ivf.open(options.ivf, options.codec, WIDTH, HEIGHT,
                                          static_cast<uint32_t>(options.fps))) {
        return 1;
    }
    std::vector<uint8_t> bgra(size_t{WIDTH} * HEIGHT * 4);
    std::vector<uint8_t> encoded;
    uint64_t bytes = 0;
    int keyframes = 0;
    int oversized = 0;
    bool want_keyframe = true;
    int sent = 0;  // frames that go into the host's loop
    uint64_t inter_bytes = 0;
    int inter_frames = 0;
    size_t first_keyframe = 0;
    size_t max_keyframe_fragments = 0;
    size_t max_fragments = 0;
    for (int i = 0; i < options.frames; ++i) {
        draw_frame(bgra, static_cast<uint32_t>(i + 1), area);
        file.write(reinterpret_cast<const char*>(bgra.data()),
                   static_cast<std::streamsize>(bgra.size()));
        if (!report) {
            continue;
        }
        bool keyframe = false;
        // As the host: the clip's first frame is forced, and so is every frame after one that was
        // too large to send, until one fits.
        if (!encoder.encode(bgra, want_keyframe, encoded, keyframe)) {
            return 1;
        }
        if (encoded.empty()) {
            continue;
        }
        const size_t fragments = nimbar::protocol::fragment_count_for(encoded.size());
        want_keyframe = fragments > nimbar::protocol::MAX_FRAGMENTS;
        if (want_keyframe) {
            ++oversized;
            continue;
        }
        if (options.sizes) {
            fprintf(stderr, "[Clip] frame %d: %zu bytes%s\n", i + 1, encoded.size(),
                    keyframe ? " (keyframe)" : "");
        }
        if (!options.ivf.empty() && !ivf.add(encoded)) {
            return 1;
        }
        ++sent;
        bytes += encoded.size();
        if (!keyframe) {
            inter_bytes += encoded.size();
            ++inter_frames;
        }
        max_fragments = std::max(max_fragments, fragments);
        if (keyframe) {
            ++keyframes;
            max_keyframe_fragments = std::max(max_keyframe_fragments, fragments);
            if (first_keyframe == 0) {
                first_keyframe = encoded.size();
            }
        }
    }
    if (!file) {
        fprintf(stderr, "[Clip] Error: writing %s failed\n", options.out.c_str());
        return 1;
    }
    if (!options.ivf.empty() && !ivf.finish()) {
        return 1;
    }
    if (report) {
        printf(
            "[Clip] frames=%d sent=%d keyframes=%d first_keyframe_bytes=%zu "
            "max_keyframe_fragments=%zu "
            "max_fragments=%zu oversized=%d mbps=%.2f inter_mbps=%.2f\n",
            options.frames, sent, keyframes, first_keyframe, max_keyframe_fragments, max_fragments,
            oversized, sent > 0 ? static_cast<double>(bytes) * 8 * options.fps / sent / 1e6 : 0.0,
            inter_frames > 0
                ? static_cast<double>(inter_bytes) * 8 * options.fps / inter_frames / 1e6
                : 0.0);
    }
    return 0;
}

// Frame 1 as a keyframe with `pixels` of noise, encoded by a fresh encoder as the host's first
// frame is; empty after an encoder error.
std::vector<uint8_t> keyframe_of(const Options& options, int64_t pixels,
                                 std::vector<uint8_t>& bgra) {
    const NoiseArea area{0, 0, WIDTH, pixels};
    draw_frame(bgra, 1, area);
    VideoEncoder encoder;
    std::vector<uint8_t> encoded;
    bool keyframe = false;
    if (!encoder.open(settings_for(options.fit_kbps, options.fps, options.keyframe_interval)) ||
        !encoder.encode(bgra, true, encoded, keyframe)) {
        encoded.clear();
    }
    return encoded;
}

int fit_keyframe(const Options& options) {
    const size_t want = static_cast<size_t>(options.fit_fragments);
    std::vector<uint8_t> bgra(size_t{WIDTH} * HEIGHT * 4);
    const auto fragments = [&](int64_t pixels) {
        return nimbar::protocol::fragment_count_for(keyframe_of(options, pixels, bgra).size());
    };
    // The largest noise amount whose keyframe stays within `want` fragments, by bisection; the size
    // grows with the noise nearly monotonically.
    int64_t low = 0;
    int64_t high = int64_t{WIDTH} * HEIGHT;
    if (fragments(low) > want) {
        fprintf(stderr, "[Clip] Error: even without noise the keyframe exceeds %zu fragments\n",
                want);
        return 2;
    }
    if (fragments(high) <= want) {
        fprintf(stderr, "[Clip] Error: a full screen of noise stays within %zu fragments\n", want);
        return 2;
    }
    while (high - low > 1) {
        const int64_t middle = (low + high) / 2;
        (fragments(middle) <= want ? low : high) = middle;
    }
    // Encoder jitter may step over `want`; look a little below the boundary for an exact hit.
    // A 16x16 macroblock row segment is the encoder's granularity: step by part of one.
    constexpr int64_t BACKOFF_STEP = 8;
    constexpr int BACKOFF_TRIES = 64;
    int64_t pixels = low;
    for (int i = 0; i < BACKOFF_TRIES && fragments(pixels) != want; ++i) {
        pixels -= BACKOFF_STEP;
    }
    const std::vector<uint8_t> encoded = keyframe_of(options, pixels, bgra);
    const size_t bytes = encoded.size();
    const size_t count = nimbar::protocol::fragment_count_for(bytes);
    printf("[Clip] noise_pixels=%" PRId64 " keyframe_bytes=%zu fragments=%zu\n", pixels, bytes,
           count);
    std::ofstream file(options.out, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bgra.data()),
               static_cast<std::streamsize>(bgra.size()));
    if (!file) {
        fprintf(stderr, "[Clip] Error: cannot write %s\n", options.out.c_str());
        return 1;
    }
    if (!options.ivf.empty()) {
        IvfWriter ivf;
        if (!ivf.open(options.ivf, VideoCodec::VP8, WIDTH, HEIGHT,
                      static_cast<uint32_t>(options.fps)) ||
            !ivf.add(encoded) || !ivf.finish()) {
            return 1;
        }
    }
    return count == want ? 0 : 2;
}

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--out") {
            options.out = value;
        } else if (name == "--frames") {
            options.frames = std::atoi(value);
        } else if (name == "--video") {
            if (std::sscanf(value, "%dx%d", &options.video_width, &options.video_height) != 2) {
                return false;
            }
        } else if (name == "--report") {
            options.report_kbps = std::atoi(value);
        } else if (name == "--ivf") {
            options.ivf = value;
        } else if (name == "--fps") {
            options.fps = std::atoi(value);
        } else if (name == "--codec") {
            options.codec = std::strcmp(value, "h264") == 0 ? VideoCodec::H264 : VideoCodec::VP8;
        } else if (name == "--keyframe-interval") {
            options.keyframe_interval = std::atoi(value);
        } else if (name == "--fit-fragments") {
            options.fit_fragments = std::atoi(value);
        } else if (name == "--sizes") {
            options.sizes = std::atoi(value) != 0;
        } else if (name == "--bitrate") {
            options.fit_kbps = std::atoi(value);
        } else {
            return false;
        }
    }
    return !options.out.empty() && options.frames > 0 && options.fps > 0 &&
           options.video_width > 0 && options.video_height > 0 &&
           (options.fit_fragments == 0 || options.fit_kbps > 0) &&
           (options.ivf.empty() || options.report_kbps > 0 || options.fit_fragments > 0);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        fprintf(stderr,
                "usage: %s --out <file.bgra> [--frames <n>] [--video <w>x<h>] [--report <kbit/s> "
                "[--ivf <file.ivf>]] [--fps <rate>] [--keyframe-interval <frames>]\n"
                "       %s --out <file.bgra> --fit-fragments <n> --bitrate <kbit/s> [--fps <rate>] "
                "[--ivf <file.ivf>]\n",
                argv[0], argv[0]);
        return 1;
    }
    return options.fit_fragments > 0 ? fit_keyframe(options) : write_clip(options);
}
