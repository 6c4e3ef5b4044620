// Decode and convert: a 1920x1080 screen-like clip, VP8 and H.264, through the VideoReceiver to
// 1280x720 BGRA, beside `ffmpeg -threads 1 ... -vf scale=1280:720:flags=bilinear -pix_fmt bgra`
// on the same stream in the same run. Then the latency from a frame's last fragment to its
// picture in the front buffer, with the clip fed at 30 frames a second.
//
//   decode_bench [frames] [kbit/s]     (defaults 300 and 6000)
// ffmpeg must be on the PATH for the comparison (bench/decode.sh installs it).

#include <SDL.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "host/test_pattern.h"
#include "protocol/byte_order.h"
#include "receiver/video_receiver.h"
#include "tests/support/encoded_stream.h"

namespace {

using nimbar::client::VideoReceiver;
using nimbar::host::VideoCodec;
using Clock = std::chrono::steady_clock;
namespace protocol = nimbar::protocol;

constexpr int SOURCE_WIDTH = 1920;
constexpr int SOURCE_HEIGHT = 1080;
constexpr int TARGET_WIDTH = 1280;
constexpr int TARGET_HEIGHT = 720;
constexpr int FPS = 30;

// A screen of text over the test pattern: rows of dark "glyphs" of varied widths on light lines,
// scrolling by one line every 15 frames, with the pattern's block moving below.
void draw_screen(std::vector<uint8_t>& bgra, uint32_t frame) {
    nimbar::host::draw_test_pattern(bgra, SOURCE_WIDTH, SOURCE_HEIGHT, frame);
    const int line_height = 18;
    const int scroll = static_cast<int>(frame / 15);
    for (int line = 0; line < 30; ++line) {
        const int top = 40 + line * line_height;
        uint32_t seed = static_cast<uint32_t>(line + scroll) * 2654435761u;
        for (int x = 40; x < SOURCE_WIDTH - 400;) {
            seed = seed * 1103515245u + 12345u;
            const int glyph = 4 + static_cast<int>((seed >> 16) % 9);
            for (int y = top; y < top + 12; ++y) {
                for (int dx = 0; dx < glyph; ++dx) {
                    const bool ink = ((seed >> (dx % 16)) & 3) != 0 && y != top + 6;
                    uint8_t* p = &bgra[(static_cast<size_t>(y) * SOURCE_WIDTH + x + dx) * 4];
                    const uint8_t v = ink ? 20 : 245;
                    p[0] = p[1] = p[2] = v;
                }
            }
            x += glyph + 3 + static_cast<int>((seed >> 24) % 2) * 6;
        }
    }
}

std::vector<std::vector<uint8_t>> encode_clip(VideoCodec codec, int frames, int kbps) {
    nimbar::host::EncoderSettings settings;
    settings.codec = codec;
    settings.width = SOURCE_WIDTH;
    settings.height = SOURCE_HEIGHT;
    settings.fps = FPS;
    settings.bitrate_kbps = kbps;
    return nimbar::testing::encode_frames(
        settings, frames, [](uint32_t n, std::vector<uint8_t>& bgra) { draw_screen(bgra, n); });
}

// VP8 in an IVF file, H.264 as its Annex B byte stream: what ffmpeg reads without a container.
std::filesystem::path write_stream(VideoCodec codec,
                                   const std::vector<std::vector<uint8_t>>& clip) {
    const auto path =
        std::filesystem::temp_directory_path() /
        (codec == VideoCodec::VP8 ? "nimbar_decode_bench.ivf" : "nimbar_decode_bench.h264");
    std::ofstream file(path, std::ios::binary);
    if (codec == VideoCodec::VP8) {
        uint8_t header[32] = {'D', 'K', 'I', 'F', 0, 0, 32, 0, 'V', 'P', '8', '0'};
        protocol::store_u16_le(header + 12, SOURCE_WIDTH);
        protocol::store_u16_le(header + 14, SOURCE_HEIGHT);
        protocol::store_u32_le(header + 16, FPS);
        protocol::store_u32_le(header + 20, 1);
        protocol::store_u32_le(header + 24, static_cast<uint32_t>(clip.size()));
        file.write(reinterpret_cast<const char*>(header), sizeof header);
    }
    uint64_t pts = 0;
    for (const auto& frame : clip) {
        if (codec == VideoCodec::VP8) {
            uint8_t frame_header[12];
            protocol::store_u32_le(frame_header, static_cast<uint32_t>(frame.size()));
            protocol::store_u32_le(frame_header + 4, static_cast<uint32_t>(pts));
            protocol::store_u32_le(frame_header + 8, static_cast<uint32_t>(pts >> 32));
            file.write(reinterpret_cast<const char*>(frame_header), sizeof frame_header);
            ++pts;
        }
        file.write(reinterpret_cast<const char*>(frame.data()),
                   static_cast<std::streamsize>(frame.size()));
    }
    return path;
}

void feed(VideoReceiver& receiver, const std::vector<uint8_t>& frame, uint32_t frame_id) {
    const auto now = Clock::now();
    for (const auto& datagram : nimbar::testing::fragment_datagrams(frame, frame_id)) {
        receiver.handle_video_packet(datagram.data(), static_cast<int>(datagram.size()), 0, now);
    }
}

void wait_for_pictures(VideoReceiver& receiver, uint64_t pictures) {
    // Sleeping, not spinning: the decoder's threads need both cores.
    while (receiver.statistics().pictures_published.load() < pictures) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

// Frames per second of ffmpeg's single-threaded decode and conversion, from its own clock.
double ffmpeg_fps(const std::filesystem::path& stream, size_t frames) {
    const std::string command =
        "ffmpeg -hide_banner -nostats -benchmark -threads 1 -i " + stream.string() +
        " -vf scale=1280:720:flags=bilinear -pix_fmt bgra -f null - 2>&1 | grep -o 'rtime=[0-9.]*'";
    FILE* output = popen(command.c_str(), "r");
    if (output == nullptr) {
        return 0;
    }
    double seconds = 0;
    if (fscanf(output, "rtime=%lf", &seconds) != 1) {
        seconds = 0;
    }
    pclose(output);
    return seconds > 0 ? static_cast<double>(frames) / seconds : 0;
}

void run(VideoCodec codec, int frames, int kbps) {
    const char* name = codec == VideoCodec::VP8 ? "VP8" : "H.264";
    const auto clip = encode_clip(codec, frames, kbps);
    if (clip.empty()) {
        printf("%s: cannot encode\n", name);
        return;
    }
    size_t bytes = 0;
    for (const auto& frame : clip) {
        bytes += frame.size();
    }
    const auto stream = write_stream(codec, clip);

    double receiver_fps = 0;
    {
        VideoReceiver receiver;
        if (!receiver.init_standalone(TARGET_WIDTH, TARGET_HEIGHT, codec == VideoCodec::H264)) {
            return;
        }
        // One frame at a time, each waited for, so that every picture is converted.
        const auto start = Clock::now();
        for (size_t i = 0; i < clip.size(); ++i) {
            feed(receiver, clip[i], static_cast<uint32_t>(i + 1));
            wait_for_pictures(receiver, i + 1);
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        receiver_fps = static_cast<double>(clip.size()) / seconds;
    }
    const double reference_fps = ffmpeg_fps(stream, clip.size());

    // Latency at the stream's own pace.
    VideoReceiver receiver;
    receiver.init_standalone(TARGET_WIDTH, TARGET_HEIGHT, codec == VideoCodec::H264);
    const auto start = Clock::now();
    for (size_t i = 0; i < clip.size(); ++i) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(1000000 / FPS) * i);
        feed(receiver, clip[i], static_cast<uint32_t>(i + 1));
    }
    wait_for_pictures(receiver, clip.size());
    const auto decode = receiver.statistics().decode_time.snapshot();
    const auto latency = receiver.statistics().latency_to_publish.snapshot();

    fprintf(stderr, "\n");
    printf(
        "%s %dx%d -> %dx%d, %zu frames, %.2f Mbit/s: receiver %.1f fps, ffmpeg -threads 1 "
        "%.1f fps, ratio %.2f\n",
        name, SOURCE_WIDTH, SOURCE_HEIGHT, TARGET_WIDTH, TARGET_HEIGHT, clip.size(),
        static_cast<double>(bytes) * 8 * FPS / static_cast<double>(clip.size()) / 1e6, receiver_fps,
        reference_fps, reference_fps > 0 ? receiver_fps / reference_fps : 0.0);
    printf(
        "%s at %d fps: decode+convert p50 %.1f ms p99 %.1f ms; last fragment -> front buffer "
        "p50 %.1f ms p99 %.1f ms\n",
        name, FPS, decode.percentile_ms(0.5), decode.percentile_ms(0.99),
        latency.percentile_ms(0.5), latency.percentile_ms(0.99));
    std::filesystem::remove(stream);
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 300;
    const int kbps = argc > 2 ? std::atoi(argv[2]) : 6000;
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "dummy");
    if (SDL_Init(SDL_INIT_VIDEO) < 0) {
        fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
        return 1;
    }
    run(VideoCodec::VP8, frames, kbps);
    run(VideoCodec::H264, frames, kbps);
    SDL_Quit();
    return 0;
}
