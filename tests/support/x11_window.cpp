#include "tests/support/x11_window.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstring>
#include <thread>

#include "tests/support/child_process.h"

namespace nimbar::testing {

namespace {

// The title as UTF-8: the EWMH name that SDL and wine set, else the old Latin-1 WM_NAME.
std::string window_title(Display* display, Window window) {
    const Atom utf8_name = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8_string = XInternAtom(display, "UTF8_STRING", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* value = nullptr;
    std::string title;
    if (XGetWindowProperty(display, window, utf8_name, 0, 1024, False, utf8_string, &type, &format,
                           &count, &remaining, &value) == Success &&
        value != nullptr) {
        if (type == utf8_string && format == 8) {
            title.assign(reinterpret_cast<char*>(value), count);
        }
        XFree(value);
        if (!title.empty()) {
            return title;
        }
    }
    char* name = nullptr;
    if (XFetchName(display, window, &name) && name != nullptr) {
        title = name;
        XFree(name);
    }
    return title;
}

bool is_viewable(Display* display, Window window) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable;
}

std::optional<Window> search(Display* display, Window parent, const std::string& title) {
    Window root_return;
    Window parent_return;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, parent, &root_return, &parent_return, &children, &count)) {
        return std::nullopt;
    }
    std::optional<Window> found;
    for (unsigned int i = 0; i < count && !found; ++i) {
        if (window_title(display, children[i]) == title && is_viewable(display, children[i])) {
            found = children[i];
        } else {
            found = search(display, children[i], title);
        }
    }
    if (children != nullptr) {
        XFree(children);
    }
    return found;
}

// The value of one colour channel of a pixel, scaled to 8 bits, from its mask.
uint8_t channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0) {
        return 0;
    }
    int shift = 0;
    while (((mask >> shift) & 1) == 0) {
        ++shift;
    }
    const unsigned long max = mask >> shift;
    return static_cast<uint8_t>(((pixel & mask) >> shift) * 255 / max);
}

}  // namespace

X11Session::X11Session() {
    // Windows come and go while the tree is walked or a window is read (another program's, or the
    // one under test as it closes): Xlib's default handler would end the process at the first
    // BadWindow. Each call's own result says it failed instead.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    // A busy server may turn a connection away for a moment.
    for (int attempt = 0; attempt < 20 && display == nullptr; ++attempt) {
        display = XOpenDisplay(nullptr);
        if (display == nullptr) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
}

X11Session::~X11Session() {
    if (display != nullptr) {
        XCloseDisplay(display);
    }
}

std::optional<unsigned long> X11Session::find_window(const std::string& title,
                                                     std::chrono::milliseconds timeout) {
    if (display == nullptr) {
        return std::nullopt;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        if (auto window = search(display, DefaultRootWindow(display), title)) {
            return *window;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

std::optional<Screenshot> X11Session::capture(unsigned long window) {
    XWindowAttributes attributes;
    if (display == nullptr || !XGetWindowAttributes(display, window, &attributes)) {
        return std::nullopt;
    }
    XImage* image = XGetImage(display, window, 0, 0, static_cast<unsigned>(attributes.width),
                              static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
    if (image == nullptr) {
        return std::nullopt;
    }
    Screenshot shot;
    shot.width = attributes.width;
    shot.height = attributes.height;
    shot.pixels.reserve(static_cast<size_t>(shot.width) * shot.height);
    for (int y = 0; y < shot.height; ++y) {
        for (int x = 0; x < shot.width; ++x) {
            const unsigned long value = XGetPixel(image, x, y);
            shot.pixels.push_back({channel(value, image->red_mask),
                                   channel(value, image->green_mask),
                                   channel(value, image->blue_mask)});
        }
    }
    XDestroyImage(image);
    return shot;
}

void X11Session::resize(unsigned long window, int width, int height) {
    if (display == nullptr) {
        return;
    }
    XResizeWindow(display, window, static_cast<unsigned>(width), static_cast<unsigned>(height));
    XSync(display, False);
}

void X11Session::request_close(unsigned long window) {
    if (display == nullptr) {
        return;
    }
    XEvent event;
    std::memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
}

void X11Session::press_alt_f4(unsigned long window) {
    const std::string id = std::to_string(window);
    xdotool({"windowfocus", "--sync", id});
    xdotool({"key", "--clearmodifiers", "alt+F4"});
}

void xdotool(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "/usr/bin/xdotool");
    ChildProcess tool(arguments);
    tool.wait_exit(std::chrono::seconds(10));
}

}  // namespace nimbar::testing
