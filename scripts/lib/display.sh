# Sourced by the scripts: gives the caller an X display. Without one, start_virtual_display starts
# Xvfb on a free display number (and a light window manager when asked); the caller calls
# stop_virtual_display when it ends (usually from its EXIT trap).

VIRTUAL_DISPLAY_PIDS=""

start_virtual_display() {
    local with_wm=${1:-}
    if [ -n "${DISPLAY:-}" ]; then
        return 0
    fi
    local n
    for n in $(seq 90 140); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || break
    done
    Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
    VIRTUAL_DISPLAY_PIDS=$!
    export DISPLAY=":$n"
    local i
    for i in $(seq 1 100); do
        [ -e "/tmp/.X11-unix/X$n" ] && break
        sleep 0.05
    done
    if [ "$with_wm" = "--window-manager" ] && command -v openbox >/dev/null; then
        openbox >/dev/null 2>&1 &
        VIRTUAL_DISPLAY_PIDS="$VIRTUAL_DISPLAY_PIDS $!"
    fi
}

stop_virtual_display() {
    if [ -n "$VIRTUAL_DISPLAY_PIDS" ]; then
        kill $VIRTUAL_DISPLAY_PIDS 2>/dev/null || true
        VIRTUAL_DISPLAY_PIDS=""
    fi
}
