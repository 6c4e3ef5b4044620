#include "viewer/viewer_loop.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "net/datagram_drain.h"
#include "protocol/control_datagram.h"
#include "protocol/screen_audio_format.h"
#include "viewer/control_overlay.h"
#include "viewer/datagram_dispatch.h"
#include "viewer/display_scale.h"

namespace nimbar::viewer {

namespace {

// One datagram at a time; larger than any UDP datagram, so none is ever cut short.
constexpr size_t RECEIVE_BUFFER_SIZE = 65536;
// How long a pass waits for the first datagram when none is waiting.
constexpr int RECEIVE_WAIT_MS = 5;
// How long a pass may hold its update back for a frame that is being decoded, so that the update
// shows it rather than the picture before; a 1080p frame decodes in a few milliseconds. Input
// waits no longer than this, and a decoder that has fallen behind only slows the passes to it.
constexpr auto PICTURE_WAIT_LIMIT = std::chrono::milliseconds(8);
// Longest a pass spends reading datagrams already waiting: long enough to keep up with a stream
// where a read is slow (under wine about 100 us a datagram, so 50 Mbit/s takes half of every
// second), short enough that input and drawing stay live under a flood.
constexpr auto DRAIN_BUDGET = std::chrono::milliseconds(16);
// Datagrams read between two looks at the clock while draining.
constexpr int DRAIN_CLOCK_STRIDE = 16;
// A pass this long after the one before means the process was held up (a laptop that slept, a
// window dragged on Windows, a debugger): far longer than any pass takes, and long enough that
// what waits on the socket is worth less than the stream as it is now.
constexpr auto STALL = std::chrono::milliseconds(500);
// Longest spent dropping what waited through a stall: a whole socket buffer, even read as slowly as
// under wine, takes less; a flood must not hold the loop for longer.
constexpr auto STALE_DRAIN_BUDGET = std::chrono::milliseconds(250);
// The control bar hides after this long without mouse motion or a volume key.
constexpr int32_t OVERLAY_IDLE_MS = 2000;
// At start-up the bar stays this much longer than after activity (hidden 5 s after start).
constexpr uint32_t OVERLAY_START_GRACE_MS = 3000;
// Up and Down change the volume by this much.
constexpr float VOLUME_KEY_STEP = 0.05f;

constexpr const char* HOST_ADDRESS = "127.0.0.1";

}  // namespace

ViewerLoop::ViewerLoop(const ViewerOptions& options, client::VideoReceiver& receiver,
                       net::UDPSocket& socket, SDL_Window* window)
    : options(options),
      receiver(receiver),
      socket(socket),
      window(window),
      receive_buffer(RECEIVE_BUFFER_SIZE),
      stats_reporter(Clock::now()),
      awake_at(Clock::now()) {
    screen_muted = options.audio_muted;
    screen_volume = options.audio_volume;
    receiver.set_screen_volume(screen_muted ? 0.0f : screen_volume);
    ui_scale = window_ui_scale(window);
    receiver.set_overlay_callback([this](SDL_Renderer* renderer, int w, int h) {
        if (overlay_visible) {
            draw_control_overlay(renderer, w, h, ui_scale, screen_muted, screen_volume, fullscreen);
        }
        stats_panel.draw(renderer, std::max(1, static_cast<int>(std::lround(ui_scale))));
    });
    overlay_visible = true;
    last_activity_ticks = SDL_GetTicks() + OVERLAY_START_GRACE_MS;
}

ViewerLoop::~ViewerLoop() {
    receiver.set_overlay_callback({});
}

void ViewerLoop::run() {
    while (!quit) {
        run_pass();
    }
}

void ViewerLoop::run_pass() {
    if (const auto now = Clock::now(); held_up(now)) {
        recover_from_stall();
    }
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        handle_event(event);
    }
    receive_datagrams();
    // A stream that stops after an incomplete frame gets no fragment to sweep with.
    receiver.expire_incomplete_frames(Clock::now());
    request_keyframe_if_wanted();
    receiver.wait_for_picture(PICTURE_WAIT_LIMIT);
    receiver.update();
    hide_idle_overlay();
    take_figures();
    SDL_Delay(1);
}

void ViewerLoop::handle_event(const SDL_Event& event) {
    switch (event.type) {
        case SDL_QUIT:
            quit = true;
            break;
        case SDL_WINDOWEVENT:
            on_window_event(event.window.event);
            break;
        case SDL_RENDER_TARGETS_RESET:
            receiver.request_redraw();
            break;
        case SDL_RENDER_DEVICE_RESET:
            receiver.recover_render_device();
            break;
        case SDL_AUDIODEVICEREMOVED:
            if (event.adevice.iscapture == 0) {
                receiver.screen_audio_device_removed(event.adevice.which, Clock::now());
            }
            break;
        case SDL_MOUSEWHEEL:
            on_wheel(event.wheel);
            break;
        case SDL_MOUSEBUTTONDOWN:
            if (event.button.button == SDL_BUTTON_RIGHT) {
                if (view.zoom > MIN_ZOOM) {
                    pan_dragging = true;
                    last_drag = {event.button.x, event.button.y};
                }
            } else if (event.button.button == SDL_BUTTON_LEFT) {
                on_left_press(event.button);
            }
            break;
        case SDL_MOUSEBUTTONUP:
            if (event.button.button == SDL_BUTTON_RIGHT) {
                pan_dragging = false;
            } else if (event.button.button == SDL_BUTTON_LEFT) {
                slider_dragging = false;
            }
            break;
        case SDL_MOUSEMOTION:
            on_motion(event.motion);
            break;
        case SDL_KEYDOWN:
            on_key(event.key.keysym.sym);
            break;
        default:
            break;
    }
}

void ViewerLoop::on_window_event(uint8_t window_event) {
    switch (window_event) {
        case SDL_WINDOWEVENT_CLOSE:
            quit = true;
            break;
        // What the window showed is gone or no longer fits: draw it again.
        case SDL_WINDOWEVENT_EXPOSED:
        case SDL_WINDOWEVENT_SIZE_CHANGED:
        case SDL_WINDOWEVENT_SHOWN:
        case SDL_WINDOWEVENT_RESTORED:
        case SDL_WINDOWEVENT_MAXIMIZED:
            receiver.request_redraw();
            break;
        // Another display may have another dpi.
        case SDL_WINDOWEVENT_DISPLAY_CHANGED:
            update_ui_scale();
            break;
        default:
            break;
    }
}

void ViewerLoop::on_wheel(const SDL_MouseWheelEvent& wheel) {
    Point pointer;
    SDL_GetMouseState(&pointer.x, &pointer.y);
    // Over the bars beside a kept shape, the zoom goes to the picture's nearest edge.
    const SDL_Rect area = receiver.picture_area();
    const Point in_area{std::clamp(pointer.x - area.x, 0, std::max(area.w - 1, 0)),
                        std::clamp(pointer.y - area.y, 0, std::max(area.h - 1, 0))};
    if (zoom_at_pointer(view, wheel.y, in_area, {area.w, area.h}, picture_size())) {
        apply_source_rect();
    }
}

void ViewerLoop::on_motion(const SDL_MouseMotionEvent& motion) {
    show_overlay();
    if (pan_dragging && view.zoom > MIN_ZOOM) {
        const Point to{motion.x, motion.y};
        const SDL_Rect area = receiver.picture_area();
        if (pan_step(view, last_drag, to, {area.w, area.h}, picture_size())) {
            last_drag = to;
            apply_source_rect();
        }
    }
    if (options.has_audio && slider_dragging && window != nullptr) {
        change_volume(
            slider_value(bar_units(Point{motion.x, motion.y}).x, bar_units(window_size()).width));
    }
}

void ViewerLoop::on_left_press(const SDL_MouseButtonEvent& button) {
    if (!overlay_visible || window == nullptr) {
        return;
    }
    const Size size = bar_units(window_size());
    const Point at = bar_units(Point{button.x, button.y});
    switch (bar_zone(at, size)) {
        case BarZone::Above:
            if (button.clicks == 2) {
                toggle_fullscreen();
            }
            break;
        case BarZone::Fullscreen:
            toggle_fullscreen();
            break;
        case BarZone::Mute:
            if (options.has_audio) {
                toggle_mute();
            }
            break;
        case BarZone::Slider:
            if (options.has_audio) {
                change_volume(slider_value(at.x, size.width));
                slider_dragging = true;
            }
            break;
        case BarZone::Nothing:
            break;
    }
}

void ViewerLoop::on_key(SDL_Keycode key) {
    switch (key) {
        case SDLK_f:
        case SDLK_F11:
            toggle_fullscreen();
            break;
        case SDLK_ESCAPE:
            if (fullscreen) {
                toggle_fullscreen();
            }
            break;
        case SDLK_r:
            view = ViewState{};
            apply_source_rect();
            break;
        case SDLK_a:
            receiver.set_keep_shape(!receiver.keeps_shape());
            update_panel();
            break;
        case SDLK_i:
            stats_panel.toggle();
            update_panel();
            receiver.request_redraw();
            break;
        case SDLK_m:
            if (options.has_audio) {
                toggle_mute();
                show_overlay();
            }
            break;
        case SDLK_UP:
            if (options.has_audio) {
                change_volume(std::min(screen_volume + VOLUME_KEY_STEP, 1.0f));
                show_overlay();
            }
            break;
        case SDLK_DOWN:
            if (options.has_audio) {
                change_volume(std::max(screen_volume - VOLUME_KEY_STEP, 0.0f));
                show_overlay();
            }
            break;
        default:
            break;
    }
}

void ViewerLoop::receive_datagrams() {
    // Everything already waiting, not one datagram per pass: a keyframe arrives as a burst that
    // outgrows the socket's buffer if it is read one datagram at a time.
    // The process may stand still anywhere, in the wait for a datagram or between two reads too.
    net::drain_datagrams(
        socket, receive_buffer, {RECEIVE_WAIT_MS, DRAIN_BUDGET, DRAIN_CLOCK_STRIDE},
        [&](const uint8_t* datagram, int length, Clock::time_point now, protocol::Sender from) {
            if (held_up(now)) {
                recover_from_stall();
            } else {
                hand_on(datagram, length, from, now);
            }
        });
}

void ViewerLoop::hand_on(const uint8_t* datagram, int length, protocol::Sender from,
                         client::VideoReceiver::Clock::time_point now) {
    ++counters.datagrams;
    counters.bytes += static_cast<uint64_t>(length);
    dispatch_datagram(receiver, datagram, length, from, now);
}

void ViewerLoop::request_keyframe_if_wanted() {
    const auto now = Clock::now();
    if (options.parent_port == 0 || !keyframe_pacing.may_send(now) ||
        !receiver.take_keyframe_request()) {
        return;
    }
    const auto request = protocol::make_keyframe_request();
    socket.send_to(request.data(), request.size(), HOST_ADDRESS, options.parent_port);
    keyframe_pacing.sent(now);
    ++counters.keyframe_requests_sent;
    printf("[VideoPlayer] Sent keyframe request to parent (port %u)\n",
           static_cast<unsigned>(options.parent_port));
    fflush(stdout);
}

void ViewerLoop::hide_idle_overlay() {
    if (overlay_visible && !slider_dragging &&
        static_cast<int32_t>(SDL_GetTicks() - last_activity_ticks) > OVERLAY_IDLE_MS) {
        overlay_visible = false;
        receiver.request_redraw();
    }
}

void ViewerLoop::take_figures() {
    const auto now = Clock::now();
    if (!stats_reporter.due(now)) {
        return;
    }
    const double audio_queue_ms =
        receiver.audio_queue_bytes() / double{protocol::SCREEN_AUDIO_BYTES_PER_MS};
    figures =
        stats_reporter.take(now, {receiver.statistics(), receiver.take_timings(),
                                  receiver.screen_audio_statistics(), counters, audio_queue_ms});
    if (options.stats) {
        fputs(format_stats_line(figures).c_str(), stdout);
        fflush(stdout);
    }
    update_panel();
}

void ViewerLoop::update_panel() {
    const PictureInfo picture{receiver.stream_width(), receiver.stream_height(),
                              options.video_codec == 1 ? "H.264" : "VP8", options.has_audio,
                              receiver.keeps_shape()};
    if (stats_panel.set_lines(stats_panel_lines(figures, picture)) && stats_panel.visible()) {
        receiver.request_redraw();
    }
}

bool ViewerLoop::held_up(Clock::time_point now) {
    const auto since = now - awake_at;
    awake_at = now;
    if (since <= STALL) {
        return false;
    }
    stall = since;
    return true;
}

void ViewerLoop::recover_from_stall() {
    // Everything that waited is dropped, within a bound: the stream goes on from what comes now.
    // The frames skipped so make the receiver wait for a keyframe, and ask the host for one.
    // (Called from inside the drain too: the datagram it was handed counts among the dropped, and
    // the buffer is free again by the time this reads into it.)
    const int dropped =
        net::drain_datagrams(socket, receive_buffer, {0, STALE_DRAIN_BUDGET, DRAIN_CLOCK_STRIDE},
                             [](const uint8_t*, int, Clock::time_point, protocol::Sender) {});
    receiver.resume_after_stall();
    awake_at = Clock::now();
    printf("[VideoPlayer] Resuming after a stall of %.1f s; %d late datagrams dropped\n",
           std::chrono::duration<double>(stall).count(), dropped);
    fflush(stdout);
}

void ViewerLoop::update_ui_scale() {
    const float scale = window_ui_scale(window);
    if (scale != ui_scale) {
        ui_scale = scale;
        receiver.request_redraw();
    }
}

void ViewerLoop::apply_source_rect() {
    const SourceRect rect = source_rect_for(view, picture_size());
    receiver.set_source_rect(rect.enabled, rect.x, rect.y, rect.w, rect.h);
}

void ViewerLoop::toggle_fullscreen() {
    if (window == nullptr) {
        return;
    }
    if (!fullscreen) {
        SDL_GetWindowPosition(window, &saved_window.x, &saved_window.y);
        SDL_GetWindowSize(window, &saved_window.w, &saved_window.h);
        SDL_SetWindowFullscreen(window, SDL_WINDOW_FULLSCREEN_DESKTOP);
        fullscreen = true;
    } else {
        SDL_SetWindowFullscreen(window, 0);
        SDL_SetWindowSize(window, saved_window.w, saved_window.h);
        SDL_SetWindowPosition(window, saved_window.x, saved_window.y);
        fullscreen = false;
    }
    receiver.request_redraw();  // the bar's button shows the state
}

void ViewerLoop::change_volume(float volume) {
    if (volume == screen_volume) {
        return;  // a key at the limit, or a drag within one value: nothing to draw or report
    }
    receiver.request_redraw();
    screen_volume = volume;
    if (!screen_muted) {
        receiver.set_screen_volume(screen_volume);
    }
    send_audio_state();
}

void ViewerLoop::toggle_mute() {
    screen_muted = !screen_muted;
    receiver.request_redraw();
    receiver.set_screen_volume(screen_muted ? 0.0f : screen_volume);
    send_audio_state();
}

void ViewerLoop::send_audio_state() {
    if (options.parent_port == 0) {
        return;
    }
    const auto state = protocol::make_audio_state({screen_muted, screen_volume});
    socket.send_to(state.data(), state.size(), HOST_ADDRESS, options.parent_port);
}

void ViewerLoop::show_overlay() {
    if (!overlay_visible) {
        overlay_visible = true;
        receiver.request_redraw();
    }
    last_activity_ticks = SDL_GetTicks();
}

Size ViewerLoop::window_size() const {
    Size size;
    if (window != nullptr) {
        SDL_GetWindowSize(window, &size.width, &size.height);
    }
    return size;
}

Size ViewerLoop::picture_size() const {
    return {receiver.get_width(), receiver.get_height()};
}

Point ViewerLoop::bar_units(Point point) const {
    return {static_cast<int>(static_cast<float>(point.x) / ui_scale),
            static_cast<int>(static_cast<float>(point.y) / ui_scale)};
}

Size ViewerLoop::bar_units(Size size) const {
    const Point corner = bar_units(Point{size.width, size.height});
    return {corner.x, corner.y};
}

}  // namespace nimbar::viewer
