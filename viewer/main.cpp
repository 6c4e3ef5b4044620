// video_player: shows one watched stream, with its screen audio, in a window of its own. The host
// starts it with the stream's port and settings and feeds it datagrams on 127.0.0.1.

#include <SDL.h>
#include <SDL_main.h>

#include <cstdio>
#include <exception>

#include "viewer/viewer_app.h"

// On Windows a console program's own main gets its arguments in the ANSI code page, which turns a
// streamer called "Zoë 李雷" into "Zoë ??". SDL's main-entry adapter (SDL2main, linked on Windows)
// owns the real entry point and hands this main the command line as UTF-8.
#if defined(_WIN32) && !defined(main)
#error "video_player needs SDL2main on Windows for UTF-8 arguments"
#endif

int main(int argc, char** argv) {
    // The host reads the lines through pipes as they come; a pipe is fully buffered otherwise
    // (on Windows, line buffering means full buffering).
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
    // Every failure the program foresees ends in its own line and exit code; this catches the rest
    // (no memory, no thread) so that none ends in an abort without a tagged line.
    try {
        return nimbar::viewer::run_viewer(argc, argv);
    } catch (const std::exception& error) {
        fprintf(stderr, "[VideoPlayer] Fatal error: %s\n", error.what());
    } catch (...) {
        fprintf(stderr, "[VideoPlayer] Fatal error\n");
    }
    return 1;
}
