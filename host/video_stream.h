#pragma once

// The host's compressed mode, for the viewer: pictures (the test pattern, a raw BGRA file or a
// video file) encoded to VP8 or H.264, or the frames of an IVF clip, each compressed frame cut into
// fragment datagrams and sent to 127.0.0.1 at the frame rate through the chosen impairments; and
// with options.audio, the screen audio as Opus packets every 20 ms of the host's audio clock,
// between the frames, or on its own with HostCodec::None. Between sends it reads the viewer's
// control datagrams and answers a keyframe request with a keyframe.

#include <atomic>

#include "host/host_options.h"
#include "host/stream_summary.h"

namespace nimbar::host {

// Streams options.frame_total() frames numbered from 1, and audio packets due within
// options.duration_seconds(), or until `stop` is set. A frame too large for MAX_FRAGMENTS fragments
// is skipped after an error line (its id stays unused) and the next one is made a keyframe. With
// options.preencode, the first frames are encoded before the clock starts and then sent over and
// over under new ids, the first of them a keyframe; a keyframe request starts the loop over. With
// options.clip, the IVF file's frames are looped the same way, nothing encoded; the file must hold
// options.codec and start with a keyframe. False after an error line when a source, the clip file,
// an encoder or a socket cannot be used. With --pauses, the frame slots of still spells send
// no video (audio goes on) and use no id; each spell begins with the line of print_still_line.
bool stream_video_frames(const HostOptions& options, const std::atomic<bool>& stop,
                         StreamSummary& summary);

}  // namespace nimbar::host
