#!/usr/bin/env bash
# Shutdown under load: each program is started afresh `count` times per way of ending it and, while
# a stream comes in at full rate, asked to end: by SIGTERM, or by a window-close request
# (WM_DELETE_WINDOW, as a window manager's close button sends; bench/stress_helper close).
#   video_player: stream_host --clip of a 1920x1080@30 VP8 screen-like clip at 50 Mbit/s;
#   stream_preview: stream_host's raw 1280x720@60 test pattern.
# One host per program and way streams throughout; each fresh program binds the same port.
# Pass: exit code 0 every time, with the program's teardown lines in order (the viewer's eight
# lines; the preview's "[Preview] Shutting down" last). Reports the time from the request to the
# exit (p50, max) per program and way; a close request's time includes starting stress_helper.
# Under Xvfb when there is no display; SDL's audio to the disk driver.
#
#   bench/shutdown.sh [count per program and way]   (50)
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-50}

# The viewer's stream: viewer_bench.sh's 50 Mbit/s clip.
readonly WIDTH=1920 HEIGHT=1080 FPS=30 CLIP_RECTANGLE=1280x720 CLIP_KBPS=50000
# The preview's stream: the host's raw pattern at the preview's highest common rate.
readonly PREVIEW_WIDTH=1280 PREVIEW_HEIGHT=720 PREVIEW_FPS=60
# A program must have completed a frame this soon after it listens (a loaded machine, and a
# viewer that waits for the keyframe it asked for).
readonly STREAM_TIMEOUT_S=30
# After the first completed frame, the request comes after a random 0 to this many milliseconds,
# so that it falls anywhere in a pass, a decode or a draw.
readonly JITTER_MS=500
# A request to the exit, at most; then the program counts as hung and is killed.
readonly STOP_TIMEOUT_S=30
# Each host streams for longer than its iterations can take; it is ended after them.
readonly HOST_SECONDS=36000
# How long the close request waits for the window to be mapped (it is, once the program listens).
readonly CLOSE_FIND_TIMEOUT_MS=10000
# Ports are looked for from here up, clear of the other benchmarks' ranges.
readonly BASE_PORT=48300

source bench/stress_lib.sh
stress_begin shutdown
started=$SECONDS
failures=()
port=$(free_port $BASE_PORT)
control_port=$(free_port $((port + 1)))

start_host() { # start_host <viewer|preview>: the stream for that program, on port; sets host
    if [ "$1" = viewer ]; then
        "$bin/stream_host" --port "$port" --listen-port "$control_port" --codec vp8 --clip "$clip" \
            --fps $FPS --seconds $HOST_SECONDS >"$work/host.$1.out" 2>"$work/host.$1.err" &
    else
        "$bin/stream_host" --port "$port" --width $PREVIEW_WIDTH --height $PREVIEW_HEIGHT \
            --fps $PREVIEW_FPS --seconds $HOST_SECONDS >"$work/host.$1.out" 2>"$work/host.$1.err" &
    fi
    host=$!
    pids+=("$host")
}

# run_way <viewer|preview> <sigterm|close>: count fresh programs ended that way; prints the figures.
run_way() {
    local kind=$1 way=$2 i name pid title t0 order times=() ok=0 waited_out=0
    start_host "$kind"
    for i in $(seq 1 "$count"); do
        name=shutdown_${kind}_$way
        if [ "$kind" = viewer ]; then
            start_viewer "$name" "$port" "$control_port" --width $WIDTH --height $HEIGHT --codec 0
            pid=$viewer title="Stream: $name"
        else
            start_preview "$name" "$port" --width $PREVIEW_WIDTH --height $PREVIEW_HEIGHT
            pid=$preview title=$name
        fi
        if ! wait_for_line "$work/$name.out" 'completed=[1-9]' $STREAM_TIMEOUT_S "$pid"; then
            waited_out=$((waited_out + 1))  # ended all the same: a shutdown before any frame
        fi
        sleep "$(printf '0.%03d' $((RANDOM % JITTER_MS)))"
        if [ "$way" = sigterm ]; then
            stop_program "$pid" $STOP_TIMEOUT_S
        else
            t0=${EPOCHREALTIME/./}
            "$bin/stress_helper" close --title "$title" --timeout-ms $CLOSE_FIND_TIMEOUT_MS >/dev/null 2>&1 || true
            wait_exit "$pid" $STOP_TIMEOUT_S "$t0"
        fi
        order=$(teardown_in_order "$work/$name.out" "$kind") && order=ok
        if [ "$stop_status" = 0 ] && [ "$order" = ok ]; then
            ok=$((ok + 1))
            times+=("$stop_seconds")
        else
            failures+=("$kind $way #$i: exit $stop_status after $stop_seconds s; teardown: $order")
            mkdir -p "$work/failed"
            cp "$work/$name.out" "$work/failed/$kind.$way.$i.out"
            cp "$work/$name.err" "$work/failed/$kind.$way.$i.err"
            echo "   #$i failed: exit $stop_status after $stop_seconds s; teardown: $order;" \
                "last lines: $(tail -n 3 "$work/$name.out" | tr '\n' '|')"
        fi
    done
    kill -TERM "$host" 2>/dev/null || true
    wait "$host" 2>/dev/null || true
    forget "$host"
    local p50 max
    p50=$(printf '%s\n' "${times[@]:-}" | grep . | percentile 50)
    max=$(printf '%s\n' "${times[@]:-}" | grep . | percentile 100)
    printf "%-14s %-8s ok=%d/%d request-to-exit p50=%ss max=%ss (no frame yet at the request: %d)\n" \
        "$kind" "$way" "$ok" "$count" "$p50" "$max" "$waited_out"
}

echo "== shutdown while streaming, ${count} times per program and way; load at start: $(load)"
clip=$work/clip.ivf
make_clip "$clip" $CLIP_RECTANGLE $CLIP_KBPS
for kind in viewer preview; do
    for way in sigterm close; do
        run_way "$kind" "$way"
    done
done
echo "== shutdown took $((SECONDS - started)) s; load now: $(load)"
if [ ${#failures[@]} -gt 0 ]; then
    printf 'FAIL: %s\n' "${failures[@]}"
    exit 1
fi
echo "PASS"
