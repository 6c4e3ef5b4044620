#pragma once

// The stats panel over the picture's top-left corner: what "--stats" reports, for someone looking
// at the window. Off until asked for; its text changes at most once a second, and the window is
// drawn again only when it does.

#include <SDL.h>

#include <string>
#include <vector>

#include "viewer/viewer_stats.h"

namespace nimbar::viewer {

// What the panel says about the picture itself.
struct PictureInfo {
    int width = 0;
    int height = 0;
    const char* codec = "";
    bool has_audio = false;
    bool keep_shape = false;  // drawn with the stream's shape kept, not stretched
};

// The panel's lines for one interval's figures: picture size, codec and whether it is stretched
// or keeps its shape; pictures presented and
// frames completed a second; decode and latency p50/p99; Mbit/s, lost frames and keyframe
// requests; the screen audio's depth, correction and underruns (or that there is none).
std::vector<std::string> stats_panel_lines(const StatsSecond& figures, const PictureInfo& picture);

class StatsPanel {
  public:
    bool visible() const { return shown; }
    void toggle() { shown = !shown; }

    // Replaces the text; true when it changed.
    bool set_lines(std::vector<std::string> lines);

    // Draws the panel at the top-left corner, each font pixel `pixel` x `pixel` window pixels,
    // when visible. Leaves the blend mode and draw colour as its last step set them.
    void draw(SDL_Renderer* renderer, int pixel) const;

  private:
    bool shown = false;
    std::vector<std::string> text;
};

}  // namespace nimbar::viewer
