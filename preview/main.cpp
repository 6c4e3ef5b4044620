// stream_preview: shows the newest complete raw frame that the host streams to its port.
// On Windows SDL's main-entry adapter runs this as a windowed program with UTF-8 arguments.

#include <SDL.h>
#include <SDL_main.h>

#include <cstdio>
#include <exception>

#include "preview/preview_app.h"

#if defined(_WIN32) && !defined(main)
#error "stream_preview needs SDL2main on Windows: it is a windowed program"
#endif

int main(int argc, char** argv) {
    // The host reads the lines through pipes as they come (when it passes the streams at all).
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
    // Every failure the program foresees ends in its own line and exit code; this catches the rest
    // (no memory, no thread) so that none ends in an abort without a tagged line.
    try {
        return nimbar::preview::run_preview(argc, argv);
    } catch (const std::exception& error) {
        fprintf(stderr, "[Preview] Fatal error: %s\n", error.what());
    } catch (...) {
        fprintf(stderr, "[Preview] Fatal error\n");
    }
    return 1;
}
