#pragma once

// FFmpeg writes its own lines to stderr ("[vp8 @ 0x…] Discarding interframe…"), untagged, and from
// any of its threads. The host reads the viewer's output line by line, so those lines go through
// here instead: warnings and errors come out whole, one line per event, with the receiver's tag
// and the name of the part that spoke ("[VideoReceiver] vp8: …"); the rest is dropped, and so is
// anything past LIBRARY_LINES_PER_SECOND, so that a broken stream cannot flood the host's log.

namespace nimbar::client {

// Installs the routing for the whole process; later calls do nothing.
void route_ffmpeg_log();

}  // namespace nimbar::client
