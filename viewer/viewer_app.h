#pragma once

namespace nimbar::viewer {

// The whole viewer program: start-up, the main loop until the window is closed, the ordered
// shutdown. Returns the exit code: 0 after a normal shutdown, 1 after a start-up failure (with its
// line on stderr).
int run_viewer(int argc, char** argv);

}  // namespace nimbar::viewer
