// video_player: shows one watched stream, with its screen audio, in a window of its own. The host
// starts it with the stream's port and settings and feeds it datagrams on 127.0.0.1.

#include <SDL.h>

#include "viewer/viewer_app.h"

int main(int argc, char** argv) {
    return nimbar::viewer::run_viewer(argc, argv);
}
