// stream_host: a substitute for the screen-sharing client that starts the viewer and the preview.
// It streams datagrams to a child's port as the real host does, with faults injected on demand.

#include <atomic>
#include <csignal>
#include <cstdio>

#include "host/host_options.h"
#include "host/raw_stream.h"
#include "net/udp_socket.h"

namespace {

std::atomic<bool> stop_requested{false};

extern "C" void request_stop(int) {
    stop_requested.store(true);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace nimbar::host;
    HostOptions options;
    if (!parse_host_args(argc, argv, options)) {
        print_host_usage(argc > 0 ? argv[0] : "stream_host");
        return 1;
    }
    std::signal(SIGINT, request_stop);
    std::signal(SIGTERM, request_stop);

    nimbar::net::start_networking();
    printf("[Host] Streaming %lld raw %dx%d frames at %.3g fps to 127.0.0.1:%u\n",
           static_cast<long long>(options.frame_total()), options.width, options.height,
           options.fps, static_cast<unsigned>(options.port));
    fflush(stdout);

    StreamSummary summary;
    const bool ok = stream_raw_frames(options, stop_requested, summary);
    fputs(format_summary(summary).c_str(), stdout);
    nimbar::net::stop_networking();
    return ok ? 0 : 1;
}
