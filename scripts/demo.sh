#!/usr/bin/env bash
# Shows the whole system at work: stream_host streams its moving test pattern as VP8 with a stereo
# tone into video_player, and as raw frames into stream_preview beside it. Without a display it
# runs under Xvfb with a window manager, places the two windows side by side, zooms the viewer in
# with the mouse wheel over the middle of its green bar, and saves screenshots, demo-viewer.png
# (zoomed in, with the control bar the mouse brought up) and demo-preview.png; with a display the
# windows stay up until you close them.
#
# Every wait is bounded and says what it waits for once it has taken a while: a window manager that
# starts slowly (a cold machine) only makes the demo slower. A step that fails prints what each
# program wrote, then the reason, and the demo exits with 1.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# The longest any one step may take: a cold machine's window manager, or a first start of the
# programs, takes seconds; a minute means something is wrong.
readonly WAIT_LIMIT_S=60
# After this long a wait says what it is waiting for.
readonly WAIT_NOTICE_S=3
readonly WAIT_POLL_S=0.05
# A window manager asked to show a window shows it within this, once it runs.
readonly PROBE_RETRY_S=2
# How long the hosts stream without a display, and with one.
readonly HEADLESS_SECONDS=8 DISPLAY_SECONDS=60

bash scripts/setup.sh
bash scripts/build.sh >/dev/null

source scripts/lib/display.sh
headless=0
[ -n "${DISPLAY:-}" ] || headless=1
# A window manager places and stacks the windows as on a desktop.
start_virtual_display --window-manager

viewer_port=${DEMO_VIEWER_PORT:-47810}
host_port=${DEMO_HOST_PORT:-47811}
preview_port=${DEMO_PREVIEW_PORT:-47812}
seconds=$HEADLESS_SECONDS
[ "$headless" -eq 1 ] || seconds=$DISPLAY_SECONDS
if [ "$headless" -eq 1 ]; then
    # No sound card here: what the viewer plays goes to a file.
    export SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/tmp/demo-viewer-audio.raw
fi

logs=$(mktemp -d)
names=()  # the programs started, in order; each writes $logs/<name>.out and .err
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done  # before their display goes
    stop_virtual_display
    rm -rf "$logs"
}
trap cleanup EXIT

fail() { # fail <reason>: what each program wrote, then the reason; exits 1
    local name
    for name in "${names[@]}"; do
        echo "---- $name wrote:" >&2
        cat "$logs/$name.out" "$logs/$name.err" >&2 2>/dev/null || true
    done
    echo "demo: $*" >&2
    exit 1
}

# wait_until <what> <command...>: runs the command until it succeeds; says what it waits for after
# WAIT_NOTICE_S, fails after WAIT_LIMIT_S or as soon as a program started has ended.
wait_until() {
    local what=$1 started=$SECONDS noticed=0 i
    shift
    until "$@" >/dev/null 2>&1; do
        for i in "${!pids[@]}"; do
            kill -0 "${pids[$i]}" 2>/dev/null || fail "${names[$i]} ended while waiting for $what"
        done
        if [ $((SECONDS - started)) -ge $WAIT_LIMIT_S ]; then
            fail "$what did not happen within $WAIT_LIMIT_S s"
        fi
        if [ $noticed -eq 0 ] && [ $((SECONDS - started)) -ge $WAIT_NOTICE_S ]; then
            echo "demo: waiting for $what (up to $WAIT_LIMIT_S s)"
            noticed=1
        fi
        sleep $WAIT_POLL_S
    done
}

start() { # start <name> <command...>: in the background, its output shown and kept
    local name=$1
    shift
    "$@" > >(tee "$logs/$name.out") 2> >(tee "$logs/$name.err" >&2) &
    pids+=("$!")
    names+=("$name")
}

# The window manager has taken the screen, and answers: a window asked to be shown is shown. Until
# it answers, SDL would wait inside its window creation, and every step after it with it. A request
# made while the window manager is still starting may go unanswered for good, so each probe window
# gets PROBE_RETRY_S before a new one is tried.
probe="" probe_since=0
window_manager_answers() {
    [[ "$(xprop -root _NET_SUPPORTING_WM_CHECK)" == *"window id"* ]] || return 1
    if [ -z "$probe" ] || [ $((SECONDS - probe_since)) -ge $PROBE_RETRY_S ]; then
        [ -z "$probe" ] || kill "$probe" 2>/dev/null || true
        xmessage -name nimbar-demo-probe -title nimbar-demo-probe probe 2>/dev/null &
        probe=$! probe_since=$SECONDS
    fi
    xdotool search --onlyvisible --name '^nimbar-demo-probe$'
}
window_of() { # window_of <title>: the visible window with that title
    xdotool search --onlyvisible --name "^$1\$" | head -n 1 | grep .
}
in_log() { grep -q "$2" "$logs/$1.out"; }
xdo() { timeout $WAIT_LIMIT_S xdotool "$@" || fail "xdotool $1 did not finish"; }

if [ "$headless" -eq 1 ]; then
    wait_until "the window manager to answer" window_manager_answers
    kill "$probe" 2>/dev/null || true
fi

start viewer build/bin/video_player --port "$viewer_port" --parent-port "$host_port" \
    --width 1280 --height 720 --username Demo --has-audio --audio-volume 0.6
start preview build/bin/stream_preview --port "$preview_port" --width 1280 --height 720 \
    --title "Stream Preview Demo"
wait_until "video_player to listen" in_log viewer "Listening on UDP port"
wait_until "stream_preview to listen" in_log preview "Ready to receive frames"

start viewer-host build/bin/stream_host --port "$viewer_port" --codec vp8 --audio tone \
    --listen-port "$host_port" --width 1280 --height 720 --fps 30 --seconds "$seconds"
start preview-host build/bin/stream_host --port "$preview_port" --width 1280 --height 720 \
    --fps 30 --seconds "$seconds"

if [ "$headless" -eq 1 ]; then
    wait_until "the viewer's window" window_of "Stream: Demo"
    wait_until "the preview's window" window_of "Stream Preview Demo"
    sleep 2  # the first pictures
    viewer_window=$(window_of "Stream: Demo")
    preview_window=$(window_of "Stream Preview Demo")
    # Side by side: the viewer (960 x 540 on this 1920 x 1080 screen) at the left, the preview
    # (640 x 360) right of it; neither covers the other.
    xdo windowmove --sync "$viewer_window" 0 0
    xdo windowmove --sync "$preview_window" 980 0
    xdo windowactivate --sync "$viewer_window"
    # Two wheel steps over the middle of the green bar: the picture's centre column, a third of
    # the way down. The point stays where it is while the picture grows around it.
    eval "$(xdotool getwindowgeometry --shell "$viewer_window")"
    xdo mousemove --window "$viewer_window" $((WIDTH / 2)) $((HEIGHT / 3))
    xdo click 4 click 4
    sleep 1
    timeout $WAIT_LIMIT_S import -window "$viewer_window" "$root/demo-viewer.png" ||
        fail "no screenshot of the viewer"
    timeout $WAIT_LIMIT_S import -window "$preview_window" "$root/demo-preview.png" ||
        fail "no screenshot of the preview"
    for i in 2 3; do
        wait "${pids[$i]}" || fail "${names[$i]} failed"
    done
    kill -TERM "${pids[0]}" "${pids[1]}"
    wait "${pids[0]}" "${pids[1]}" || true
    echo "demo: screenshot of the viewer (zoomed in): $root/demo-viewer.png"
    echo "demo: screenshot of the preview: $root/demo-preview.png"
else
    echo "demo: streaming for $seconds s; close the two windows to finish"
    wait "${pids[0]}" "${pids[1]}" || true
fi
