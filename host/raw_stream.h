#pragma once

// The host's raw mode, for the preview: numbered BGRA frames cut into fragment datagrams and sent
// to 127.0.0.1 at the frame rate, through the chosen impairments.

#include <atomic>

#include "host/host_options.h"
#include "host/stream_summary.h"

namespace nimbar::host {

// Streams options.frame_total() frames numbered from options.first_frame_id, or until `stop` is
// set; with --pauses, the slots of still spells send nothing and use no id, and each spell
// begins with the line of print_still_line. False after an error line when the source or the
// socket cannot be used.
bool stream_raw_frames(const HostOptions& options, const std::atomic<bool>& stop,
                       StreamSummary& summary);

}  // namespace nimbar::host
