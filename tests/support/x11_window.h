#pragma once

// Looks at a program's window on the X display the tests run on (Xvfb): find it by title, read
// its pixels, resize it, and ask it to close as a window manager's close button would.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct _XDisplay;

namespace nimbar::testing {

struct Pixel {
    uint8_t r = 0;
    uint8_t g = 0;
    uint8_t b = 0;
    bool operator==(const Pixel&) const = default;
};

struct Screenshot {
    int width = 0;
    int height = 0;
    std::vector<Pixel> pixels;  // rows top to bottom
    Pixel at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

class X11Session {
  public:
    X11Session();  // opens $DISPLAY
    ~X11Session();
    X11Session(const X11Session&) = delete;
    X11Session& operator=(const X11Session&) = delete;

    bool connected() const { return display != nullptr; }

    // The id of a mapped top-level window titled `title`, once one appears within `timeout`.
    std::optional<unsigned long> find_window(const std::string& title,
                                             std::chrono::milliseconds timeout);
    std::optional<Screenshot> capture(unsigned long window);
    void resize(unsigned long window, int width, int height);
    // Sends WM_DELETE_WINDOW, the request a window manager sends when the user closes a window.
    void request_close(unsigned long window);
    // Focuses the window and presses Alt+F4, as a Windows user closes it (wine turns it into
    // WM_CLOSE; on X it takes a window manager).
    void press_alt_f4(unsigned long window);

  private:
    ::_XDisplay* display = nullptr;
};

// Runs xdotool with these arguments and waits for it: input as a person gives it.
void xdotool(std::vector<std::string> arguments);

}  // namespace nimbar::testing
