#pragma once

namespace nimbar::preview {

// The whole preview program: parse, open the window and the socket, show the newest complete frame
// until the window is closed. Returns the exit code: 0 after a normal shutdown, 1 when start-up
// failed (after its line on stderr).
int run_preview(int argc, char** argv);

}  // namespace nimbar::preview
