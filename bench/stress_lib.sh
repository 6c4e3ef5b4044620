# shellcheck shell=bash
# Sourced by the stress scripts (bench/soak.sh, flood.sh, shutdown.sh, many_viewers.sh): a work
# folder (removed on exit unless NIMBAR_STRESS_KEEP is set), an X display (Xvfb when there is
# none), SDL's audio to the disk driver, children ended on exit, and the helpers they share. The
# caller is at the repository's root and has set `set -euo pipefail`; stress_begin <name> sets
# everything up.

bin=build/bin
# A child asked to end gets this long before it is killed when the script itself is ending.
readonly CLEANUP_GRACE_S=5
# Waits for a line or for children to end look this often.
readonly WAIT_POLL_S=0.1
# A program's exit is looked for this often: the resolution of the times to exit.
readonly EXIT_POLL_S=0.01
# How long a program may take to open its window and its socket on a loaded machine.
readonly START_TIMEOUT_S=60
# The viewer's and the preview's teardown lines, in the order they must come after a close request
# or SIGTERM (each a regular expression matched from the line's start).
readonly VIEWER_TEARDOWN=(
    '\[VideoPlayer\] Shutting down'
    '\[VideoReceiver\] Destructor called for uid=0'
    '\[VideoReceiver\] Stopping decode thread'
    '\[VideoReceiver\] Decode thread joined'
    '\[VideoReceiver\] Decode and codec cleanup complete'
    '\[RECV SDL DESTROY\] uid=0: Window destroyed'
    '\[VideoReceiver\] Stop complete'
    '\[VideoReceiver\] Destructor complete for uid=0'
)
readonly PREVIEW_TEARDOWN=('\[Preview\] Shutting down')
# The screen-like clips: 3 s at 30 frames/s, so one keyframe every 3 s (as in
# viewer_end_to_end.sh), and a raw file of 90 frames (750 MB) that goes as soon as it is encoded.
readonly CLIP_FRAMES=90 CLIP_FPS=30

pids=()  # children still to be ended on exit
work=""

stress_begin() { # stress_begin <name>: work folder, display, audio, cleanup trap, programs built
    for program in video_player stream_preview stream_host make_screen_clip stress_helper; do
        [ -x "$bin/$program" ] || ninja -C build "$program" >/dev/null
    done
    source scripts/lib/display.sh
    work=$(mktemp -d "/tmp/$1.XXXXXX")
    trap stress_cleanup EXIT
    trap 'exit 130' INT TERM
    start_virtual_display
    export SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/dev/null
}

stress_cleanup() {
    local pid alive
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for _ in $(seq 1 $((CLEANUP_GRACE_S * 10))); do  # WAIT_POLL_S apart
        alive=0
        for pid in "${pids[@]}"; do
            kill -0 "$pid" 2>/dev/null && alive=1
        done
        [ $alive = 0 ] && break
        sleep $WAIT_POLL_S
    done
    for pid in "${pids[@]}"; do
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    stop_virtual_display
    if [ -n "${NIMBAR_STRESS_KEEP:-}" ]; then
        echo "outputs kept in $work"
    elif [ -n "$work" ]; then
        rm -rf "$work"
    fi
}

forget() { # forget <pid>: a child already waited for, whose id may be reused
    local keep=() pid
    for pid in "${pids[@]}"; do
        [ "$pid" = "$1" ] || keep+=("$pid")
    done
    pids=("${keep[@]}")
}

load() { cut -d' ' -f1-3 /proc/loadavg; }
now() { echo "$EPOCHREALTIME"; }

value() { # value <key> <line>: the number after " key=" or ":key="
    sed -n "s/.*[ :]$1=\([0-9.-]*\).*/\1/p" <<<"$2" | head -n 1
}

port_in_use() { # port_in_use <port>: bound by anyone, UDP v4 or v6
    awk -v hex="$(printf '%04X' "$1")" 'NR > 1 { split($2, a, ":"); if (a[2] == hex) found = 1 }
        END { exit !found }' /proc/net/udp /proc/net/udp6 2>/dev/null
}

free_port() { # free_port <from>: the first port from there that no one has bound
    local port=$1
    while port_in_use "$port"; do
        port=$((port + 1))
    done
    echo "$port"
}

rss_kb() { # rss_kb <pid>: resident memory, or nothing when the process is gone
    awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || true
}

cpu_ticks() { # cpu_ticks <pid>: utime + stime so far
    awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0
}

machine_ticks() { # machine_ticks: "<busy> <total>" jiffies of all cores, from /proc/stat
    awk '/^cpu / { total = 0; for (i = 2; i <= NF; i++) total += $i; print total - $5 - $6, total }' \
        /proc/stat
}

wait_for_line() { # wait_for_line <file> <regex> <seconds> <pid>: 0 once the line is there
    local file=$1 pattern=$2 deadline=$((SECONDS + $3)) pid=$4
    while [ $SECONDS -lt $deadline ]; do
        grep -qE "$pattern" "$file" 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || { grep -qE "$pattern" "$file" 2>/dev/null; return; }
        sleep $WAIT_POLL_S
    done
    return 1
}

# start_viewer <name> <port> <control port> [options...]: video_player with --stats, titled
# "Stream: <name>", output in $work/<name>.out and .err; sets viewer. Fails when it does not listen.
start_viewer() {
    local name=$1 port=$2 control=$3
    shift 3
    "$bin/video_player" --port "$port" --parent-port "$control" --username "$name" --stats "$@" \
        >"$work/$name.out" 2>"$work/$name.err" &
    viewer=$!
    pids+=("$viewer")
    if ! wait_for_line "$work/$name.out" '\[VideoPlayer\] Listening on UDP port' \
        $START_TIMEOUT_S "$viewer"; then
        echo "video_player $name did not start:" >&2
        tail -n 5 "$work/$name.err" >&2
        return 1
    fi
}

# start_preview <name> <port> [options...]: stream_preview with --stats titled <name>, output in
# $work/<name>.out and .err; sets preview.
start_preview() {
    local name=$1 port=$2
    shift 2
    "$bin/stream_preview" --port "$port" --title "$name" --stats "$@" \
        >"$work/$name.out" 2>"$work/$name.err" &
    preview=$!
    pids+=("$preview")
    if ! wait_for_line "$work/$name.out" '\[Preview\] Ready to receive' $START_TIMEOUT_S "$preview"
    then
        echo "stream_preview $name did not start:" >&2
        tail -n 5 "$work/$name.err" >&2
        return 1
    fi
}

# stop_program <pid> <timeout s>: SIGTERM, then waits that long for the exit; sets stop_status (the
# exit code, "hang" when it had to be killed) and stop_seconds (from the signal to the exit, as this
# shell saw it: within EXIT_POLL_S). Not in a subshell: only this shell can wait for its children.
stop_program() {
    local t0=${EPOCHREALTIME/./}
    kill -TERM "$1" 2>/dev/null || true
    wait_exit "$1" "$2" "$t0"
}

# wait_exit <pid> <timeout s> <start, microseconds since the epoch>: as stop_program, for a request
# already made then.
wait_exit() {
    local pid=$1 deadline=$(($3 + $2 * 1000000)) t1
    stop_status=0
    while kill -0 "$pid" 2>/dev/null; do
        if [ "${EPOCHREALTIME/./}" -gt $deadline ]; then
            kill -KILL "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
            forget "$pid"
            stop_status=hang stop_seconds=$2
            return
        fi
        sleep $EXIT_POLL_S
    done
    t1=${EPOCHREALTIME/./}
    wait "$pid" || stop_status=$?
    forget "$pid"
    stop_seconds=$(printf '%d.%03d' $(((t1 - $3) / 1000000)) $(((t1 - $3) / 1000 % 1000)))
}

# teardown_in_order <file> <viewer|preview>: 0 when the program's teardown lines are all there, in
# order (for the preview its line must also be the last); otherwise prints the first one missing.
teardown_in_order() {
    local file=$1 kind=$2 expected
    if [ "$kind" = viewer ]; then
        expected=("${VIEWER_TEARDOWN[@]}")
    else
        expected=("${PREVIEW_TEARDOWN[@]}")
        if ! tr -d '\r' <"$file" | tail -n 1 | grep -qE "^${expected[0]}"; then
            echo "last line is not ${expected[0]}"
            return 1
        fi
    fi
    tr -d '\r' <"$file" | awk -v list="$(printf '%s\n' "${expected[@]}")" '
        BEGIN { n = split(list, want, "\n"); if (want[n] == "") n--; i = 1 }
        i <= n && $0 ~ ("^" want[i]) { i++ }
        END { if (i <= n) { print "missing or out of order: " want[i]; exit 1 } }'
}

# make_clip <ivf> <noise rectangle> <kbit/s>: a 1920x1080 screen-like VP8 clip (CLIP_FRAMES at
# CLIP_FPS, one keyframe) as an IVF file; prints make_screen_clip's report. The raw frames go at
# once. With NIMBAR_STRESS_CLIPS set to a folder, clips are kept there and reused by later runs.
make_clip() {
    local ivf=$1 rectangle=$2 kbps=$3 raw=$work/clip.$$.bgra
    local cached=${NIMBAR_STRESS_CLIPS:+$NIMBAR_STRESS_CLIPS/clip_${rectangle}_${kbps}.ivf}
    if [ -n "$cached" ] && [ -s "$cached" ]; then
        cp "$cached" "$ivf"
        echo "[Clip] reused $cached"
        return 0
    fi
    "$bin/make_screen_clip" --out "$raw" --frames $CLIP_FRAMES --video "$rectangle" \
        --report "$kbps" --fps $CLIP_FPS --ivf "$ivf" 2>/dev/null | grep "^\[Clip\]" || true
    rm -f "$raw"
    [ -s "$ivf" ] || { echo "make_screen_clip made no clip" >&2; return 1; }
    [ -z "$cached" ] || { mkdir -p "$NIMBAR_STRESS_CLIPS" && cp "$ivf" "$cached"; }
}

percentile() { # percentile <p 0..100>: of the numbers on standard input, nearest rank; 0 if none
    sort -n | awk -v p="$1" '{ a[NR] = $1 } END {
        if (NR == 0) { print 0; exit }
        r = int((p / 100) * NR + 0.999999); if (r < 1) r = 1; if (r > NR) r = NR; print a[r] }'
}
