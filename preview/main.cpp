// stream_preview: shows the newest complete raw frame that the host streams to its port.
// On Windows SDL's main-entry adapter runs this as a windowed program with UTF-8 arguments.

#include <SDL.h>

#include "preview/preview_app.h"

int main(int argc, char** argv) {
    return nimbar::preview::run_preview(argc, argv);
}
