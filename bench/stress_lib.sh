# shellcheck shell=bash
# Sourced by the scripts that run the programs end to end (bench/viewer_bench.sh, soak.sh,
# flood.sh, shutdown.sh, preview_end_to_end.sh): a work folder (removed on exit unless
# NIMBAR_STRESS_KEEP is set), an X display (Xvfb when there is none), SDL's audio to the disk
# driver, children ended on exit, and the helpers they share. The caller is at the repository's
# root and has set `set -euo pipefail`; stress_begin <name> sets everything up.

bin=build/bin
# A child asked to end gets this long before it is killed when the script itself is ending.
readonly CLEANUP_GRACE_S=5
# Waits for a line or for children to end look this often.
readonly WAIT_POLL_S=0.1
# A program's exit is looked for this often: the resolution of the times to exit.
readonly EXIT_POLL_S=0.01
# How long a program may take to open its window and its socket on a loaded machine.
readonly START_TIMEOUT_S=60
# A second whose latency p50 is this or more finds the viewer hopelessly behind (the histograms
# reach further, so the figures themselves say how far).
readonly FAR_BEHIND_MS=2000.0
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
# The screen-like clips: 3 s at 30 frames/s, so one keyframe every 3 s (libvpx's rate control
# settles within 2 s of a keyframe), and a raw file of 90 frames (750 MB) that goes as soon as it
# is encoded.
readonly CLIP_FRAMES=90 CLIP_FPS=30

pids=()  # children still to be ended on exit
work=""
viewer_command=()  # what start_viewer runs, when not $bin/video_player (another build, wine)
preview_command=()  # what start_preview runs, when not $bin/stream_preview (another build)

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

# start_viewer <name> <port> <control port> [options...]: video_player (or viewer_command) with
# --stats, titled "Stream: <name>", output in $work/<name>.out and .err; sets viewer. Fails when it
# does not listen.
start_viewer() {
    local name=$1 port=$2 control=$3 command=("$bin/video_player")
    shift 3
    [ ${#viewer_command[@]} = 0 ] || command=("${viewer_command[@]}")
    "${command[@]}" --port "$port" --parent-port "$control" --username "$name" --stats "$@" \
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

# start_preview <name> <port> [options...]: stream_preview (or preview_command) with --stats titled
# <name>, output in $work/<name>.out and .err; sets preview.
start_preview() {
    local name=$1 port=$2 command=("$bin/stream_preview")
    shift 2
    [ ${#preview_command[@]} = 0 ] || command=("${preview_command[@]}")
    "${command[@]}" --port "$port" --title "$name" --stats "$@" \
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
# CLIP_FPS, one keyframe) as an IVF file; prints make_screen_clip's report.
make_clip() { # make_clip <ivf> <rectangle> <kbit/s> [make_screen_clip options...]
    screen_clip "$1" "clip_$2_$3${4:+_}${5:-}" --frames $CLIP_FRAMES --video "$2" --report "$3" \
        --fps $CLIP_FPS "${@:4}"
}

# screen_clip <ivf> <name> <make_screen_clip options...>: make_screen_clip writes the IVF file and
# prints its "[Clip]" report, which this prints too; the raw frames go at once. With
# NIMBAR_STRESS_CLIPS set to a folder, clips and their reports are kept there under <name> and
# reused by later runs. Fails when no clip came out.
screen_clip() {
    local ivf=$1 raw=$work/clip.$$.bgra report
    local cached=${NIMBAR_STRESS_CLIPS:+$NIMBAR_STRESS_CLIPS/$2.ivf}
    shift 2
    if [ -n "$cached" ] && [ -s "$cached" ]; then
        cp "$cached" "$ivf"
        echo "$(cat "$cached.report" 2>/dev/null || echo "[Clip]") (reused $cached)"
        return 0
    fi
    report=$("$bin/make_screen_clip" --out "$raw" "$@" --ivf "$ivf" 2>/dev/null | grep "^\[Clip\]") ||
        true
    rm -f "$raw"
    echo "$report"
    [ -s "$ivf" ] || { echo "make_screen_clip made no clip" >&2; return 1; }
    [ -z "$cached" ] || { mkdir -p "$NIMBAR_STRESS_CLIPS" && cp "$ivf" "$cached" &&
        echo "$report" >"$cached.report"; }
}

# stats_summary <file>: the viewer's --stats lines (CRLF ones too, from wine) as " key=value" words.
# Streaming seconds run from the first line with datagrams to the last one. presented and received
# sum fps and datagrams_per_s over every line (about the totals); fps_median is over the streaming
# seconds, fps_median_presenting over those that presented a picture, and so are the latency (p50
# and p99 medians, p99 max, p50 medians of the first and last quarter, seconds whose p50 reached
# FAR_BEHIND_MS), decode and draw figures; heal p50 median and max are over the seconds
# that healed. completed, dropped, requests and skipped are the last line's totals.
stats_summary() {
    tr -d '\r' <"$1" | awk -v far_behind="$FAR_BEHIND_MS" '
    function val(key,   start) {
        if (!match($0, " " key "=[-0-9.]+")) return 0
        start = RSTART + length(key) + 2
        return substr($0, start, RSTART + RLENGTH - start) + 0
    }
    function median(a, from, to,   n, i, j, t, b) {  # insertion sort of a copy: a few hundred values
        for (i = from; i <= to; i++) b[++n] = a[i]
        for (i = 2; i <= n; i++) { t = b[i]; for (j = i - 1; j >= 1 && b[j] > t; j--) b[j + 1] = b[j]; b[j + 1] = t }
        return n == 0 ? 0 : (n % 2) ? b[(n + 1) / 2] : (b[n / 2] + b[n / 2 + 1]) / 2
    }
    /\[VideoPlayer\] stats:/ {
        n++; fps[n] = val("fps"); dps = val("datagrams_per_s"); presented += fps[n]; received += dps
        l50[n] = val("latency_p50_ms"); l99[n] = val("latency_p99_ms"); d50[n] = val("decode_p50_ms")
        d99[n] = val("decode_p99_ms"); w50[n] = val("draw_p50_ms"); h50[n] = hmax[n] = 0
        if (match($0, / heal_ms=[0-9.]+\/[0-9.]+/)) {
            split(substr($0, RSTART + 9, RLENGTH - 9), h, "/"); h50[n] = h[1]; hmax[n] = h[2]
        }
        completed = val("completed"); dropped = val("dropped"); requests = val("keyframe_requests")
        skipped = val("skipped")
        if (dps > 0) { if (!first) first = n; last = n }
    }
    END {
        for (i = first; first && i <= last; i++) {
            all[++s] = fps[i]
            if (fps[i] > 0) {
                m++; f[m] = fps[i]; a50[m] = l50[i]; a99[m] = l99[i]; e50[m] = d50[i]; e99[m] = d99[i]
                v50[m] = w50[i]; if (l50[i] >= far_behind) top++
                if (l99[i] > max99) max99 = l99[i]; if (d99[i] > dmax99) dmax99 = d99[i]
            }
            if (hmax[i] > 0) { k++; g50[k] = h50[i]; if (hmax[i] > healmax) healmax = hmax[i] }
        }
        q = int(m / 4); if (q < 1) q = 1
        printf " seconds=%d presented=%.0f received=%.0f fps_median=%.1f fps_median_presenting=%.1f",
            s, presented, received, median(all, 1, s), median(f, 1, m)
        printf " lat50=%.1f lat99=%.1f lat99_max=%.1f lat50_first=%.1f lat50_last=%.1f far_behind=%d",
            median(a50, 1, m), median(a99, 1, m), max99, median(a50, 1, q), median(a50, m - q + 1, m), top
        printf " dec50=%.1f dec99=%.1f dec99_max=%.1f draw50=%.1f heal50=%.1f heal_max=%.1f healed_seconds=%d",
            median(e50, 1, m), median(e99, 1, m), dmax99, median(v50, 1, m), median(g50, 1, k), healmax, k
        printf " completed=%d dropped=%d requests=%d skipped=%d\n", completed, dropped, requests, skipped
    }'
}

percentile() { # percentile <p 0..100>: of the numbers on standard input, nearest rank; 0 if none
    sort -n | awk -v p="$1" '{ a[NR] = $1 } END {
        if (NR == 0) { print 0; exit }
        r = int((p / 100) * NR + 0.999999); if (r < 1) r = 1; if (r > NR) r = NR; print a[r] }'
}
