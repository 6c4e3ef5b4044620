// stream_host: a substitute for the screen-sharing client that starts the viewer and the preview.
// It streams datagrams to a child's port as the real host does, with faults injected on demand.

#include <atomic>
#include <csignal>
#include <cstdio>

extern "C" {
#include <libavutil/log.h>
}

#include "host/host_options.h"
#include "host/raw_stream.h"
#include "host/video_stream.h"
#include "net/udp_socket.h"

namespace {

std::atomic<bool> stop_requested{false};

extern "C" void request_stop(int) {
    stop_requested.store(true);
}

const char* codec_name(nimbar::host::HostCodec codec) {
    switch (codec) {
        case nimbar::host::HostCodec::VP8:
            return "VP8";
        case nimbar::host::HostCodec::H264:
            return "H.264";
        case nimbar::host::HostCodec::None:
            return "no";
        case nimbar::host::HostCodec::Raw:
            break;
    }
    return "raw";
}

}  // namespace

int main(int argc, char** argv) {
    using namespace nimbar::host;
    HostOptions options;
    const char* program = argc > 0 ? argv[0] : "stream_host";
    if (!parse_host_args(argc, argv, options)) {
        print_host_usage(program);
        return 1;
    }
    if (options.help) {
        print_host_help(program);
        return 0;
    }
    std::signal(SIGINT, request_stop);
    std::signal(SIGTERM, request_stop);
    // The encoders' banners and statistics would bury the host's own lines; their errors stay.
    av_log_set_level(AV_LOG_ERROR);

    nimbar::net::start_networking();
    if (options.codec == HostCodec::None) {
        printf("[Host] Streaming audio only for %.3f s to 127.0.0.1:%u\n",
               options.duration_seconds(), static_cast<unsigned>(options.port));
    } else if (!options.clip.empty()) {
        // The clip's own size applies, not --width and --height.
        printf("[Host] Streaming %lld %s frames of %s at %.3g fps to 127.0.0.1:%u\n",
               static_cast<long long>(options.frame_total()), codec_name(options.codec),
               options.clip.c_str(), options.fps, static_cast<unsigned>(options.port));
    } else {
        printf("[Host] Streaming %lld %s %dx%d frames at %.3g fps to 127.0.0.1:%u\n",
               static_cast<long long>(options.frame_total()), codec_name(options.codec),
               options.width, options.height, options.fps, static_cast<unsigned>(options.port));
    }
    if (options.has_audio()) {
        printf("[Host] Audio: %s as Opus at %d kbit/s, clock off by %+d ppm\n",
               options.audio.c_str(), options.audio_bitrate_kbps, options.audio_drift_ppm);
    }
    fflush(stdout);

    StreamSummary summary;
    bool ok = false;
    if (options.compressed()) {
        ok = stream_video_frames(options, stop_requested, summary);
        fputs(format_video_summary(summary).c_str(), stdout);
    } else {
        ok = stream_raw_frames(options, stop_requested, summary);
        fputs(format_summary(summary).c_str(), stdout);
    }
    nimbar::net::stop_networking();
    return ok ? 0 : 1;
}
