#include "host/raw_stream.h"

#include <cstdio>
#include <vector>

#include "host/frame_sender.h"
#include "host/frame_source.h"
#include "host/pacer.h"

namespace nimbar::host {

bool stream_raw_frames(const HostOptions& options, const std::atomic<bool>& stop,
                       StreamSummary& summary) {
    FrameSource source = options.input.empty()
                             ? FrameSource(options.width, options.height)
                             : FrameSource(options.width, options.height, options.input);
    if (!source.ok()) {
        return false;
    }
    FrameSender sender(options);
    if (!sender.open()) {
        return false;
    }

    std::vector<uint8_t> frame;
    const Pacer pacer(options.fps);
    const int64_t total = options.frame_total();

    for (int64_t k = 0; k < total && !stop.load(); ++k) {
        pacer.wait_until(static_cast<uint64_t>(k));
        const auto frame_id = static_cast<uint32_t>(options.first_frame_id + k);
        if (!source.next(frame_id, frame)) {
            fprintf(stderr, "[Host] Error: cannot read frame %u\n", frame_id);
            return false;
        }
        sender.send(frame, frame_id, pacer, static_cast<uint64_t>(k), summary);
        ++summary.frames;
    }
    summary.seconds = pacer.elapsed_seconds();
    summary.impairments = sender.impairment_counters();
    return true;
}

}  // namespace nimbar::host
