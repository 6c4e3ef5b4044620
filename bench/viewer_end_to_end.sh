#!/usr/bin/env bash
# End to end: stream_host streams pre-encoded 1920x1080@30 VP8 clips of a screen-like picture (text
# lines with a noise "video" rectangle, bench/make_screen_clip) into video_player, under Xvfb when
# there is no display and with SDL's audio going to the disk driver. Figures come from the host's
# summary, the viewer's --stats lines and stderr, /proc/<pid>/stat and status, and the kernel's
# counters for the viewer's socket (/proc/net/udp):
#   1. throughput at 6, 20, 50, 100 and 200 Mbit/s: frames sent, completed, dropped, presented,
#      datagrams, keyframe requests, decode errors, latency over the run, CPU;
#   2. a keyframe of exactly 1000 fragments sent as one burst, 10 times 1 s apart;
#   3. latency at 6 Mbit/s beside decode and draw times;
#   4. CPU idle and at 6 Mbit/s; resident memory at the start and after a long 6 Mbit/s run.
#
#   bench/viewer_end_to_end.sh [seconds per case] [seconds of the memory run]   (20 and 300)
set -euo pipefail
cd "$(dirname "$0")/.."
case_seconds=${1:-20}
memory_seconds=${2:-300}

# The stream: what a host sends for a full-HD screen.
readonly WIDTH=1920 HEIGHT=1080 FPS=30
# Clip length: 3 s, so a keyframe comes every 3 s; libvpx's rate control needs about 2 s after a
# keyframe to settle, and a longer loop would only grow the raw file (8.3 MB a frame).
readonly CLIP_FRAMES=90
# Throughput cases: "<label Mbit/s> <--bitrate kbit/s> <noise rectangle>". Each rectangle is the
# smallest that lets VP8 reach the rate with every frame within 1000 fragments (checked before the
# run by make_screen_clip's report, and after it by the host's "skipped" lines). For 100 Mbit/s
# libvpx's VBR settles near 55 Mbit/s when asked for 100000, whatever the content; asked for 150000
# it runs at its finest quantizer, where an 880x495 rectangle comes to about 107 Mbit/s.
readonly RATE_CASES=(
    "6 6000 640x360"
    "20 20000 960x540"
    "50 50000 1280x720"
    "100 150000 880x495"
    "200 200000 1280x720"
)
# The memory and latency runs: the first case, a screen share at a common rate.
readonly STEADY_CASE=${RATE_CASES[0]}
# Burst case: a keyframe of exactly this many fragments (the protocol's limit), sent this many
# times, one a second; asked for at the host's highest bitrate, so that the encoder uses its finest
# quantizer and the keyframe's size depends on the picture alone.
readonly BURST_FRAGMENTS=1000 BURST_COUNT=10 BURST_FPS=1 BURST_KBPS=1000000
# Viewer start-up and the host's pre-encoding (a 200 Mbit/s clip takes a while on a busy machine).
readonly START_TIMEOUT_S=15 STREAM_START_TIMEOUT_S=180
# After the host ends: time for the last frames to be decoded and a stats line to count them.
readonly SETTLE_S=2.5
# Strace counts the idle viewer's passes this long (after the idle CPU figure, which it would skew).
readonly PASS_COUNT_SECONDS=5
# How often the viewer socket's queue is sampled during a run.
readonly SAMPLE_PERIOD_S=0.5
# Resident memory is read this often during the memory run.
readonly MEMORY_SAMPLE_PERIOD_S=60
# The stats histograms stop at 100 ms: a percentile of 100.0 means "100 ms or more".
readonly HISTOGRAM_CEILING_MS=100.0
readonly CLOCK_TICKS=$(getconf CLK_TCK)

bash scripts/build.sh >/dev/null
source scripts/lib/display.sh
bin=build/bin
work=$(mktemp -d /tmp/viewer_end_to_end.XXXXXX)
pids=()  # children still to be ended on exit

forget() { # forget <pid>: a child already waited for, whose id may be reused
    local kept=() pid
    for pid in "${pids[@]}"; do
        [ "$pid" = "$1" ] || kept+=("$pid")
    done
    pids=("${kept[@]}")
}

cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    stop_virtual_display
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_virtual_display
export SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/dev/null

# ---------------------------------------------------------------- helpers

load() { cut -d' ' -f1-3 /proc/loadavg; }

value() { # value <key> <line>: the number after " key=" or ":key="
    sed -n "s/.*[ :]$1=\([0-9.-]*\).*/\1/p" <<<"$2" | head -n 1
}

port_in_use() { # port_in_use <port>: bound by anyone, UDP v4 or v6
    local hex
    hex=$(printf '%04X' "$1")
    awk -v hex="$hex" 'NR > 1 { split($2, a, ":"); if (a[2] == hex) found = 1 } END { exit !found }' \
        /proc/net/udp /proc/net/udp6 2>/dev/null
}

free_port() { # free_port <from>: the first port from there that no one has bound
    local port=$1
    while port_in_use "$port"; do
        port=$((port + 1))
    done
    echo "$port"
}

viewer_port=$(free_port 47950)
control_port=$(free_port $((viewer_port + 1)))

socket_queue_and_drops() { # socket_queue_and_drops <port>: "<bytes queued> <drops>" of its socket
    local hex queues drops
    hex=$(printf '%04X' "$1")
    read -r queues drops < <(awk -v hex="$hex" \
        'NR > 1 { split($2, a, ":"); if (a[2] == hex) { print $5, $NF; exit } }' /proc/net/udp) || true
    if [ -z "${queues:-}" ]; then
        echo "0 0"
        return
    fi
    echo "$((16#${queues#*:})) $drops"
}

cpu_ticks() { # cpu_ticks <pid>: utime + stime so far
    awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0
}

rss_kb() { # rss_kb <pid>
    awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0
}

now() { date +%s.%N; }

thread_ticks() { # thread_ticks <pid>: "<tid> <name> <utime + stime>" per thread
    local pid=$1 task stat
    for task in /proc/"$pid"/task/*; do
        stat=$(cat "$task/stat" 2>/dev/null) || continue
        stat=${stat##*) }  # the fields after the name, which may hold blanks
        set -- $stat
        echo "${task##*/} $(cat "$task/comm" 2>/dev/null | tr ' ' '_') $((${12} + ${13}))"
    done
}

thread_shares() { # thread_shares <before> <after> <seconds>: "name=x%" per thread that ran
    join <(sort <<<"$1") <(sort <<<"$2") | awk -v ticks="$CLOCK_TICKS" -v seconds="$3" '
        { d = $5 - $3; if (d > 0) printf "%s=%.1f%% ", $2, 100 * d / ticks / seconds }'
}

percent_of_core() { # percent_of_core <ticks> <seconds>
    echo "scale=1; 100 * $1 / $CLOCK_TICKS / $2" | bc -l
}

start_viewer() { # start_viewer <name>: video_player on viewer_port; sets viewer, viewer_out, viewer_err
    viewer_out=$work/$1.viewer.out
    viewer_err=$work/$1.viewer.err
    "$bin/video_player" --port "$viewer_port" --parent-port "$control_port" --width $WIDTH \
        --height $HEIGHT --codec 0 --stats >"$viewer_out" 2>"$viewer_err" &
    viewer=$!
    pids+=("$viewer")
    local i
    for i in $(seq 1 $((START_TIMEOUT_S * 10))); do
        grep -q "\[VideoPlayer\] Listening on UDP port" "$viewer_out" && return 0
        kill -0 "$viewer" 2>/dev/null || break
        sleep 0.1
    done
    echo "video_player did not start listening on port $viewer_port:" >&2
    cat "$viewer_err" >&2
    exit 1
}

stop_viewer() {
    kill -TERM "$viewer" 2>/dev/null || true
    local i
    for i in $(seq 1 50); do
        kill -0 "$viewer" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$viewer" 2>/dev/null || true
    wait "$viewer" 2>/dev/null || true
    forget "$viewer"
}

start_host() { # start_host <name> [host options...]: sets host, host_out, host_err
    local name=$1
    shift
    host_out=$work/$name.host.out
    host_err=$work/$name.host.err
    "$bin/stream_host" --port "$viewer_port" --listen-port "$control_port" --codec vp8 \
        --width $WIDTH --height $HEIGHT "$@" >"$host_out" 2>"$host_err" &
    host=$!
    pids+=("$host")
}

wait_for_stream() { # the first stats line that counted datagrams (the host has finished encoding)
    local i
    for i in $(seq 1 $((STREAM_START_TIMEOUT_S * 10))); do
        grep -qE "datagrams_per_s=[1-9]" "$viewer_out" && return 0
        kill -0 "$host" 2>/dev/null || return 0
        sleep 0.1
    done
    echo "no datagrams reached video_player within ${STREAM_START_TIMEOUT_S} s" >&2
    exit 1
}

# Waits for the host to end while sampling the viewer socket's queue; sets max_queue.
wait_for_host() {
    max_queue=0
    local queue drops
    while kill -0 "$host" 2>/dev/null; do
        read -r queue drops < <(socket_queue_and_drops "$viewer_port")
        [ "$queue" -gt "$max_queue" ] && max_queue=$queue
        sleep $SAMPLE_PERIOD_S
    done
    local status=0
    wait "$host" || status=$?
    forget "$host"
    if [ $status -ne 0 ]; then
        echo "stream_host failed:" >&2
        cat "$host_err" >&2
        exit 1
    fi
}

make_clip() { # make_clip <file> <video rectangle> <kbit/s>: the clip, and its report line
    "$bin/make_screen_clip" --out "$1" --frames $CLIP_FRAMES --video "$2" --report "$3" \
        --fps $FPS 2>/dev/null | grep "^\[Clip\]"
}

# Summary of the stats lines of the streaming window (from the first line with datagrams to the
# last one), as "key=value" words: lines, presented (sum of fps, about the pictures presented),
# received (sum of datagrams_per_s), fps_median, latency p50 median / p99 max / p50 medians of the
# first and last quarter, lines at the histogram's ceiling, decode and draw p50 medians, and the
# totals of the last line.
summarize_stats() {
    awk -v ceiling="$HISTOGRAM_CEILING_MS" '
    function val(key,   start) {
        if (!match($0, " " key "=[-0-9.]+")) return 0
        start = RSTART + length(key) + 2
        return substr($0, start, RSTART + RLENGTH - start) + 0
    }
    function median(a, from, to,   n, i, j, t, b) {
        n = 0
        for (i = from; i <= to; i++) b[++n] = a[i]
        if (n == 0) return 0
        for (i = 2; i <= n; i++) { t = b[i]; for (j = i - 1; j >= 1 && b[j] > t; j--) b[j + 1] = b[j]; b[j + 1] = t }
        return (n % 2) ? b[(n + 1) / 2] : (b[n / 2] + b[n / 2 + 1]) / 2
    }
    /\[VideoPlayer\] stats:/ {
        n++
        fps[n] = val("fps"); dps[n] = val("datagrams_per_s")
        lat50[n] = val("latency_p50_ms"); lat99[n] = val("latency_p99_ms")
        dec50[n] = val("decode_p50_ms"); dec99[n] = val("decode_p99_ms")
        draw50[n] = val("draw_p50_ms"); draw99[n] = val("draw_p99_ms")
        completed = val("completed"); dropped = val("dropped"); requests = val("keyframe_requests")
        if (dps[n] > 0) { if (!first) first = n; last = n }
        total_fps += fps[n]; total_dps += dps[n]
    }
    END {
        if (!first) { first = 1; last = 0 }
        # Latency and decode only over seconds that presented something.
        m = 0
        for (i = first; i <= last; i++) if (fps[i] > 0) {
            m++; l50[m] = lat50[i]; l99[m] = lat99[i]; d50[m] = dec50[i]; d99[m] = dec99[i]
            w50[m] = draw50[i]; f[m] = fps[i]
            if (lat50[i] >= ceiling) at_ceiling++
            if (lat99[i] > max99) max99 = lat99[i]
            if (dec99[i] > maxdec99) maxdec99 = dec99[i]
        }
        q = int(m / 4); if (q < 1) q = 1
        printf " lines=%d presented=%.0f received=%.0f fps_median=%.1f", last - first + 1, total_fps, total_dps, median(f, 1, m)
        printf " lat50=%.1f lat99_median=%.1f lat99_max=%.1f lat50_first=%.1f lat50_last=%.1f at_ceiling=%d",
            median(l50, 1, m), median(l99, 1, m), max99, median(l50, 1, q), median(l50, m - q + 1, m), at_ceiling + 0
        printf " dec50=%.1f dec99_median=%.1f dec99_max=%.1f draw50=%.1f", median(d50, 1, m), median(d99, 1, m), maxdec99, median(w50, 1, m)
        printf " completed=%d dropped=%d requests=%d\n", completed, dropped, requests
    }' "$1"
}

count() { # count <pattern> <file>
    grep -cE "$1" "$2" 2>/dev/null || true
}

# ---------------------------------------------------------------- 1. throughput

echo "== video_player end to end, ${WIDTH}x${HEIGHT}@${FPS} VP8, ${case_seconds} s per case"
echo "   net.core.rmem_max=$(cat /proc/sys/net/core/rmem_max), load at start: $(load)"
echo
echo "-- 1. throughput (clips of $CLIP_FRAMES frames looped; presented and received are sums of the"
echo "      per-second stats, about the totals; latency = last fragment to present)"
throughput_lines=()
steady_clip=""
for case in "${RATE_CASES[@]}"; do
    read -r label kbps rectangle <<<"$case"
    clip=$work/clip_$label.bgra
    report=$(make_clip "$clip" "$rectangle" "$kbps")
    case_load=$(load)
    start_viewer "rate_$label"
    start_host "rate_$label" --fps $FPS --bitrate "$kbps" --preencode $CLIP_FRAMES --input "$clip" \
        --seconds "$case_seconds"
    wait_for_stream
    ticks0=$(cpu_ticks "$viewer")
    t0=$(now)
    x_ticks0=0
    [ -n "$VIRTUAL_DISPLAY_PIDS" ] && x_ticks0=$(cpu_ticks "${VIRTUAL_DISPLAY_PIDS%% *}")
    wait_for_host
    ticks1=$(cpu_ticks "$viewer")
    t1=$(now)
    x_ticks1=0
    [ -n "$VIRTUAL_DISPLAY_PIDS" ] && x_ticks1=$(cpu_ticks "${VIRTUAL_DISPLAY_PIDS%% *}")
    sleep $SETTLE_S
    read -r _ socket_drops < <(socket_queue_and_drops "$viewer_port")
    stop_viewer

    summary=$(grep "Summary" "$host_out" || true)
    stats=$(summarize_stats "$viewer_out")
    elapsed=$(echo "$t1 - $t0" | bc -l)
    host_seconds=$(value seconds "$summary")
    mbps=$(echo "scale=1; $(value bytes "$summary") * 8 / $host_seconds / 1000000" | bc -l)
    skipped=$(count "skipped" "$host_err")
    decode_errors=$(count "send_packet error|receive_frame error" "$viewer_err")
    line=$(printf "%4s Mbit/s (sent %6.1f): frames sent=%-4s completed=%-4s dropped=%-3s presented~%-4s (median %s fps) datagrams sent=%s received~%s socket_drops=%s max_socket_queue_sampled=%sKB keyframes=%s kfrq viewer=%s host=%s decode_errors_logged=%s skipped=%s cpu=%s%% Xvfb=%s%% load=%s" \
        "$label" "$mbps" "$(value frames "$summary")" "$(value completed "$stats")" \
        "$(value dropped "$stats")" "$(value presented "$stats")" "$(value fps_median "$stats")" \
        "$(value datagrams "$summary")" "$(value received "$stats")" "$socket_drops" \
        "$((max_queue / 1024))" "$(value keyframes "$summary")" "$(value requests "$stats")" \
        "$(value keyframe_requests "$summary")" "$decode_errors" "$skipped" \
        "$(percent_of_core $((ticks1 - ticks0)) "$elapsed")" \
        "$(percent_of_core $((x_ticks1 - x_ticks0)) "$elapsed")" "$case_load")
    latency=$(printf "%4s Mbit/s latency p50 median=%s ms (first quarter %s, last quarter %s; %s of %s s at the %s ms ceiling) p99 median=%s max=%s ms; decode p50=%s p99 median=%s max=%s ms; draw p50=%s ms" \
        "$label" "$(value lat50 "$stats")" "$(value lat50_first "$stats")" \
        "$(value lat50_last "$stats")" "$(value at_ceiling "$stats")" "$(value lines "$stats")" \
        "$HISTOGRAM_CEILING_MS" "$(value lat99_median "$stats")" "$(value lat99_max "$stats")" \
        "$(value dec50 "$stats")" "$(value dec99_median "$stats")" "$(value dec99_max "$stats")" \
        "$(value draw50 "$stats")")
    echo "$report"
    echo "$line"
    echo "$latency"
    throughput_lines+=("$line" "$latency")
    if [ "$case" = "$STEADY_CASE" ]; then
        steady_clip=$clip
    else
        rm -f "$clip"
    fi
done

# ---------------------------------------------------------------- 2. a 1000-fragment keyframe

echo
echo "-- 2. a keyframe of $BURST_FRAGMENTS fragments as one burst, $BURST_COUNT times ${BURST_FPS} a second"
burst_clip=$work/burst.bgra
fit=$("$bin/make_screen_clip" --out "$burst_clip" --fit-fragments $BURST_FRAGMENTS \
    --bitrate $BURST_KBPS --fps $BURST_FPS 2>/dev/null | grep "^\[Clip\]" || true)
echo "$fit"
burst_load=$(load)
start_viewer burst
start_host burst --fps $BURST_FPS --bitrate $BURST_KBPS --preencode 1 --frames $BURST_COUNT \
    --input "$burst_clip"
wait_for_stream
wait_for_host
sleep $SETTLE_S
read -r _ socket_drops < <(socket_queue_and_drops "$viewer_port")
stop_viewer
summary=$(grep "Summary" "$host_out" || true)
stats=$(summarize_stats "$viewer_out")
burst_frames=$(value frames "$summary")
burst_datagrams=$(value datagrams "$summary")
burst_line=$(printf "burst: frames sent=%s datagrams=%s (%s per frame) completed=%s dropped=%s presented~%s socket_drops=%s max_socket_queue_sampled=%sKB kfrq=%s skipped=%s latency p50=%s p99 max=%s ms decode p50=%s ms load=%s" \
    "$burst_frames" "$burst_datagrams" "$((${burst_datagrams:-0} / ${burst_frames:-1}))" \
    "$(value completed "$stats")" \
    "$(value dropped "$stats")" "$(value presented "$stats")" "$socket_drops" \
    "$((max_queue / 1024))" "$(value requests "$stats")" "$(count skipped "$host_err")" \
    "$(value lat50 "$stats")" "$(value lat99_max "$stats")" "$(value dec50 "$stats")" "$burst_load")
echo "$burst_line"
rm -f "$burst_clip"

# ---------------------------------------------------------------- 3 and 4. idle, then 6 Mbit/s

read -r steady_label steady_kbps _ <<<"$STEADY_CASE"
echo
echo "-- 3/4. idle ${case_seconds} s, then ${steady_label} Mbit/s for ${case_seconds} s: latency, CPU"
steady_load=$(load)
start_viewer steady
sleep $SETTLE_S
rss_idle=$(rss_kb "$viewer")
ticks0=$(cpu_ticks "$viewer")
threads0=$(thread_ticks "$viewer")
t0=$(now)
sleep "$case_seconds"
idle_seconds=$(echo "$(now) - $t0" | bc -l)
idle_cpu=$(percent_of_core $(($(cpu_ticks "$viewer") - ticks0)) "$idle_seconds")
idle_threads=$(thread_shares "$threads0" "$(thread_ticks "$viewer")" "$idle_seconds")
# Main-loop passes a second while idle: each pass ends in one SDL_Delay (clock_nanosleep).
idle_passes="n/a (no strace)"
if command -v strace >/dev/null; then
    idle_passes=$(timeout $PASS_COUNT_SECONDS strace -c -e trace=clock_nanosleep,nanosleep \
        -p "$viewer" 2>&1 | awk -v s=$PASS_COUNT_SECONDS '$NF ~ /nanosleep/ { n += $4 }
        END { printf "%.0f", n / s }') || true  # timeout ends strace, and says so in its status
fi
start_host steady --fps $FPS --bitrate "$steady_kbps" --preencode $CLIP_FRAMES \
    --input "$steady_clip" --seconds "$case_seconds"
wait_for_stream
ticks0=$(cpu_ticks "$viewer")
t0=$(now)
wait_for_host
steady_cpu=$(percent_of_core $(($(cpu_ticks "$viewer") - ticks0)) "$(echo "$(now) - $t0" | bc -l)")
sleep $SETTLE_S
stop_viewer
stats=$(summarize_stats "$viewer_out")
idle_line="idle ${case_seconds} s: cpu=${idle_cpu}% of a core (by thread: ${idle_threads}), main-loop passes/s=${idle_passes}, RSS=${rss_idle} KB"
echo "$idle_line"
steady_line=$(printf "%s Mbit/s: latency p50=%s ms p99 median=%s max=%s ms; decode p50=%s ms; draw p50=%s ms; completed=%s dropped=%s; cpu streaming=%s%% of a core; load=%s" \
    "$steady_label" "$(value lat50 "$stats")" "$(value lat99_median "$stats")" \
    "$(value lat99_max "$stats")" "$(value dec50 "$stats")" "$(value draw50 "$stats")" \
    "$(value completed "$stats")" "$(value dropped "$stats")" "$steady_cpu" \
    "$steady_load")
echo "$steady_line"

# ---------------------------------------------------------------- 4. memory over a long run

echo
echo "-- 4. resident memory, ${steady_label} Mbit/s for ${memory_seconds} s"
memory_load=$(load)
start_viewer memory
sleep $SETTLE_S
rss_start=$(rss_kb "$viewer")
start_host memory --fps $FPS --bitrate "$steady_kbps" --preencode $CLIP_FRAMES \
    --input "$steady_clip" --seconds "$memory_seconds"
wait_for_stream
ticks0=$(cpu_ticks "$viewer")
t0=$(now)
rss_series="start=${rss_start}"
next_sample=$MEMORY_SAMPLE_PERIOD_S
rss_last=$rss_start
while kill -0 "$host" 2>/dev/null; do
    sleep 1
    rss=$(rss_kb "$viewer")
    [ "$rss" -gt 0 ] && rss_last=$rss
    if [ "$(echo "$(now) - $t0 >= $next_sample" | bc -l)" = 1 ]; then
        rss_series="$rss_series ${next_sample}s=${rss_last}"
        next_sample=$((next_sample + MEMORY_SAMPLE_PERIOD_S))
    fi
done
wait_for_host
memory_cpu=$(percent_of_core $(($(cpu_ticks "$viewer") - ticks0)) "$(echo "$(now) - $t0" | bc -l)")
hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$viewer/status")
sleep $SETTLE_S
stop_viewer
stats=$(summarize_stats "$viewer_out")
memory_line=$(printf "RSS (KB): %s end=%s peak=%s; over the run: cpu=%s%% latency p50=%s ms p99 max=%s ms completed=%s dropped=%s kfrq=%s; load=%s" \
    "$rss_series" "$rss_last" "$hwm" "$memory_cpu" "$(value lat50 "$stats")" \
    "$(value lat99_max "$stats")" "$(value completed "$stats")" "$(value dropped "$stats")" \
    "$(value requests "$stats")" "$memory_load")
echo "$memory_line"

# ---------------------------------------------------------------- summary

echo
echo "== summary (load now: $(load))"
printf '%s\n' "${throughput_lines[@]}"
echo "$fit"
echo "$burst_line"
echo "$steady_line"
echo "$idle_line"
echo "$memory_line"
