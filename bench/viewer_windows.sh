#!/usr/bin/env bash
# The Windows viewer under wine beside the Linux one, in the same run: stream_host streams the
# pre-encoded 1920x1080@30 VP8 screen-like clips of bench/viewer_end_to_end.sh at 6 and 50 Mbit/s
# into build/bin/video_player and dist/windows-x86_64/video_player.exe in turn (Linux 6, wine 6,
# Linux 50, wine 50), so that both see about the same machine load. Under Xvfb when there is no
# display, SDL's audio to the disk driver, wine in a prefix of its own removed at the end. Reports
# the host's summary and the viewer's --stats per case, and wine's pictures as a share of Linux's.
# Takes the programs as built (scripts/build.sh, scripts/build-windows.sh).
#
#   bench/viewer_windows.sh [seconds per case]   (20)
set -euo pipefail
cd "$(dirname "$0")/.."
case_seconds=${1:-20}

# The stream: what a host sends for a full-HD screen.
readonly WIDTH=1920 HEIGHT=1080 FPS=30
# Clip length: a keyframe every 3 s, as in viewer_end_to_end.sh.
readonly CLIP_FRAMES=90
# "<label Mbit/s> <--bitrate kbit/s> <noise rectangle>": viewer_end_to_end.sh's cases for these rates.
readonly RATE_CASES=("6 6000 640x360" "50 50000 1280x720")
# Viewer start-up; the first wine start also brings up wineserver and its services.
readonly START_TIMEOUT_S=60
# The host pre-encodes its clip before streaming; at 50 Mbit/s on a busy machine that takes minutes.
readonly PREENCODE_TIMEOUT_S=300
# After the host ends: time for the last frames to be decoded and a stats line to count them.
readonly SETTLE_S=2.5
# A window close under wine takes about 2 s, longer on a loaded machine; then the viewer is killed.
readonly CLOSE_TIMEOUT_S=15
# wineboot leaves its services running a few seconds; wait for them, but not for ever.
readonly WINE_BOOT_TIMEOUT_S=60
readonly CLOCK_TICKS=$(getconf CLK_TCK)

bin=build/bin
exe=dist/windows-x86_64/video_player.exe
for program in "$bin/video_player" "$bin/stream_host" "$bin/make_screen_clip" "$exe"; do
    [ -f "$program" ] || { echo "missing $program: build it first" >&2; exit 1; }
done
source scripts/lib/display.sh
work=$(mktemp -d /tmp/viewer_windows.XXXXXX)
export WINEPREFIX=$work/wine WINEDEBUG=-all SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/dev/null
pids=()  # children that may still run

cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    [ -d "$WINEPREFIX" ] && { wineserver -k 2>/dev/null || true; }
    stop_virtual_display
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_virtual_display
wineboot --init >/dev/null 2>&1
timeout $WINE_BOOT_TIMEOUT_S wineserver -w || true  # the first case starts on a quiet machine

load() { cut -d' ' -f1-3 /proc/loadavg; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0; }
value() { sed -n "s/.*[ :]$1=\([0-9.-]*\).*/\1/p" <<<"$2" | head -n 1; }
free_port() { # free_port <from>: the first port from there that no one has bound (UDP v4 or v6)
    local port=$1
    while awk -v hex="$(printf '%04X' "$port")" 'NR > 1 { split($2, a, ":"); if (a[2] == hex) f = 1 }
        END { exit !f }' /proc/net/udp /proc/net/udp6 2>/dev/null; do port=$((port + 1)); done
    echo "$port"
}
viewer_port=$(free_port 47970)
control_port=$(free_port $((viewer_port + 1)))

# The stats lines (CRLF under wine) as key=value words: presented (sum of fps; lines before the
# stream count 0, those after it its last pictures), received (sum of datagrams_per_s), the last
# line's totals, latency p50 median and p99 median and max over the seconds that presented anything.
summarize_stats() {
    tr -d '\r' <"$1" | awk '
    function val(key,   rest) { rest = $0; return sub(".* " key "=", "", rest) ? rest + 0 : 0 }
    function median(a, n,   i, j, t) {
        for (i = 2; i <= n; i++) {  # insertion sort: a few dozen values
            t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t
        }
        return n == 0 ? 0 : (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    /\[VideoPlayer\] stats:/ {
        presented += val("fps"); received += val("datagrams_per_s")
        completed = val("completed"); dropped = val("dropped"); requests = val("keyframe_requests")
        if (val("fps") > 0) { m++; l50[m] = val("latency_p50_ms"); l99[m] = val("latency_p99_ms") }
        if (val("fps") > 0 && l99[m] > max99) max99 = l99[m]
    }
    END {
        printf " presented=%.0f received=%.0f completed=%d dropped=%d requests=%d", presented, received,
            completed, dropped, requests
        printf " lat50=%.1f lat99_median=%.1f lat99_max=%.1f\n", median(l50, m), median(l99, m), max99
    }'
}

declare -A presented_by whole_by  # "<build> <label>": pictures presented; completed == sent or not
run_case() { # run_case <linux|wine> <label> <kbit/s> <clip>: one viewer, one host run; prints a line
    local build=$1 label=$2 kbps=$3 clip=$4 launcher=("$bin/video_player") case_load viewer host
    [ "$build" = wine ] && launcher=(wine "$exe")
    local out=$work/$build.$label.out err=$work/$build.$label.err host_out=$work/$build.$label.host
    case_load=$(load)
    "${launcher[@]}" --port "$viewer_port" --parent-port "$control_port" --width $WIDTH \
        --height $HEIGHT --codec 0 --stats >"$out" 2>"$err" &
    viewer=$!
    pids+=("$viewer")
    for _ in $(seq 1 $((START_TIMEOUT_S * 10))); do
        grep -q "\[VideoPlayer\] Listening on UDP port" "$out" && break
        kill -0 "$viewer" 2>/dev/null && sleep 0.1 || break
    done
    grep -q "\[VideoPlayer\] Listening" "$out" || { echo "$build viewer:" >&2; cat "$err" >&2; exit 1; }
    "$bin/stream_host" --port "$viewer_port" --listen-port "$control_port" --codec vp8 \
        --width $WIDTH --height $HEIGHT --fps $FPS --bitrate "$kbps" --preencode $CLIP_FRAMES \
        --input "$clip" --seconds "$case_seconds" >"$host_out" 2>&1 &
    host=$!
    pids+=("$host")
    # The viewer's CPU is counted from its first second with datagrams to the host's end.
    local deadline=$((SECONDS + PREENCODE_TIMEOUT_S + case_seconds)) ticks0="" t0="" cpu=n/a
    while kill -0 "$host" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || { echo "stream_host did not finish in time" >&2; exit 1; }
        if [ -z "$t0" ] && grep -qE "datagrams_per_s=[1-9]" "$out"; then
            ticks0=$(cpu_ticks "$viewer") t0=$EPOCHREALTIME
        fi
        sleep 0.1
    done
    wait "$host" || { echo "stream_host failed:" >&2; cat "$host_out" >&2; exit 1; }
    [ -z "$t0" ] ||
        cpu=$(echo "100 * ($(cpu_ticks "$viewer") - $ticks0) / $CLOCK_TICKS / ($EPOCHREALTIME - $t0)" | bc)
    sleep $SETTLE_S
    if [ "$build" = wine ]; then  # closed as a Windows user does: wine does not end it cleanly on SIGTERM
        local window
        window=$(xdotool search --onlyvisible --pid "$viewer" --name '^Stream: ' | head -n 1 || true)
        [ -z "$window" ] || { xdotool windowfocus --sync "$window"; xdotool key --clearmodifiers alt+F4; }
    else
        kill -TERM "$viewer"
    fi
    for _ in $(seq 1 $((CLOSE_TIMEOUT_S * 10))); do
        kill -0 "$viewer" 2>/dev/null && sleep 0.1 || break
    done
    kill -KILL "$viewer" 2>/dev/null || true
    local status=0 summary stats sent completed
    wait "$viewer" || status=$?
    pids=()  # both children have been waited for
    summary=$(grep "\[Host\] Summary:" "$host_out" || true)
    stats=$(summarize_stats "$out")
    sent=$(value frames "$summary") completed=$(value completed "$stats")
    presented_by["$build $label"]=$(value presented "$stats")
    whole_by["$build $label"]=$([ "$sent" = "$completed" ] && echo yes || echo no)
    printf "%-5s %2s Mbit/s: frames sent=%s completed=%s dropped=%s presented~%s" "$build" "$label" \
        "$sent" "$completed" "$(value dropped "$stats")" "$(value presented "$stats")"
    printf " datagrams sent=%s received~%s keyframes=%s kfrq=%s" "$(value datagrams "$summary")" \
        "$(value received "$stats")" "$(value keyframes "$summary")" "$(value requests "$stats")"
    printf " latency p50=%s ms p99 median=%s max=%s ms cpu~%s%% exit=%s load=%s\n" \
        "$(value lat50 "$stats")" "$(value lat99_median "$stats")" "$(value lat99_max "$stats")" \
        "$cpu" "$status" "$case_load"
}

echo "== video_player, Linux and wine ($(wine --version)), ${WIDTH}x${HEIGHT}@${FPS} VP8," \
    "${case_seconds} s per case"
echo "   presented and received are sums of the per-second stats; latency = last fragment to present;"
echo "   cpu = the viewer process while streaming, in % of one core"
comparisons=()
for case in "${RATE_CASES[@]}"; do
    read -r label kbps rectangle <<<"$case"
    clip=$work/clip_$label.bgra
    "$bin/make_screen_clip" --out "$clip" --frames $CLIP_FRAMES --video "$rectangle" \
        --report "$kbps" --fps $FPS 2>/dev/null | grep "^\[Clip\]"
    run_case linux "$label" "$kbps" "$clip"
    run_case wine "$label" "$kbps" "$clip"
    rm -f "$clip"
    share=$(echo "scale=1; 100 * ${presented_by[wine $label]} / ${presented_by[linux $label]}" | bc)
    comparisons+=("$(printf "%2s Mbit/s: wine presented %s%% of Linux's pictures;" "$label" "$share")\
 completed == sent: Linux ${whole_by[linux $label]}, wine ${whole_by[wine $label]}")
done
echo
echo "== comparison (load now: $(load))"
printf '%s\n' "${comparisons[@]}"
