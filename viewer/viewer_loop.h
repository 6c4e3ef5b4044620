#pragma once

// The viewer's main loop: window events (zoom, pan, fullscreen, volume, mute, the control bar, the
// stats panel), the datagrams waiting on the socket, keyframe requests to the host, and one
// receiver update per pass, until the window is closed. A pass that comes long after the one
// before finds the stream stale and goes on from what comes next.

#include <SDL.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "net/udp_socket.h"
#include "receiver/video_receiver.h"
#include "viewer/keyframe_pacing.h"
#include "viewer/stats_panel.h"
#include "viewer/view_state.h"
#include "viewer/viewer_options.h"
#include "viewer/viewer_stats.h"

namespace nimbar::viewer {

class ViewerLoop {
  public:
    // Takes the start-up audio state from the options (the receiver's volume is set, nothing is
    // sent to the host), hands the control bar's drawing to the receiver and shows the bar.
    // `window` is the receiver's window (may be null); all references outlive the loop.
    ViewerLoop(const ViewerOptions& options, client::VideoReceiver& receiver,
               net::UDPSocket& socket, SDL_Window* window);
    // Takes the control bar's drawing back from the receiver, which outlives the loop.
    ~ViewerLoop();
    ViewerLoop(const ViewerLoop&) = delete;
    ViewerLoop& operator=(const ViewerLoop&) = delete;

    // Runs passes until the window is closed or SDL reports a quit.
    void run();

  private:
    using Clock = std::chrono::steady_clock;

    void run_pass();
    void handle_event(const SDL_Event& event);
    void on_window_event(uint8_t window_event);
    void on_wheel(const SDL_MouseWheelEvent& wheel);
    void on_motion(const SDL_MouseMotionEvent& motion);
    void on_left_press(const SDL_MouseButtonEvent& button);
    void on_key(SDL_Keycode key);
    void receive_datagrams();
    void hand_on(const uint8_t* datagram, int length, protocol::Sender from,
                 client::VideoReceiver::Clock::time_point now);
    void request_keyframe_if_wanted();
    void hide_idle_overlay();
    // Once a second: the figures, for the stats line and the panel.
    void take_figures();
    void update_panel();
    // True when `now` comes more than STALL after the last sign of life (now is one): the process
    // was held up (a laptop that slept, a window dragged on Windows, a debugger).
    bool held_up(Clock::time_point now);
    // After being held up: what waits on the socket is as old as the stall.
    void recover_from_stall();
    void update_ui_scale();

    void apply_source_rect();
    void toggle_fullscreen();
    void change_volume(float volume);
    void toggle_mute();
    void send_audio_state();
    void show_overlay();
    Size window_size() const;
    Size picture_size() const;
    // A window point or size in the control bar's units.
    Point bar_units(Point point) const;
    Size bar_units(Size size) const;

    const ViewerOptions& options;
    client::VideoReceiver& receiver;
    net::UDPSocket& socket;
    SDL_Window* window;
    std::vector<uint8_t> receive_buffer;  // one datagram at a time, handed on in place

    bool quit = false;
    // Drawn over the video by the receiver's update (main thread): the bar reads these four, and
    // a change to any of them asks the receiver to draw again.
    bool overlay_visible = true;
    float screen_volume = 1.0f;
    bool screen_muted = false;
    bool fullscreen = false;
    float ui_scale = 1.0f;  // the display's: the bar and the panel are drawn that much larger
    StatsPanel stats_panel;
    uint32_t last_activity_ticks = 0;
    ViewState view;
    bool pan_dragging = false;
    Point last_drag;
    bool slider_dragging = false;
    SDL_Rect saved_window{0, 0, 0, 0};
    KeyframeRequestPacing keyframe_pacing;
    LoopCounters counters;
    ViewerStatsReporter stats_reporter;
    StatsSecond figures;         // the last second's
    Clock::time_point awake_at;  // the loop's last sign of life
    Clock::duration stall{};     // how long it was held up last
};

}  // namespace nimbar::viewer
