#!/usr/bin/env bash
# Many viewers at once: 1, 2, 4 and 6 video_player windows side by side, each fed its own
# 1920x1080@30 VP8 6 Mbit/s stream by its own stream_host --clip (the same screen-like clip), for
# CASE_SECONDS per case. Reports per viewer the frames sent, completed and presented, latency p50
# and p99, its CPU, and per case the machine's CPU (all cores, /proc/stat), and the largest number
# of viewers that all kept every frame. Figures only: no pass condition beyond every program
# starting and exiting 0 on SIGTERM.
# Under Xvfb when there is no display; SDL's audio to the disk driver.
#
#   bench/many_viewers.sh [seconds per case]   (20)
set -euo pipefail
cd "$(dirname "$0")/.."
case_seconds=${1:-20}

# The stream: a full-HD screen share at a common rate (viewer_end_to_end.sh's first case).
readonly WIDTH=1920 HEIGHT=1080 FPS=30 CLIP_RECTANGLE=640x360 CLIP_KBPS=6000
# Viewer counts: one, then doubling past the two cores, and six side by side.
readonly CASES=(1 2 4 6)
# The hosts are watched this often for the first one to end (the end of the CPU window).
readonly POLL_S=0.2
# Ports are looked for from here up, PORT_STRIDE apart per viewer, clear of the other benchmarks.
readonly BASE_PORT=48400 PORT_STRIDE=10
# Windows on a grid this many columns wide, this far apart (a 960x540 window each, overlapping
# beyond four on a 1920x1080 screen).
readonly GRID_COLUMNS=3 GRID_STEP_X=480 GRID_STEP_Y=540
# After the hosts end: time for the last frames to be decoded and a stats line to count them.
readonly SETTLE_S=2.5
# "Kept every frame": all frames completed, none dropped or skipped, and pictures presented within
# this share of those sent (presented is a sum of per-second rates, good to about a frame).
readonly PRESENTED_SHARE=0.99
readonly STOP_TIMEOUT_S=30
readonly CLOCK_TICKS=$(getconf CLK_TCK)
readonly CORES=$(nproc)

source bench/stress_lib.sh
stress_begin many_viewers
started=$SECONDS
failures=()
clip=$work/clip.ivf
best=0

# viewer_figures <stats file>: "completed dropped skipped presented lat50_median lat99_median
# lat99_max" over the lines from the first with datagrams on.
viewer_figures() {
    awk '
        function val(key,   rest) { rest = $0; return sub(".* " key "=", "", rest) ? rest + 0 : 0 }
        function median(a, n,   i, j, t) {
            for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
            return n == 0 ? 0 : (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
        }
        / stats: / {
            if (!on && val("datagrams_per_s") > 0) on = 1
            if (!on) next
            presented += val("fps")
            if (val("fps") > 0) { m++; l50[m] = val("latency_p50_ms"); l99[m] = val("latency_p99_ms")
                if (l99[m] > max99) max99 = l99[m] }
            completed = val("completed"); dropped = val("dropped"); skipped = val("skipped")
        }
        END { printf "%d %d %d %.0f %.1f %.1f %.1f\n", completed, dropped, skipped, presented,
              median(l50, m), median(l99, m), max99 }' "$1"
}

run_case() { # run_case <viewers>
    local n=$1 i port control viewers=() hosts=() ticks0=() busy0 total0 busy1 total1 t0 t1
    local kept=0
    echo "-- $n viewer(s), load at start: $(load)"
    for i in $(seq 1 "$n"); do
        port=$(free_port $((BASE_PORT + PORT_STRIDE * i)))
        control=$(free_port $((port + 1)))
        start_viewer "many_${n}_$i" "$port" "$control" --width $WIDTH --height $HEIGHT --codec 0
        viewers+=("$viewer")
        local window
        window=$(xdotool search --name "^Stream: many_${n}_$i\$" 2>/dev/null | head -n 1 || true)
        [ -z "$window" ] || xdotool windowmove "$window" $((((i - 1) % GRID_COLUMNS) * GRID_STEP_X)) \
            $((((i - 1) / GRID_COLUMNS) * GRID_STEP_Y)) 2>/dev/null || true
        echo "$port $control" >"$work/many_${n}_$i.ports"
    done
    for i in $(seq 1 "$n"); do
        read -r port control <"$work/many_${n}_$i.ports"
        "$bin/stream_host" --port "$port" --listen-port "$control" --codec vp8 --clip "$clip" \
            --fps $FPS --seconds "$case_seconds" >"$work/many_${n}_$i.host.out" \
            2>"$work/many_${n}_$i.host.err" &
        hosts+=("$!")
        pids+=("$!")
    done
    read -r busy0 total0 < <(machine_ticks)
    t0=$(now)
    for i in $(seq 1 "$n"); do ticks0+=("$(cpu_ticks "${viewers[$((i - 1))]}")"); done
    # The machine's CPU over the stream: from the hosts' start to the first host's end.
    while :; do
        local running=0 h
        for h in "${hosts[@]}"; do kill -0 "$h" 2>/dev/null && running=$((running + 1)); done
        [ $running = "$n" ] || break
        sleep $POLL_S
    done
    read -r busy1 total1 < <(machine_ticks)
    t1=$(now)
    local viewer_cpu=()
    for i in $(seq 1 "$n"); do
        viewer_cpu+=("$(echo "scale=0; 100 * ($(cpu_ticks "${viewers[$((i - 1))]}") - ${ticks0[$((i - 1))]}) / $CLOCK_TICKS / ($t1 - $t0)" | bc)")
    done
    for h in "${hosts[@]}"; do
        wait "$h" || failures+=("stream_host for $n viewers failed")
        forget "$h"
    done
    sleep $SETTLE_S
    for i in $(seq 1 "$n"); do
        stop_program "${viewers[$((i - 1))]}" $STOP_TIMEOUT_S
        [ "$stop_status" = 0 ] || failures+=("viewer $i of $n: exit $stop_status on SIGTERM")
    done
    for i in $(seq 1 "$n"); do
        local summary sent completed dropped skipped presented lat50 lat99 lat99max keeps
        summary=$(grep "Summary" "$work/many_${n}_$i.host.out" || true)
        sent=$(value frames "$summary")
        read -r completed dropped skipped presented lat50 lat99 lat99max \
            < <(viewer_figures "$work/many_${n}_$i.out")
        keeps=no
        if [ "$completed" = "$sent" ] && [ "$dropped" = 0 ] && [ "$skipped" = 0 ] &&
            [ "$(echo "$presented >= $PRESENTED_SHARE * $sent" | bc)" = 1 ]; then
            keeps=yes kept=$((kept + 1))
        fi
        printf "   viewer %d: frames sent=%s completed=%s dropped=%s skipped=%s presented~%s (%s%%)" \
            "$i" "$sent" "$completed" "$dropped" "$skipped" "$presented" \
            "$(echo "scale=1; 100 * $presented / ${sent:-1}" | bc)"
        printf " latency p50=%s ms p99 median=%s max=%s ms cpu=%s%% every frame: %s\n" \
            "$lat50" "$lat99" "$lat99max" "${viewer_cpu[$((i - 1))]}" "$keeps"
    done
    local machine
    machine=$(echo "scale=1; 100 * ($busy1 - $busy0) / ($total1 - $total0)" | bc)
    echo "   machine CPU while streaming: ${machine}% of ${CORES} cores; viewers keeping every frame: $kept of $n"
    [ "$kept" != "$n" ] || [ "$n" -le "$best" ] || best=$n
    case_lines+=("$(printf '%d viewer(s): every frame kept by %d; machine CPU %s%% of %d cores' \
        "$n" "$kept" "$machine" "$CORES")")
}

echo "== many viewers, ${WIDTH}x${HEIGHT}@${FPS} VP8 ${CLIP_KBPS} kbit/s each, ${case_seconds} s per case"
make_clip "$clip" $CLIP_RECTANGLE $CLIP_KBPS
case_lines=()
for n in "${CASES[@]}"; do
    run_case "$n"
done
echo
echo "== summary (took $((SECONDS - started)) s; load now: $(load))"
printf '%s\n' "${case_lines[@]}"
echo "largest number of viewers that all kept every frame on this machine: $best"
if [ ${#failures[@]} -gt 0 ]; then
    printf 'FAIL: %s\n' "${failures[@]}"
    exit 1
fi
