#include "tests/support/encoder_clip.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <span>
#include <sstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "tests/support/child_process.h"

namespace nimbar::testing {

namespace {

// Encoding a few seconds of a small clip takes a second or two; a loaded machine takes longer.
constexpr auto FFMPEG_TIMEOUT = std::chrono::seconds(120);

template <typename T, void (*Free)(T**)>
struct Freed {
    void operator()(T* pointer) const { Free(&pointer); }
};
using Packet = std::unique_ptr<AVPacket, Freed<AVPacket, av_packet_free>>;

// Exp-Golomb ue(v) at the start of `bits`; -1 when it runs past them.
int read_exp_golomb(std::span<const uint8_t> bits) {
    const auto bit = [&](size_t at) {
        return at / 8 < bits.size() ? bits[at / 8] >> (7 - at % 8) & 1 : -1;
    };
    size_t zeros = 0;
    while (bit(zeros) == 0) {
        ++zeros;
    }
    if (bit(2 * zeros) < 0) {
        return -1;
    }
    int value = 1;
    for (size_t at = zeros + 1; at <= 2 * zeros; ++at) {
        value = value << 1 | bit(at);
    }
    return value - 1;
}

// For an H.264 frame: strips the parameter sets unless `keep_parameter_sets`, and returns the
// recovery frame count of a recovery point SEI message that opens an SEI unit, if any.
int strip_and_find_recovery(std::vector<uint8_t>& frame, bool keep_parameter_sets) {
    std::vector<size_t> starts;  // of each unit's start code
    for (size_t i = 0; i + 3 < frame.size(); ++i) {
        if (frame[i] == 0 && frame[i + 1] == 0 && frame[i + 2] == 1) {
            starts.push_back(i > 0 && frame[i - 1] == 0 ? i - 1 : i);
            i += 2;
        }
    }
    starts.push_back(frame.size());
    std::vector<uint8_t> kept;
    int recovery = 0;
    for (size_t u = 0; u + 1 < starts.size(); ++u) {
        const auto unit = std::span(frame).subspan(starts[u], starts[u + 1] - starts[u]);
        const size_t header = unit[2] == 0 ? 4 : 3;  // past a start code of four bytes or three
        const int type = unit[header] & 0x1F;
        // SEI: payload type 6 (recovery point) in one byte, its size in one, then the count.
        if (type == 6 && unit.size() > header + 3 && unit[header + 1] == 6) {
            recovery = std::max(recovery, read_exp_golomb(unit.subspan(header + 3)));
        }
        if (keep_parameter_sets || (type != 7 && type != 8)) {
            kept.insert(kept.end(), unit.begin(), unit.end());
        }
    }
    frame = std::move(kept);
    return recovery;
}

// Runs ffmpeg with `arguments`, then `more`; false, with what it wrote to stderr in `errors`, when
// it fails.
bool run_ffmpeg(const std::vector<std::string>& arguments, std::initializer_list<std::string> more,
                std::string& errors) {
    std::vector<std::string> argv = {"ffmpeg",    "-hide_banner", "-nostdin",
                                     "-loglevel", "error",        "-y"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    argv.insert(argv.end(), more);
    ChildProcess ffmpeg(argv);
    const auto code = ffmpeg.wait_exit(FFMPEG_TIMEOUT);
    errors = ffmpeg.stderr_text();
    return code == 0;
}

// Reads raw H.264 (Annex B) or IVF (VP8) into frames, decoding each as it comes to learn which
// picture it shows. The demuxers split frames with libavcodec's parsers, which also mark where a
// decoder can start: IDRs, H.264 recovery points, VP8 keyframes.
std::optional<EncoderClip> read_clip(const std::string& path, bool vp8, bool parameter_sets_once) {
    EncoderClip clip;
    clip.codec = vp8 ? host::VideoCodec::VP8 : host::VideoCodec::H264;
    const AVCodec* codec = avcodec_find_decoder(vp8 ? AV_CODEC_ID_VP8 : AV_CODEC_ID_H264);
    std::unique_ptr<AVCodecContext, Freed<AVCodecContext, avcodec_free_context>> context(
        codec ? avcodec_alloc_context3(codec) : nullptr);
    std::unique_ptr<AVFrame, Freed<AVFrame, av_frame_free>> picture(av_frame_alloc());
    Packet packet(av_packet_alloc());
    AVFormatContext* format = nullptr;
    if (!context || !picture || !packet || avcodec_open2(context.get(), codec, nullptr) < 0 ||
        avformat_open_input(&format, path.c_str(), av_find_input_format(vp8 ? "ivf" : "h264"),
                            nullptr) < 0) {
        return std::nullopt;
    }
    const auto decode = [&](const AVPacket* frame) {  // null: the pictures held back
        const int sent = avcodec_send_packet(context.get(), frame);
        while (sent >= 0 && avcodec_receive_frame(context.get(), picture.get()) >= 0) {
            if (picture->pts >= 0 && static_cast<size_t>(picture->pts) < clip.picture.size()) {
                clip.picture[picture->pts] = clip.pictures++;
            }
            if (!clip.first_picture) {
                clip.first_picture.reset(av_frame_clone(picture.get()),
                                         [](AVFrame* frame) { av_frame_free(&frame); });
            }
        }
    };
    for (; av_read_frame(format, packet.get()) >= 0; av_packet_unref(packet.get())) {
        packet->pts = static_cast<int64_t>(clip.frames.size());
        clip.picture.push_back(-1);
        decode(packet.get());
        clip.out_after.push_back(clip.pictures);
        auto& frame = clip.frames.emplace_back(packet->data, packet->data + packet->size);
        clip.restart.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
        clip.recovery.push_back(
            vp8 ? 0
                : strip_and_find_recovery(frame, !parameter_sets_once || clip.frames.size() == 1));
    }
    avformat_close_input(&format);
    decode(nullptr);
    if (clip.pictures == 0) {
        return std::nullopt;
    }
    return clip;
}

}  // namespace

bool ffmpeg_has_encoder(const std::string& encoder) {
    ChildProcess ffmpeg({"ffmpeg", "-hide_banner", "-nostdin", "-encoders"});
    return ffmpeg.wait_exit(FFMPEG_TIMEOUT) == 0 &&
           ffmpeg.stdout_text().find(" " + encoder + " ") != std::string::npos;
}

std::optional<EncoderClip> make_encoder_clip(const ClipRecipe& recipe, std::string& problem) {
    static int made = 0;  // a folder per clip: one process makes several
    const auto folder =
        std::filesystem::temp_directory_path() /
        ("nimbar_clip_" + std::to_string(::getpid()) + "_" + std::to_string(made++));
    std::filesystem::create_directories(folder);
    const bool vp8 = recipe.encoder == "libvpx";
    const std::string log = (folder / "pass").string();
    const std::string path = (folder / "clip").string();
    std::ofstream joined(path, std::ios::binary);
    bool encoded = true;
    for (size_t i = 0; encoded && i < recipe.sources.size(); ++i) {
        std::vector<std::string> arguments = {"-f",   "lavfi",       "-i", recipe.sources[i],
                                              "-c:v", recipe.encoder};
        std::istringstream options(recipe.options);
        for (std::string word; options >> word;) {
            arguments.push_back(word);
        }
        const std::string part = (folder / ("part" + std::to_string(i))).string();
        if (recipe.two_pass) {
            encoded = run_ffmpeg(arguments, {"-pass", "1", "-passlogfile", log, "-f", "null", "-"},
                                 problem);
            arguments.insert(arguments.end(), {"-pass", "2", "-passlogfile", log});
        }
        encoded = encoded && run_ffmpeg(arguments, {"-f", vp8 ? "ivf" : "h264", part}, problem);
        joined << std::ifstream(part, std::ios::binary).rdbuf();
    }
    joined.close();
    auto clip = encoded ? read_clip(path, vp8, recipe.parameter_sets_once) : std::nullopt;
    std::filesystem::remove_all(folder);
    if (!clip) {
        problem = encoded ? "ffmpeg's clip could not be read" : "ffmpeg failed: " + problem;
    }
    return clip;
}

}  // namespace nimbar::testing
