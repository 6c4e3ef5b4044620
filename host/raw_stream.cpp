#include "host/raw_stream.h"

#include <cstdio>
#include <optional>
#include <vector>

#include "host/frame_sender.h"
#include "host/frame_source.h"
#include "host/pacer.h"
#include "host/pauses.h"

namespace nimbar::host {

bool stream_raw_frames(const HostOptions& options, const std::atomic<bool>& stop,
                       StreamSummary& summary) {
    FrameSource source = options.input.empty()
                             ? FrameSource(options.width, options.height, options.pattern_noise)
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
    // The frames' clock: the run's, but for the lag a still spell forgives (PauseSchedule).
    Pacer video_clock = pacer;
    const int64_t total = options.frame_total();

    const PauseSchedule pauses(options);
    // The pattern draws frame id n as its frame number n; a file's frames have no number.
    const bool numbered = options.input.empty();
    int64_t k = 0;  // frame ids used so far: the next one is first_frame_id + k
    bool still = false;
    for (int64_t slot = 0; slot < total && !stop.load(); ++slot) {
        video_clock.wait_until(static_cast<uint64_t>(slot));
        if (pauses.still(static_cast<uint64_t>(slot))) {
            if (!still) {
                pauses.begin_still_spell(video_clock, static_cast<uint64_t>(slot));
                std::optional<uint32_t> last;
                if (k > 0) {
                    last = static_cast<uint32_t>(options.first_frame_id + k - 1);
                }
                print_still_line(last, numbered ? last : std::nullopt);
            }
            still = true;
            continue;
        }
        still = false;
        const auto frame_id = static_cast<uint32_t>(options.first_frame_id + k);
        if (!source.next(frame_id, frame)) {
            fprintf(stderr, "[Host] Error: cannot read frame %u\n", frame_id);
            return false;
        }
        sender.send(frame, frame_id, video_clock, static_cast<uint64_t>(slot), summary);
        ++k;
        ++summary.frames;
    }
    summary.seconds = pacer.elapsed_seconds();
    summary.impairments = sender.impairment_counters();
    return true;
}

}  // namespace nimbar::host
