#include "viewer/stats_panel.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "viewer/bitmap_font.h"

namespace nimbar::viewer {

namespace {

// Dark and translucent like the control bar, so the picture stays visible behind the text.
constexpr SDL_Color BACKGROUND{0, 0, 0, 180};
constexpr SDL_Color TEXT{235, 235, 235, 255};
// In font pixels: the panel's distance from the window's corner, the room around the text, and
// the gap between lines.
constexpr int MARGIN = 6;
constexpr int PADDING = 4;
constexpr int LINE_GAP = 2;

template <typename... Values>
std::string format(const char* pattern, Values... values) {
    char line[128];
    std::snprintf(line, sizeof line, pattern, values...);
    return line;
}

}  // namespace

std::vector<std::string> stats_panel_lines(const StatsSecond& f, const PictureInfo& picture) {
    std::vector<std::string> lines = {
        format("%dx%d %s, %s", picture.width, picture.height, picture.codec,
               picture.keep_shape ? "shape kept" : "stretched"),
        format("%.1f fps shown, %.1f completed", f.fps, f.completed_per_second),
        format("decode  %.1f / %.1f ms (p50 / p99)", f.decode_p50_ms, f.decode_p99_ms),
        format("latency %.1f / %.1f ms", f.latency_p50_ms, f.latency_p99_ms),
        format("%.2f Mbit/s, lost %" PRIu64 ", keyframe requests %" PRIu64, f.mbps, f.lost,
               f.keyframe_requests),
    };
    if (picture.has_audio) {
        lines.push_back(format("audio %.0f ms, %+.0f ppm, underruns %" PRIu64, f.audio_depth_ms,
                               f.audio_correction_ppm, f.audio_underruns));
    } else {
        lines.push_back("no audio");
    }
    return lines;
}

bool StatsPanel::set_lines(std::vector<std::string> lines) {
    if (lines == text) {
        return false;
    }
    text = std::move(lines);
    return true;
}

void StatsPanel::draw(SDL_Renderer* renderer, int pixel) const {
    if (!shown || text.empty()) {
        return;
    }
    size_t columns = 0;
    for (const std::string& line : text) {
        columns = std::max(columns, line.size());
    }
    const int line_height = GLYPH_HEIGHT + LINE_GAP;
    const int left = MARGIN * pixel;
    const int top = MARGIN * pixel;
    const SDL_Rect background{
        left, top, (static_cast<int>(columns) * GLYPH_WIDTH + 2 * PADDING) * pixel,
        (static_cast<int>(text.size()) * line_height - LINE_GAP + 2 * PADDING) * pixel};
    SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_BLEND);
    SDL_SetRenderDrawColor(renderer, BACKGROUND.r, BACKGROUND.g, BACKGROUND.b, BACKGROUND.a);
    SDL_RenderFillRect(renderer, &background);

    std::vector<SDL_Rect> runs;
    for (size_t row = 0; row < text.size(); ++row) {
        const int x0 = left + PADDING * pixel;
        const int y0 = top + (PADDING + static_cast<int>(row) * line_height) * pixel;
        for_each_text_run(text[row], [&](int x, int y, int w) {
            runs.push_back({x0 + x * pixel, y0 + y * pixel, w * pixel, pixel});
        });
    }
    SDL_SetRenderDrawColor(renderer, TEXT.r, TEXT.g, TEXT.b, TEXT.a);
    SDL_RenderFillRects(renderer, runs.data(), static_cast<int>(runs.size()));
}

}  // namespace nimbar::viewer
