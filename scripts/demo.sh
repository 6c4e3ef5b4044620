#!/usr/bin/env bash
# Shows the whole system at work: stream_host streams its moving test pattern as VP8 with a stereo
# tone into video_player, and as raw frames into stream_preview beside it. Without a display it
# runs under Xvfb with a window manager, places the two windows side by side, zooms the viewer in
# with the mouse wheel over the middle of its green bar, and saves screenshots, demo-viewer.png
# (zoomed in, with the control bar the mouse brought up) and demo-preview.png; with a display the
# windows stay up until you close them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

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
seconds=8
[ "$headless" -eq 1 ] || seconds=60
if [ "$headless" -eq 1 ]; then
    # No sound card here: what the viewer plays goes to a file.
    export SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/tmp/demo-viewer-audio.raw
fi

logs=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    stop_virtual_display
    rm -rf "$logs"
}
trap cleanup EXIT

wait_for_line() { # wait_for_line <file> <text>
    for _ in $(seq 1 100); do
        grep -q "$2" "$1" && return 0
        sleep 0.1
    done
    echo "demo: '$2' did not appear" >&2
    return 1
}

build/bin/video_player --port "$viewer_port" --parent-port "$host_port" --width 1280 --height 720 \
    --username Demo --has-audio --audio-volume 0.6 > >(tee "$logs/viewer") &
viewer=$!
pids+=("$viewer")
build/bin/stream_preview --port "$preview_port" --width 1280 --height 720 \
    --title "Stream Preview Demo" > >(tee "$logs/preview") &
preview=$!
pids+=("$preview")
wait_for_line "$logs/viewer" "Listening on UDP port"
wait_for_line "$logs/preview" "Ready to receive frames"

build/bin/stream_host --port "$viewer_port" --codec vp8 --audio tone --listen-port "$host_port" \
    --width 1280 --height 720 --fps 30 --seconds "$seconds" &
pids+=("$!")
build/bin/stream_host --port "$preview_port" --width 1280 --height 720 --fps 30 \
    --seconds "$seconds" &
pids+=("$!")

if [ "$headless" -eq 1 ]; then
    sleep 3
    viewer_window=$(xdotool search --onlyvisible --name "^Stream: Demo\$" | head -n 1)
    preview_window=$(xdotool search --onlyvisible --name "^Stream Preview Demo\$" | head -n 1)
    # Side by side: the viewer (960 x 540 on this 1920 x 1080 screen) at the left, the preview
    # (640 x 360) right of it; neither covers the other.
    xdotool windowmove --sync "$viewer_window" 0 0
    xdotool windowmove --sync "$preview_window" 980 0
    xdotool windowactivate --sync "$viewer_window"
    # Two wheel steps over the middle of the green bar: the picture's centre column, a third of
    # the way down. The point stays where it is while the picture grows around it.
    eval "$(xdotool getwindowgeometry --shell "$viewer_window")"
    xdotool mousemove --window "$viewer_window" $((WIDTH / 2)) $((HEIGHT / 3))
    xdotool click 4 click 4
    sleep 1
    import -window "$viewer_window" "$root/demo-viewer.png"
    import -window "$preview_window" "$root/demo-preview.png"
    wait "${pids[@]:2}"
    kill -TERM "$viewer" "$preview"
    wait "$viewer" "$preview" || true
    echo "demo: screenshot of the viewer (zoomed in): $root/demo-viewer.png"
    echo "demo: screenshot of the preview: $root/demo-preview.png"
else
    echo "demo: streaming for $seconds s; close the two windows to finish"
    wait "$viewer" "$preview" || true
fi
