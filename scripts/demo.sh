#!/usr/bin/env bash
# Shows the preview at work: stream_host streams its moving test pattern into stream_preview for a
# few seconds. Without a display it runs under Xvfb and saves a screenshot, demo-preview.png; with
# one, the window stays up until you close it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
bash scripts/build.sh >/dev/null

source scripts/lib/display.sh
headless=0
[ -n "${DISPLAY:-}" ] || headless=1
start_virtual_display

port=${DEMO_PORT:-47800}
title="Stream Preview Demo"
log=$(mktemp)
preview=""
cleanup() {
    [ -z "$preview" ] || kill "$preview" 2>/dev/null || true
    stop_virtual_display
    rm -f "$log"
}
trap cleanup EXIT

build/bin/stream_preview --port "$port" --width 1280 --height 720 --title "$title" --stats \
    > >(tee "$log") &
preview=$!

# Frames sent before the preview has bound its port would be lost.
for _ in $(seq 1 100); do
    grep -q "Ready to receive frames" "$log" && break
    sleep 0.1
done
grep -q "Ready to receive frames" "$log" || { echo "demo: the preview did not start" >&2; exit 1; }
window=$(xdotool search --name "^$title\$" | head -n 1)

build/bin/stream_host --port "$port" --width 1280 --height 720 --fps 30 --seconds 5 &
host=$!
sleep 3
if [ "$headless" -eq 1 ]; then
    import -window "$window" "$root/demo-preview.png"
fi
wait "$host"

if [ "$headless" -eq 1 ]; then
    sleep 0.5
    kill -TERM "$preview"
    wait "$preview" || true
    preview=""
    echo "demo: screenshot of the preview window: $root/demo-preview.png"
else
    echo "demo: close the preview window to finish"
    wait "$preview" || true
    preview=""
fi
