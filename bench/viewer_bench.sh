#!/usr/bin/env bash
# The viewer end to end: stream_host --clip streams pre-encoded 1920x1080@30 VP8 screen-like clips
# (bench/make_screen_clip) into video_player over loopback, so that every receiver gets the same
# frames; under Xvfb when there is no display, SDL's audio to the disk driver. Figures come from
# the host's summary, the viewer's --stats lines and stderr, /proc (CPU in % of one core, memory,
# the socket's queue and drops), presented_pictures, GStreamer and wine.
#
#   case     prints
#   rates    6, 20, 50, 100, 200 Mbit/s: Mbit/s and frames sent, completed, dropped, presented
#            (fps median), datagrams, socket drops and queue, keyframes and requests, decode
#            errors, host skips, viewer and Xvfb CPU; latency p50 (quarters), p99, decode, draw
#   burst    a keyframe of 1000 fragments 10 times, 1 a second: completed, presented, socket
#            drops, keyframe requests, latency
#   idle     after a short stream: CPU (viewer, Xvfb) with the control bar hidden, with the
#            mouse moving and with the stats panel shown, CPU by thread, RSS, main-loop passes a
#            second (strace)
#   steady   6 Mbit/s: latency p50, p99 beside decode and draw p50, CPU; 50 Mbit/s: CPU, presented
#   minimised  6 Mbit/s: CPU with the window shown, then minimised (openbox)
#   gst      the viewer beside GStreamer over RTP at 6 and 50 Mbit/s: CPU, presented or rendered
#   memory   a long 6 Mbit/s run: RSS at the start, every minute, at the end and at its peak
#   loss     20 Mbit/s under datagram loss: presented/true/damaged pictures, heal time, keyframe
#            requests per lost datagram and per second
#   behind   100 and 200 Mbit/s: fps, presented and completed of sent, latency, requests,
#            presented/true/damaged pictures
#   windows  the Windows build under wine beside Linux at 6 and 50 Mbit/s; wine per SDL renderer
#   many     1, 2, 4 and 6 viewers, each on its own 6 Mbit/s stream: pictures, latency, CPU
#   still    the host's own test pattern (not a clip) with pauses, 5 s of frames then 3 s still,
#            under 0.001 loss, at 4 Mbit/s encoded live and pre-encoded with noise (about 55
#            Mbit/s) for the decoder to fall behind: pauses, pauses that end with the last frame
#            on screen (stress_helper look), keyframe requests, fps, latency and decode
#
# idle, steady, loss, behind, many and still also run the build in NIMBAR_BEFORE_BIN (a bin folder holding
# video_player and presented_pictures) back to back with this one, in an order that alternates
# from case to case. The programs are copied first, so that a rebuild during the run cannot mix
# builds.
#
#   bench/viewer_bench.sh [seconds per case] [case... | all]   (20; all: every case)
# NIMBAR_BENCH_RATES and NIMBAR_BENCH_LOSSES pick among the rates and the losses;
# NIMBAR_STILL_SECONDS (120) is each still run, NIMBAR_STILL_WEIGHTS ("light heavy bframes
# altref"; also "crowded": heavy with the viewer held to one core beside a busy loop) picks its
# runs, NIMBAR_STILL_HEAVY_KBPS (200000) is the heavy one's rate, NIMBAR_STILL_LOSS (0.001) the
# loss;
# NIMBAR_IDLE_SECONDS (30) is each idle phase, NIMBAR_MEMORY_SECONDS (300) the memory run;
# NIMBAR_WINE_RENDERERS (e.g. "direct3d direct3d11") adds a wine run at 6 Mbit/s per SDL renderer;
# NIMBAR_STRESS_CLIPS keeps the clips for later runs, NIMBAR_STRESS_KEEP the outputs.
# NIMBAR_BENCH_CODEC=h264 makes the clips H.264 (libx264 as stream_host encodes it) instead of VP8,
# for the cases that stream clips, GStreamer's receiver included.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/stress_lib.sh
case_seconds=20
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then
    case_seconds=$1
    shift
fi
readonly ALL_CASES=(rates burst idle steady minimised gst memory loss behind windows many still)
cases=("$@")
[ ${#cases[@]} -gt 0 ] && [ "${cases[*]}" != all ] || cases=("${ALL_CASES[@]}")
for name in "${cases[@]}"; do
    [[ " ${ALL_CASES[*]} " == *" $name "* ]] ||
        { echo "unknown case '$name'; cases: all ${ALL_CASES[*]}" >&2; exit 2; }
done

# The stream: what a host sends for a full-HD screen, in stress_lib.sh's 3 s clips.
readonly BENCH_CODEC=${NIMBAR_BENCH_CODEC:-vp8}
[ "$BENCH_CODEC" = vp8 ] || [ "$BENCH_CODEC" = h264 ] ||
    { echo "NIMBAR_BENCH_CODEC is vp8 or h264, not '$BENCH_CODEC'" >&2; exit 2; }
readonly WIDTH=1920 HEIGHT=1080 FPS=$CLIP_FPS
# "<label Mbit/s> <kbit/s asked of the encoder> <noise rectangle>": each rectangle the smallest that
# lets VP8 reach the rate with every frame within 1000 fragments (make_screen_clip's report). For
# 100 Mbit/s libvpx's VBR settles near 55 Mbit/s when asked for 100000, whatever the content; asked
# for 150000 it runs at its finest quantizer, where an 880x495 rectangle comes to about 107.
readonly RATE_CLIPS=("6 6000 640x360" "20 20000 960x540" "50 50000 1280x720" "100 150000 880x495"
    "200 200000 1280x720")
# The rates case's rates: all of them unless a few are picked.
readonly RATES=${NIMBAR_BENCH_RATES:-6 20 50 100 200}
# Burst: a keyframe of exactly this many fragments (the protocol's limit), sent this many times,
# one a second; fitted at the host's highest bitrate, so that the encoder uses its finest quantizer
# and the keyframe's size depends on the picture alone.
readonly BURST_FRAGMENTS=1000 BURST_COUNT=10 BURST_FPS=1 BURST_KBPS=1000000
# Idle: a short stream first, so that a picture is up as after any real stream.
readonly IDLE_STREAM_SECONDS=5
# The bar hides 2 s after the last activity; a second more for the pass that hides it.
readonly BAR_HIDE_WAIT_S=3
# Each idle phase: long enough that a few ticks of the 100 Hz CPU clock do not matter.
readonly IDLE_SECONDS=${NIMBAR_IDLE_SECONDS:-30}
# Strace counts the idle viewer's passes this long (after the idle CPU figure, which it would skew).
readonly PASS_COUNT_SECONDS=5
# The mouse moves this often by this many pixels, back and forth over the window's top left
# 320x240 (the smallest window), above the control bar.
readonly MOUSE_STEP_S=0.05 MOUSE_STEP_PX=4 MOUSE_X_FROM=60 MOUSE_X_TO=260 MOUSE_Y=120
# Memory: a long run at the common rate, its resident memory noted this often.
readonly MEMORY_SECONDS=${NIMBAR_MEMORY_SECONDS:-300} MEMORY_SAMPLE_PERIOD_S=60
# Loss: 20 Mbit/s on the 6 Mbit/s rectangle at a finer quantizer, so that its keyframe is as long
# (about 440 fragments) while its inter frames are three times larger.
readonly LOSS_RECTANGLE=640x360 LOSS_KBPS=20000
# Fractions of datagrams lost; a fixed seed, so that every receiver sees the same draws until its
# first keyframe request changes what is sent.
readonly LOSSES=${NIMBAR_BENCH_LOSSES:-0.001 0.005 0.01 0.05} LOSS_SEED=7
# presented_pictures runs this much longer than the host, so that it sees the stream's end; it
# first decodes its reference pictures, which for a 200 Mbit/s clip takes a while on a busy machine.
readonly PICTURES_EXTRA_S=3 PICTURES_START_TIMEOUT_S=120
# GStreamer's receive buffer, as video_player asks for its socket (both capped by rmem_max); its
# packets at most as long as the host's fragments' payload.
readonly SOCKET_BUFFER=4194304 RTP_MTU=1400
readonly RTP_ENCODING=$([ "$BENCH_CODEC" = h264 ] && echo H264 || echo VP8)
readonly RTP_CAPS="application/x-rtp,media=video,encoding-name=$RTP_ENCODING,clock-rate=90000,payload=96"
# GStreamer's side of the stream, for each codec: the sender's parsing and payloading, the
# receiver's depayloading and decoding. H.264 goes as a raw stream timed at the clips' rate.
if [ "$BENCH_CODEC" = h264 ]; then
    readonly GST_SEND="video/x-h264,stream-format=byte-stream,framerate=$CLIP_FPS/1 ! h264parse ! rtph264pay config-interval=-1"
    readonly GST_RECEIVE="rtph264depay ! avdec_h264"
    readonly GST_ELEMENTS="h264parse rtph264pay rtph264depay avdec_h264"
else
    readonly GST_SEND="ivfparse ! rtpvp8pay"
    readonly GST_RECEIVE="rtpvp8depay ! vp8dec"
    readonly GST_ELEMENTS="ivfparse rtpvp8pay rtpvp8depay vp8dec"
fi
# The windows case: the Windows build, and the SDL renderers to try under wine (none: SDL's choice).
readonly WINE_EXE=dist/windows-x86_64/video_player.exe WINE_RENDERERS=${NIMBAR_WINE_RENDERERS:-}
# wineboot leaves its services running a few seconds; wait for them, but not for ever.
readonly WINE_BOOT_TIMEOUT_S=60
# Many: viewer counts, one, then doubling past the two cores, and six side by side; windows on a
# grid this many columns wide, this far apart (overlapping beyond four on a 1920x1080 screen).
readonly MANY_COUNTS=(1 2 4 6) GRID_COLUMNS=3 GRID_STEP_X=480 GRID_STEP_Y=540
# A viewer holds its stream when it presents this share of the frames sent.
readonly MANY_HELD_SHARE=0.95
# "Kept every frame": all completed, none dropped or skipped, and pictures presented within this
# share of those sent (presented is a sum of per-second rates, good to about a frame).
readonly PRESENTED_SHARE=0.99
# Still: the host's own pattern, so that the picture of each pause's last frame is known, with
# pauses as from a screen that stops changing, under a little loss (a fixed seed), for this long.
readonly STILL_SECONDS=${NIMBAR_STILL_SECONDS:-120} STILL_PAUSES=5,3 STILL_SEED=7
readonly STILL_LOSS=${NIMBAR_STILL_LOSS:-0.001}
# The window is read this long after the host says a still spell began: far past the viewer's
# 50 ms drain of a picture held back and the present that follows.
readonly STILL_LOOK_DELAY_S=1.5
# The light run, encoded live: the decoder keeps up on slice threads. The heavy run: the pattern
# with noise in its band (stream_host --pattern-noise) at the encoder's finest quantizer, about
# 55 Mbit/s, meant to put the decoder behind so that it switches to frame threads; pre-encoded (a
# 3 s loop), so that the host's encoder leaves the cores to the viewer.
readonly STILL_LIGHT_KBPS=4000 STILL_HEAVY_KBPS=${NIMBAR_STILL_HEAVY_KBPS:-200000}
readonly STILL_PREENCODE=90
# The core the crowded run holds the viewer to, beside a busy loop.
readonly CROWDED_CORE=1
# The still case's runs: all four unless some are picked. bframes and altref are other encoders'
# streams (bench/encoder_pauses: ffmpeg's libx264 with B-frames, two-pass libvpx with hidden
# alt-ref frames) at a still screen's pace, ENCODER_PAUSES_FPS, each active spell
# ENCODER_PAUSES_ACTIVE_MS long, the host answering "KFRQ" with its next keyframe.
readonly STILL_WEIGHTS=${NIMBAR_STILL_WEIGHTS:-light heavy bframes altref}
readonly ENCODER_PAUSES_FPS=10 ENCODER_PAUSES_ACTIVE_MS=2000 ENCODER_PAUSES_STILL_MS=1500
# How long stress_helper look waits for the window.
readonly LOOK_TIMEOUT_MS=5000
# Ports are looked for from here up, clear of the other benchmarks' ranges; many viewers' this far
# apart.
readonly BASE_PORT=47950 MANY_BASE_PORT=48400 PORT_STRIDE=10
# After the host ends: time for the last frames to be decoded and a stats line to count them.
readonly SETTLE_S=2.5
# The viewer's socket queue (and the memory case's RSS) is sampled this often during a stream.
readonly SAMPLE_PERIOD_S=0.5
# A host may take this much longer than its stream before it counts as hung (a loaded machine).
readonly HOST_GRACE_S=60
# A viewer asked to end (SIGTERM, or Alt+F4 under wine, which takes about 2 s) gets this long.
readonly STOP_TIMEOUT_S=30
# Any one xdotool command gets this long: a busy X server can be slow to answer.
readonly XDOTOOL_TIMEOUT_S=10
readonly CLOCK_TICKS=$(getconf CLK_TCK)

stress_begin viewer_bench
trap 'bench_cleanup' EXIT
wine_prefix=""
bench_cleanup() { # wine's own processes first: they outlive the viewer's
    [ -z "$wine_prefix" ] || WINEPREFIX=$wine_prefix timeout 10 wineserver -k 2>/dev/null || true
    stress_cleanup
}
[ -x build/bin/presented_pictures ] || ninja -C build presented_pictures >/dev/null
[ -x build/bin/encoder_pauses ] || ninja -C build encoder_pauses >/dev/null
builds=(after)
before_note="no before build (NIMBAR_BEFORE_BIN): this build only"
mkdir "$work/after"
cp build/bin/{video_player,presented_pictures,stream_host,make_screen_clip,stress_helper} \
    "$work/after/"
if [ -n "${NIMBAR_BEFORE_BIN:-}" ]; then
    if [ -x "$NIMBAR_BEFORE_BIN/video_player" ] && [ -x "$NIMBAR_BEFORE_BIN/presented_pictures" ]
    then
        mkdir "$work/before"
        cp "$NIMBAR_BEFORE_BIN"/{video_player,presented_pictures} "$work/before/"
        builds=(before after)
        before_note="before = $NIMBAR_BEFORE_BIN, after = build/bin"
    else
        before_note="no video_player and presented_pictures in $NIMBAR_BEFORE_BIN: this build only"
    fi
fi
bin=$work/after
port=$(free_port $BASE_PORT)
control=$(free_port $((port + 1)))
started=$SECONDS
recap=()     # the lines repeated at the end
failures=()  # programs that failed to start or to end
declare -A r # figures for the case tables: "<figure> <build> <case>"

# ---------------------------------------------------------------- helpers

# A figure missing from a run reads "n/a", which awk takes for a division by zero: calc then prints
# "-", never a number made of the gap.
calc() { awk "BEGIN { printf \"%.${2:-1}f\", ($1) }" 2>/dev/null || echo -; }  # calc <expr> [decimals]
get() { echo "${r[$*]:-n/a}"; }
count() { grep -cE "$1" "$2" 2>/dev/null || true; }  # count <pattern> <file>: matching lines
x_ticks() { [ -z "$VIRTUAL_DISPLAY_PIDS" ] && echo 0 || cpu_ticks "${VIRTUAL_DISPLAY_PIDS%% *}"; }

turn=0
next_order() { # sets order: the builds, before and after alternating which goes first
    order=("${builds[@]}")
    turn=$((1 - turn))
    [ ${#builds[@]} = 1 ] || [ $turn = 1 ] || order=(after before)
}

use_build() { viewer_command=("$work/$1/video_player") pictures_program=$work/$1/presented_pictures; }

clip_for() { # clip_for <rectangle> <kbit/s>: sets clip, made once a run; prints its report then
    clip=$work/clip_${BENCH_CODEC}_$1_$2.ivf
    [ -s "$clip" ] || make_clip "$clip" "$1" "$2" --codec "$BENCH_CODEC"
}
rate_clip() { # rate_clip <label>: clip_for the rate's entry of RATE_CLIPS
    local entry label kbps rectangle
    for entry in "${RATE_CLIPS[@]}"; do
        read -r label kbps rectangle <<<"$entry"
        [ "$label" != "$1" ] || { clip_for "$rectangle" "$kbps"; return; }
    done
}

socket_queue_and_drops() { # socket_queue_and_drops <port>: "<bytes queued> <drops>" of its socket
    local queues="" drops=""
    read -r queues drops < <(awk -v hex="$(printf '%04X' "$1")" \
        'NR > 1 { split($2, a, ":"); if (a[2] == hex) { print $5, $NF; exit } }' /proc/net/udp) || true
    [ -n "$queues" ] && echo "$((16#${queues#*:})) $drops" || echo "0 0"
}

cpu_over() { # cpu_over <pid> <command...>: runs it; sets cpu and x_cpu (% of a core), seconds
    local pid=$1 ticks0 x0 t0
    shift
    ticks0=$(cpu_ticks "$pid") x0=$(x_ticks) t0=$EPOCHREALTIME
    "$@"
    seconds=$(calc "$EPOCHREALTIME - $t0" 3)
    cpu=$(calc "100 * ($(cpu_ticks "$pid") - $ticks0) / $CLOCK_TICKS / $seconds")
    x_cpu=$(calc "100 * ($(x_ticks) - $x0) / $CLOCK_TICKS / $seconds")
}

sample_hook=:  # run every SAMPLE_PERIOD_S while a host streams
# host_run <name> <clip> <seconds> [host options...]: stream_host --clip at FPS for that long (the
# options may change both) to the viewer's ports, until it ends, sampling the socket's queue; sets
# host, max_queue (KB) and summary (the host's line). Fails when the host fails or hangs.
host_run() {
    local name=$1 clip=$2 deadline=$((SECONDS + $3 + HOST_GRACE_S)) queue drops status=0
    "$bin/stream_host" --port "$port" --listen-port "$control" --codec "$BENCH_CODEC" --clip "$clip" \
        --fps $FPS --seconds "$3" "${@:4}" >"$work/$name.host.out" 2>"$work/$name.host.err" &
    host=$!
    pids+=("$host")
    max_queue=0
    while kill -0 "$host" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
        read -r queue drops < <(socket_queue_and_drops "$port")
        [ "$queue" -le "$max_queue" ] || max_queue=$queue
        $sample_hook
        sleep $SAMPLE_PERIOD_S
    done
    max_queue=$((max_queue / 1024))
    wait_exit "$host" 1 "${EPOCHREALTIME/./}"  # killed, "hang", when past its deadline
    [ "$stop_status" = 0 ] || { echo "stream_host $name failed ($stop_status):" >&2;
        tail -n 5 "$work/$name.host.err" >&2; return 1; }
    summary=$(grep "\[Host\] Summary:" "$work/$name.host.out" || true)
}

# viewer_case <name> <clip> <seconds> [host options...]: a viewer, one host run, SETTLE_S, the
# viewer ended; sets cpu and x_cpu (over the host's run), max_queue, socket_drops, summary, stats
# (stats_summary's words), decode_errors and host_skipped.
viewer_case() {
    start_viewer "$1" "$port" "$control" --width $WIDTH --height $HEIGHT \
        --codec "$([ "$BENCH_CODEC" = h264 ] && echo 1 || echo 0)"
    cpu_over "$viewer" host_run "$@"
    sleep $SETTLE_S
    read -r _ socket_drops < <(socket_queue_and_drops "$port")
    stop_viewer "$1"
    stats=$(stats_summary "$work/$1.out")
    decode_errors=$(count "send_packet error|receive_frame error" "$work/$1.err")
    host_skipped=$(count skipped "$work/$1.host.err")
}

stop_viewer() { # stop_viewer <name>: SIGTERM, or under wine Alt+F4 (wine ends badly on SIGTERM)
    local window t0=${EPOCHREALTIME/./}
    if [[ " ${viewer_command[*]} " == *" wine "* ]]; then
        window=$(timeout $XDOTOOL_TIMEOUT_S xdotool search --onlyvisible --name "^Stream: $1\$" |
            head -n 1 || true)
        [ -z "$window" ] || timeout $XDOTOOL_TIMEOUT_S xdotool windowfocus --sync "$window" \
            key --clearmodifiers alt+F4 || true
        wait_exit "$viewer" $STOP_TIMEOUT_S "$t0"
    else
        stop_program "$viewer" $STOP_TIMEOUT_S
    fi
    [ "$stop_status" = 0 ] || failures+=("viewer $1: exit $stop_status when asked to end")
}

# pictures_case <name> <clip> <seconds> [host options...]: presented_pictures of the build in use
# watching one host run; sets pictures (its line, or why there is none) and summary.
pictures_case() {
    local out=$work/$1.pictures.out err=$work/$1.pictures.err pp status=0
    "$pictures_program" --clip "$2" --port "$port" --parent-port "$control" \
        --seconds $(($3 + PICTURES_EXTRA_S)) >"$out" 2>"$err" &
    pp=$!
    pids+=("$pp")
    if ! wait_for_line "$out" "\[Pictures\] listening" $PICTURES_START_TIMEOUT_S "$pp"; then
        wait_exit "$pp" 1 "${EPOCHREALTIME/./}"
        pictures="failed to start: $(tail -n 1 "$err")"
        return 0
    fi
    host_run "$@"
    wait_exit "$pp" $((PICTURES_EXTRA_S + STOP_TIMEOUT_S)) "${EPOCHREALTIME/./}"
    status=$stop_status  # 3: a damaged picture was presented, a figure here
    pictures=$(grep "\[Pictures\] presented=" "$out" ||
        echo "failed (exit $status): $(tail -n 1 "$err")")
}
pp() { # pp <build> <case>: "presented/true/damaged" from a presented_pictures line
    local line=${r[pictures $1 $2]:-}
    [[ "$line" == *presented=* ]] || { echo "${line:-n/a}"; return; }
    echo "$(value presented "$line")/$(value true "$line")/$(value damaged "$line")"
}

# ---------------------------------------------------------------- the cases

case_rates() {
    echo "-- rates: the clip looped; presented and received are sums of the per-second stats, about"
    echo "   the totals; fps median over the seconds that presented; latency = last fragment to present"
    local entry label kbps rectangle line latency
    for entry in "${RATE_CLIPS[@]}"; do
        read -r label kbps rectangle <<<"$entry"
        [[ " $RATES " == *" $label "* ]] || continue
        clip_for "$rectangle" "$kbps"
        local case_load
        case_load=$(load)
        viewer_case "rate_$label" "$clip" "$case_seconds"
        line=$(printf "%4s Mbit/s (sent %s): frames sent=%s completed=%s dropped=%s presented~%s (median %s fps) datagrams sent=%s received~%s socket_drops=%s max_socket_queue_sampled=%sKB keyframes=%s kfrq viewer=%s host=%s decode_errors_logged=%s skipped=%s cpu=%s%% Xvfb=%s%% load=%s" \
            "$label" "$(calc "$(value bytes "$summary") * 8 / $(value seconds "$summary") / 1e6")" \
            "$(value frames "$summary")" "$(value completed "$stats")" "$(value dropped "$stats")" \
            "$(value presented "$stats")" "$(value fps_median_presenting "$stats")" \
            "$(value datagrams "$summary")" "$(value received "$stats")" "$socket_drops" \
            "$max_queue" "$(value keyframes "$summary")" "$(value requests "$stats")" \
            "$(value keyframe_requests "$summary")" "$decode_errors" "$host_skipped" "$cpu" \
            "$x_cpu" "$case_load")
        latency=$(printf "%4s Mbit/s latency p50 median=%s ms (first quarter %s, last quarter %s; %s of %s s at %s ms or more) p99 median=%s max=%s ms; decode p50=%s p99 median=%s max=%s ms; draw p50=%s ms" \
            "$label" "$(value lat50 "$stats")" "$(value lat50_first "$stats")" \
            "$(value lat50_last "$stats")" "$(value far_behind "$stats")" "$(value seconds "$stats")" \
            "$FAR_BEHIND_MS" "$(value lat99 "$stats")" "$(value lat99_max "$stats")" \
            "$(value dec50 "$stats")" "$(value dec99 "$stats")" "$(value dec99_max "$stats")" \
            "$(value draw50 "$stats")")
        printf '%s\n%s\n' "$line" "$latency"
        recap+=("$line" "$latency")
    done
}

case_burst() {
    echo "-- burst: a keyframe of $BURST_FRAGMENTS fragments, $BURST_COUNT times ${BURST_FPS} a second"
    local fit line
    fit=$(screen_clip "$work/burst.ivf" "burst_${BURST_FRAGMENTS}_$BURST_KBPS" \
        --fit-fragments $BURST_FRAGMENTS --bitrate $BURST_KBPS --fps $BURST_FPS) || true
    echo "$fit"
    [ -s "$work/burst.ivf" ] || { echo "burst: no keyframe could be fitted"; return; }
    viewer_case burst "$work/burst.ivf" $((BURST_COUNT / BURST_FPS)) --fps $BURST_FPS \
        --frames $BURST_COUNT
    line=$(printf "burst: frames sent=%s datagrams=%s (%s per frame) completed=%s dropped=%s presented~%s socket_drops=%s max_socket_queue_sampled=%sKB kfrq=%s skipped=%s latency p50=%s p99 max=%s ms decode p50=%s ms load=%s" \
        "$(value frames "$summary")" "$(value datagrams "$summary")" \
        "$(calc "$(value datagrams "$summary") / $(value frames "$summary")" 0)" \
        "$(value completed "$stats")" "$(value dropped "$stats")" "$(value presented "$stats")" \
        "$socket_drops" "$max_queue" "$(value requests "$stats")" "$host_skipped" \
        "$(value lat50 "$stats")" "$(value lat99_max "$stats")" "$(value dec50 "$stats")" "$(load)")
    echo "$line"
    recap+=("$fit" "$line")
}

thread_ticks() { # thread_ticks <pid>: "<tid> <name> <utime + stime>" per thread
    local task stat fields
    for task in /proc/"$1"/task/*; do
        stat=$(cat "$task/stat" 2>/dev/null) || continue
        stat=${stat##*) }  # the fields after the name, which may hold blanks
        read -r -a fields <<<"$stat"
        echo "${task##*/} $(tr ' ' '_' <"$task/comm" 2>/dev/null) $((fields[11] + fields[12]))"
    done
}
thread_shares() { # thread_shares <before> <after> <seconds>: "name=x%" per thread that ran
    join <(sort <<<"$1") <(sort <<<"$2") | awk -v ticks="$CLOCK_TICKS" -v seconds="$3" '
        { d = $5 - $3; if (d > 0) printf "%s=%.1f%% ", $2, 100 * d / ticks / seconds }'
}
viewer_window() { # viewer_window <name>: the id of that viewer's window, or nothing
    timeout $XDOTOOL_TIMEOUT_S xdotool search --onlyvisible --name "^Stream: $1\$" | head -n 1 ||
        true
}
viewer_key() { # viewer_key <name> <key>: the key pressed in that viewer's window
    local window
    window=$(viewer_window "$1")
    timeout $XDOTOOL_TIMEOUT_S xdotool windowfocus --sync "$window" key --window "$window" "$2" ||
        echo "xdotool could not press $2 in window '$window'" >&2
}

move_mouse() { # move_mouse <name>: back and forth over that viewer's window for IDLE_SECONDS
    local window x=$MOUSE_X_FROM step=$MOUSE_STEP_PX path=()
    window=$(viewer_window "$1")
    for _ in $(seq 1 "$(calc "$IDLE_SECONDS / $MOUSE_STEP_S" 0)"); do
        [ $((x + step)) -le $MOUSE_X_TO ] && [ $((x + step)) -ge $MOUSE_X_FROM ] || step=$((-step))
        x=$((x + step))
        path+=(mousemove --window "$window" $x $MOUSE_Y sleep $MOUSE_STEP_S)
    done
    timeout $((IDLE_SECONDS + XDOTOOL_TIMEOUT_S)) xdotool "${path[@]}" ||
        echo "xdotool failed over window '$window'" >&2
}

case_idle() {
    echo "-- idle: ${IDLE_STREAM_SECONDS} s of 6 Mbit/s, ${BAR_HIDE_WAIT_S} s still, then" \
        "${IDLE_SECONDS} s with the bar hidden and ${IDLE_SECONDS} s with the mouse moving"
    local build name rss threads0 threads passes idle_cpu idle_x line
    rate_clip 6
    next_order
    for build in "${order[@]}"; do
        use_build "$build"
        name=idle_$build
        start_viewer "$name" "$port" "$control" --width $WIDTH --height $HEIGHT --codec 0
        host_run "$name" "$clip" $IDLE_STREAM_SECONDS
        sleep $BAR_HIDE_WAIT_S
        rss=$(rss_kb "$viewer")
        threads0=$(thread_ticks "$viewer")
        cpu_over "$viewer" sleep "$IDLE_SECONDS"
        threads=$(thread_shares "$threads0" "$(thread_ticks "$viewer")" "$seconds")
        threads=${threads% }
        idle_cpu=$cpu idle_x=$x_cpu
        # Main-loop passes a second: each pass ends in one SDL_Delay (clock_nanosleep).
        passes="n/a (no strace)"
        if command -v strace >/dev/null; then
            passes=$(timeout $PASS_COUNT_SECONDS strace -c -e trace=clock_nanosleep,nanosleep \
                -p "$viewer" 2>&1 | awk -v s=$PASS_COUNT_SECONDS '$NF ~ /nanosleep/ { n += $4 }
                END { printf "%.0f", n / s }') || true  # timeout ends strace, and says so
        fi
        cpu_over "$viewer" move_mouse "$name"
        local mouse_cpu=$cpu mouse_x=$x_cpu
        # The stats panel shown ("i"; an earlier build without one ignores the key), bar hidden.
        viewer_key "$name" i
        sleep $BAR_HIDE_WAIT_S
        cpu_over "$viewer" sleep "$IDLE_SECONDS"
        stop_viewer "$name"
        line="idle $build: bar hidden cpu=$idle_cpu% (Xvfb $idle_x%; by thread: ${threads}), mouse moving cpu=$mouse_cpu% (Xvfb $mouse_x%), stats panel shown cpu=$cpu% (Xvfb $x_cpu%), main-loop passes/s=$passes, RSS=${rss} KB"
        echo "$line"
        recap+=("$line")
    done
}

case_steady() {
    echo "-- steady: CPU and latency while streaming (before's draw p50 counts every pass, most"
    echo "   without a new picture)"
    local label build
    for label in 6 50; do
        rate_clip $label
        next_order
        for build in "${order[@]}"; do
            use_build "$build"
            viewer_case "steady${label}_$build" "$clip" "$case_seconds"
            r[cpu $build $label]=$cpu r[sent $build $label]=$(value frames "$summary")
            for key in completed presented lat50 lat99 lat99_max dec50 draw50; do
                r[$key $build $label]=$(value $key "$stats")
            done
            echo "$build $label Mbit/s: cpu=$cpu% (Xvfb $x_cpu%) frames sent=${r[sent $build $label]}" \
                "load=$(load)$stats"
        done
    done
    for build in "${builds[@]}"; do
        recap+=("$(printf "steady %s: 6 Mbit/s latency p50=%s p99=%s (max %s) ms | decode p50=%s draw p50=%s | p50 - (decode + draw)=%s ms | cpu=%s%%; 50 Mbit/s cpu=%s%% completed/presented~ %s/%s of %s" \
            "$build" "$(get lat50 "$build" 6)" "$(get lat99 "$build" 6)" \
            "$(get lat99_max "$build" 6)" "$(get dec50 "$build" 6)" "$(get draw50 "$build" 6)" \
            "$(calc "$(get lat50 "$build" 6) - $(get dec50 "$build" 6) - $(get draw50 "$build" 6)")" \
            "$(get cpu "$build" 6)" "$(get cpu "$build" 50)" "$(get completed "$build" 50)" \
            "$(get presented "$build" 50)" "$(get sent "$build" 50)")")
    done
}

case_minimised() {
    echo "-- minimised: 6 Mbit/s, ${case_seconds} s with the window shown, then ${case_seconds} s" \
        "minimised (openbox)"
    local wm="" shown minimised completed_shown
    command -v openbox >/dev/null ||
        { recap+=("minimised: skipped, openbox is not installed"); echo "${recap[-1]}"; return 0; }
    [ -n "$VIRTUAL_DISPLAY_PIDS" ] && { openbox >/dev/null 2>&1 & wm=$!; pids+=("$wm"); sleep 1; }
    rate_clip 6
    use_build after
    start_viewer minimised "$port" "$control" --width $WIDTH --height $HEIGHT --codec 0
    "$bin/stream_host" --port "$port" --listen-port "$control" --codec "$BENCH_CODEC" --clip "$clip" \
        --fps $FPS --seconds $((2 * case_seconds + 2)) >"$work/minimised.host.out" 2>&1 &
    host=$!
    pids+=("$host")
    sleep 1
    cpu_over "$viewer" sleep "$case_seconds"
    shown=$cpu
    timeout $XDOTOOL_TIMEOUT_S xdotool windowminimize --sync "$(viewer_window minimised)" ||
        echo "xdotool could not minimise the viewer" >&2
    cpu_over "$viewer" sleep "$case_seconds"
    minimised=$cpu
    stop_viewer minimised
    wait_exit "$host" $HOST_GRACE_S "${EPOCHREALTIME/./}"
    [ -z "$wm" ] || { kill "$wm" 2>/dev/null; wait "$wm" 2>/dev/null || true; forget "$wm"; }
    stats=$(stats_summary "$work/minimised.out")
    recap+=("minimised: 1080p30 6 Mbit/s cpu shown=$shown% minimised=$minimised% (of a core); frames completed=$(value completed "$stats") presented~$(value presented "$stats")")
    echo "${recap[-1]}"
}

# send_rtp <file.ivf> <name> <seconds>: its frames as RTP at their pace, until the file ends
send_rtp() {
    # shellcheck disable=SC2086  # the pipeline's words
    timeout $(($3 + HOST_GRACE_S)) gst-launch-1.0 filesrc location="$1" ! $GST_SEND \
        mtu=$RTP_MTU ! udpsink host=127.0.0.1 port="$port" sync=true \
        >"$work/$2.sender.out" 2>&1 || echo "gst sender: exit $?" >>"$work/$2.gst.out"
}

# gst_case <name> <clip> <seconds>: GStreamer receives the clip, looped to last that long, over
# RTP; sets cpu, x_cpu (over the sender's run) and rendered, dropped (the sink's counts).
# fpsdisplaysink only wraps ximagesink (no text overlay) to count the pictures shown, so that a
# pipeline that failed shows 0 pictures rather than a low CPU figure. Nothing in this pipeline
# declares a latency, so the decoder drops pictures that would reach the sink late (QoS) after
# decoding them: fewer rendered than sent is not datagrams lost (the socket drops none).
gst_case() {
    local long=$work/long.ivf out=$work/$1.gst.out receiver
    python3 - "$2" "$long" $(($3 * FPS)) "$BENCH_CODEC" <<'EOF'
import struct, sys  # IVF: 32-byte header (frame count at 24), per frame u32 size, u64 timestamp
source, target, count, codec = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
data, frames, at = open(source, 'rb').read(), [], 32
while at + 12 <= len(data):
    size = struct.unpack_from('<I', data, at)[0]
    frames.append(data[at + 12:at + 12 + size])
    at += 12 + size
header = bytearray(data[:32])
struct.pack_into('<I', header, 24, count)
with open(target, 'wb') as out:
    if codec == 'vp8':  # H.264 goes as a raw stream: the frames back to back
        out.write(header)
    for i in range(count):
        frame = frames[i % len(frames)]
        out.write((struct.pack('<IQ', len(frame), i) if codec == 'vp8' else b'') + frame)
EOF
    # shellcheck disable=SC2086  # the pipeline's words
    gst-launch-1.0 -v udpsrc port="$port" buffer-size=$SOCKET_BUFFER caps="$RTP_CAPS" ! \
        $GST_RECEIVE ! videoconvert ! fpsdisplaysink video-sink=ximagesink \
        text-overlay=false >"$out" 2>&1 &
    receiver=$!
    pids+=("$receiver")
    for _ in $(seq 1 $((START_TIMEOUT_S * 10))); do  # listening once its port is bound
        ! port_in_use "$port" && kill -0 "$receiver" 2>/dev/null || break
        sleep $WAIT_POLL_S
    done
    cpu_over "$receiver" send_rtp "$long" "$1" "$3"
    sleep $SETTLE_S
    kill -INT "$receiver" 2>/dev/null || true
    wait_exit "$receiver" $STOP_TIMEOUT_S "${EPOCHREALTIME/./}"
    rendered=$(grep -o "rendered: [0-9]*" "$out" | tail -n 1 | tr -dc 0-9)
    dropped=$(grep -o "dropped: [0-9]*" "$out" | tail -n 1 | tr -dc 0-9)
    [ -n "$rendered" ] ||
        { rendered=0 dropped=0; echo "GStreamer rendered nothing:"; tail -n 5 "$out"; }
    rm -f "$long"
}

case_gst() {
    local element missing="" label line
    for element in udpsrc videoconvert ximagesink fpsdisplaysink $GST_ELEMENTS; do
        gst-inspect-1.0 "$element" >/dev/null 2>&1 || missing="$missing $element"
    done
    if [ -n "$missing" ]; then
        echo "-- gst: skipped, GStreamer elements missing:$missing"
        recap+=("gst: skipped, GStreamer elements missing:$missing")
        return
    fi
    echo "-- gst: the viewer, then udpsrc ! $GST_RECEIVE ! videoconvert ! ximagesink on the"
    echo "   same clip over RTP; CPU in % of a core [Xvfb's]"
    for label in 6 50; do
        rate_clip $label
        viewer_case "gst${label}_viewer" "$clip" "$case_seconds"
        line="gst $label Mbit/s: viewer cpu=$cpu% [$x_cpu%] completed=$(value completed "$stats") presented~$(value presented "$stats") of $(value frames "$summary")"
        gst_case "gst${label}" "$clip" "$case_seconds"
        line="$line; GStreamer cpu=$cpu% [$x_cpu%] rendered=$rendered dropped=$dropped of $((case_seconds * FPS))"
        echo "$line (load $(load))"
        recap+=("$line")
    done
}

memory_sample() { # the memory case's sample_hook: RSS now, and at each MEMORY_SAMPLE_PERIOD_S
    local rss
    rss=$(rss_kb "$viewer")
    [ -z "$rss" ] || rss_last=$rss
    if [ $((SECONDS - memory_t0)) -ge $next_sample ]; then
        rss_series="$rss_series ${next_sample}s=$rss_last"
        next_sample=$((next_sample + MEMORY_SAMPLE_PERIOD_S))
    fi
}

case_memory() {
    echo "-- memory: 6 Mbit/s for ${MEMORY_SECONDS} s"
    local line hwm memory_load
    rate_clip 6
    memory_load=$(load)
    start_viewer memory "$port" "$control" --width $WIDTH --height $HEIGHT --codec 0
    sleep $SETTLE_S
    rss_last=$(rss_kb "$viewer") memory_t0=$SECONDS next_sample=$MEMORY_SAMPLE_PERIOD_S
    rss_series="start=$rss_last"
    sample_hook=memory_sample
    cpu_over "$viewer" host_run memory "$clip" "$MEMORY_SECONDS"
    sample_hook=:
    hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$viewer/status")
    sleep $SETTLE_S
    stop_viewer memory
    stats=$(stats_summary "$work/memory.out")
    line=$(printf "memory: RSS (KB) %s end=%s peak=%s; over the run: cpu=%s%% latency p50=%s ms p99 max=%s ms completed=%s dropped=%s kfrq=%s; load=%s" \
        "$rss_series" "$rss_last" "$hwm" "$cpu" "$(value lat50 "$stats")" \
        "$(value lat99_max "$stats")" "$(value completed "$stats")" "$(value dropped "$stats")" \
        "$(value requests "$stats")" "$memory_load")
    echo "$line"
    recap+=("$line")
}

case_loss() {
    echo "-- loss: 20 Mbit/s (the 6 Mbit/s rectangle at $LOSS_KBPS kbit/s), seed $LOSS_SEED"
    local loss build requests lost line
    clip_for $LOSS_RECTANGLE $LOSS_KBPS
    for loss in $LOSSES; do
        next_order
        for build in "${order[@]}"; do
            use_build "$build"
            pictures_case "loss${loss}_pp_$build" "$clip" "$case_seconds" --loss "$loss" \
                --seed $LOSS_SEED
            r[pictures $build $loss]=$pictures
            echo "$build loss $loss: $pictures; load=$(load); host: lost=$(value lost "$summary")" \
                "keyframe_requests=$(value keyframe_requests "$summary")"
        done
        use_build after
        viewer_case "loss${loss}_after" "$clip" "$case_seconds" --loss "$loss" --seed $LOSS_SEED
        requests=$(value keyframe_requests "$summary") lost=$(value lost "$summary")
        echo "after viewer loss $loss: host lost=$lost keyframes=$(value keyframes "$summary")" \
            "keyframe_requests=$requests$stats"
        line=$(printf "loss %-6s presented/true/damaged:" "$loss")
        for build in "${builds[@]}"; do line="$line $build $(pp "$build" "$loss")"; done
        recap+=("$line; after viewer: heal p50/max $(value heal50 "$stats")/$(value heal_max "$stats") ms ($(value healed_seconds "$stats") s healed) kfrq/lost $(calc "$requests / ($lost > 0 ? $lost : 1)" 3) kfrq/s $(calc "$requests / $(value seconds "$summary")")")
    done
}

case_behind() {
    echo "-- behind: 100 and 200 Mbit/s, where the decoder falls behind; fps median over the"
    echo "   streaming seconds"
    local label build
    for label in 100 200; do
        rate_clip $label
        next_order
        for build in "${order[@]}"; do
            use_build "$build"
            viewer_case "behind${label}_$build" "$clip" "$case_seconds"
            r[sent $build $label]=$(value frames "$summary")
            for key in fps_median presented completed lat50 lat99 lat99_max lat50_first lat50_last \
                requests; do
                r[$key $build $label]=$(value $key "$stats")
            done
            echo "$build $label Mbit/s: cpu=$cpu% load=$(load) frames sent=${r[sent $build $label]}" \
                "Mbit/s sent=$(calc "$(value bytes "$summary") * 8 / $(value seconds "$summary") / 1e6")$stats"
        done
        next_order
        for build in "${order[@]}"; do
            use_build "$build"
            pictures_case "behind${label}_pp_$build" "$clip" "$case_seconds"
            r[pictures $build $label]=$pictures
            echo "$build $label Mbit/s: $pictures"
        done
        for build in "${builds[@]}"; do
            recap+=("$(printf "behind %3s Mbit/s %-6s fps %s presented~/sent %s/%s completed/sent %s/%s latency p50 %s p99 %s (max %s) ms first/last quarter p50 %s/%s kfrq %s pp %s" \
                "$label" "$build" "$(get fps_median "$build" $label)" \
                "$(get presented "$build" $label)" "$(get sent "$build" $label)" \
                "$(get completed "$build" $label)" "$(get sent "$build" $label)" \
                "$(get lat50 "$build" $label)" "$(get lat99 "$build" $label)" \
                "$(get lat99_max "$build" $label)" "$(get lat50_first "$build" $label)" \
                "$(get lat50_last "$build" $label)" "$(get requests "$build" $label)" \
                "$(pp "$build" $label)")")
        done
    done
}

# windows_run <linux|wine> <label> [renderer]: one viewer, one host run; prints its line and keeps
# presented and whether completed == sent in r
windows_run() {
    local build=$1 label=$2 renderer=${3:-} name=windows_$1_$2${3:+_$3} modules=""
    viewer_command=("$bin/video_player")
    [ "$build" = linux ] ||
        viewer_command=(env ${renderer:+SDL_RENDER_DRIVER=$renderer} wine "$WINE_EXE")
    local case_load
    case_load=$(load)
    start_viewer "$name" "$port" "$control" --width $WIDTH --height $HEIGHT --codec 0 ||
        { failures+=("$name did not start"); return 0; }
    cpu_over "$viewer" host_run "$name" "$clip" "$case_seconds"
    # Which Direct3D (or OpenGL) libraries the renderer brought in: SDL falls back when one fails.
    [ "$build" = linux ] || modules=$(grep -oiE '(d3d[0-9]+|opengl32)\.dll' "/proc/$viewer/maps" |
        sort -u | tr '\n' ' ' || true)
    sleep $SETTLE_S
    stop_viewer "$name"
    stats=$(stats_summary "$work/$name.out")
    r[presented $build $label$renderer]=$(value presented "$stats")
    r[whole $build $label]=$([ "$(value frames "$summary")" = "$(value completed "$stats")" ] &&
        echo yes || echo no)
    printf "%-5s %2s Mbit/s%s: frames sent=%s completed=%s dropped=%s presented~%s datagrams sent=%s received~%s keyframes=%s kfrq=%s latency p50=%s ms p99 median=%s max=%s ms cpu=%s%% exit=%s load=%s%s\n" \
        "$build" "$label" "${renderer:+ $renderer}" "$(value frames "$summary")" \
        "$(value completed "$stats")" "$(value dropped "$stats")" "$(value presented "$stats")" \
        "$(value datagrams "$summary")" "$(value received "$stats")" \
        "$(value keyframes "$summary")" "$(value requests "$stats")" "$(value lat50 "$stats")" \
        "$(value lat99 "$stats")" "$(value lat99_max "$stats")" "$cpu" "$stop_status" \
        "$case_load" "${modules:+ modules: $modules}" | tee -a "$work/windows.lines"
}

case_windows() {
    if [ ! -f "$WINE_EXE" ] || ! command -v wine >/dev/null; then
        echo "-- windows: skipped, no $WINE_EXE (scripts/build-windows.sh) or no wine"
        recap+=("windows: skipped, no $WINE_EXE or no wine")
        return
    fi
    echo "-- windows: the Windows build under $(wine --version 2>/dev/null) and the Linux one, in turns;" \
        "cpu = the viewer process"
    wine_prefix=$work/wine
    export WINEPREFIX=$wine_prefix WINEDEBUG=-all
    timeout $WINE_BOOT_TIMEOUT_S wineboot --init >/dev/null 2>&1 || true
    timeout $WINE_BOOT_TIMEOUT_S wineserver -w || true  # the first case starts on a quiet machine
    local label renderer
    : >"$work/windows.lines"
    for label in 6 50; do
        rate_clip $label
        windows_run linux $label
        windows_run wine $label
        recap+=("windows $label Mbit/s: wine presented $(calc "100 * $(get presented wine $label) / $(get presented linux $label)")% of Linux's pictures; completed == sent: Linux $(get whole linux $label), wine $(get whole wine $label)")
    done
    rate_clip 6
    for renderer in $WINE_RENDERERS; do
        windows_run wine 6 "$renderer"
    done
    recap+=("windows, each run:" "$(sed 's/^/   /' "$work/windows.lines")")
}

case_many() {
    echo "-- many: each viewer on its own ${RATE_CLIPS[0]%% *} Mbit/s stream of the same clip"
    local n i window host viewers hosts ticks0 busy0 total0 busy1 total1 t0 seconds kept machine
    local ports=() controls=() stats sent keeps line best held most build
    rate_clip 6
    for build in "${builds[@]}"; do
        use_build "$build"
        best=0 most=0
        for n in "${MANY_COUNTS[@]}"; do
            echo "   $build: $n viewer(s), load at start: $(load)"
            viewers=() hosts=() ticks0=() ports=() controls=() kept=0 held=0
            for i in $(seq 1 "$n"); do
                ports[i]=$(free_port $((MANY_BASE_PORT + PORT_STRIDE * i)))
                controls[i]=$(free_port $((ports[i] + 1)))
                start_viewer "many_${n}_$i" "${ports[i]}" "${controls[i]}" \
                    --width $WIDTH --height $HEIGHT \
                    --codec "$([ "$BENCH_CODEC" = h264 ] && echo 1 || echo 0)"
                viewers+=("$viewer")
                window=$(timeout $XDOTOOL_TIMEOUT_S xdotool search --name "^Stream: many_${n}_$i\$" |
                    head -n 1 || true)
                [ -z "$window" ] || timeout $XDOTOOL_TIMEOUT_S xdotool windowmove "$window" \
                    $((((i - 1) % GRID_COLUMNS) * GRID_STEP_X)) \
                    $((((i - 1) / GRID_COLUMNS) * GRID_STEP_Y)) 2>/dev/null || true
            done
            for i in $(seq 1 "$n"); do
                "$bin/stream_host" --port "${ports[i]}" --listen-port "${controls[i]}" \
                    --codec "$BENCH_CODEC" --clip "$clip" --fps $FPS --seconds "$case_seconds" \
                    >"$work/many_${n}_$i.host.out" 2>"$work/many_${n}_$i.host.err" &
                hosts+=("$!")
                pids+=("$!")
            done
            read -r busy0 total0 < <(machine_ticks)
            t0=$EPOCHREALTIME
            for viewer in "${viewers[@]}"; do ticks0+=("$(cpu_ticks "$viewer")"); done
            # The machine's CPU over the stream: from the hosts' start to the first host's end.
            local deadline=$((SECONDS + case_seconds + HOST_GRACE_S)) running=$n
            while [ "$running" = "$n" ] && [ $SECONDS -lt $deadline ]; do
                sleep $SAMPLE_PERIOD_S
                running=0
                for host in "${hosts[@]}"; do ! kill -0 "$host" 2>/dev/null || running=$((running + 1)); done
            done
            read -r busy1 total1 < <(machine_ticks)
            seconds=$(calc "$EPOCHREALTIME - $t0" 3)
            for i in $(seq 1 "$n"); do
                r[cpu many $i]=$(calc "100 * ($(cpu_ticks "${viewers[i - 1]}") - ${ticks0[i - 1]}) / $CLOCK_TICKS / $seconds" 0)
            done
            for host in "${hosts[@]}"; do
                wait_exit "$host" $HOST_GRACE_S "${EPOCHREALTIME/./}"
                [ "$stop_status" = 0 ] || failures+=("stream_host for $n viewers: $stop_status")
            done
            sleep $SETTLE_S
            for i in $(seq 1 "$n"); do
                viewer=${viewers[i - 1]}
                stop_viewer "many_${n}_$i"
            done
            for i in $(seq 1 "$n"); do
                stats=$(stats_summary "$work/many_${n}_$i.out")
                sent=$(value frames "$(grep Summary "$work/many_${n}_$i.host.out" || true)")
                keeps=no
                if [ "$(value completed "$stats")" = "$sent" ] && [ "$(value dropped "$stats")" = 0 ] &&
                    [ "$(value skipped "$stats")" = 0 ] &&
                    [ "$(calc "$(value presented "$stats") >= $PRESENTED_SHARE * $sent" 0)" = 1 ]; then
                    keeps=yes kept=$((kept + 1))
                fi
                [ "$(calc "$(value presented "$stats") >= $MANY_HELD_SHARE * $sent" 0)" != 1 ] ||
                    held=$((held + 1))
                printf "   viewer %d: frames sent=%s completed=%s dropped=%s skipped=%s presented~%s (%s%%) latency p50=%s ms p99 median=%s max=%s ms cpu=%s%% every frame: %s\n" \
                    "$i" "$sent" "$(value completed "$stats")" "$(value dropped "$stats")" \
                    "$(value skipped "$stats")" "$(value presented "$stats")" \
                    "$(calc "100 * $(value presented "$stats") / $sent")" "$(value lat50 "$stats")" \
                    "$(value lat99 "$stats")" "$(value lat99_max "$stats")" "$(get cpu many "$i")" "$keeps"
            done
            machine=$(calc "100 * ($busy1 - $busy0) / ($total1 - $total0)")
            line="many $build: $n viewer(s): every frame kept by $kept of $n, $MANY_HELD_SHARE presented by $held; machine CPU $machine% of $(nproc) cores"
            echo "   $line"
            recap+=("$line")
            [ "$kept" != "$n" ] || best=$n
            [ "$held" != "$n" ] || most=$n
        done
        recap+=("many $build: the most viewers that all kept every frame here: $best; that all presented $MANY_HELD_SHARE of the frames: $most")
    done
}

# still_run <name> <host options...>: the host's paused pattern into the running viewer, titled
# "Stream: <name>", until the host ends; STILL_LOOK_DELAY_S after each "Still after frame" line the
# window is read. Sets summary; writes "<picture> <block_frame or nothing>" a pause to
# $work/<name>.pauses.
still_run() {
    local name=$1 out=$work/$1.host.out handled=0 lines line picture look alive deadline
    shift
    "$bin/stream_host" --port "$port" --listen-port "$control" --codec vp8 --width $WIDTH \
        --height $HEIGHT --fps $FPS --seconds "$STILL_SECONDS" --pauses $STILL_PAUSES \
        --loss "$STILL_LOSS" --seed $STILL_SEED "$@" >"$out" 2>"$work/$name.host.err" &
    host=$!
    pids+=("$host")
    : >"$work/$name.pauses"
    deadline=$((SECONDS + STILL_SECONDS + HOST_GRACE_S))
    while :; do
        alive=yes
        kill -0 "$host" 2>/dev/null && [ $SECONDS -lt $deadline ] || alive=no
        lines=$(count '^\[Host\] Still after frame' "$out")
        if [ "$lines" -gt "$handled" ]; then
            handled=$((handled + 1))
            line=$(grep '^\[Host\] Still after frame' "$out" | sed -n "${handled}p")
            picture=$(sed -n 's/.*(picture \([0-9]*\)).*/\1/p' <<<"$line")
            sleep $STILL_LOOK_DELAY_S
            look=$("$bin/stress_helper" look --title "Stream: $name" --timeout-ms $LOOK_TIMEOUT_MS \
                --picture-width $WIDTH --picture-height $HEIGHT ${picture:+--near-frame "$picture"} \
                2>&1 || true)
            echo "$look" >>"$work/$name.looks"
            echo "${picture:-?} $(value block_frame "$look")" >>"$work/$name.pauses"
            continue
        fi
        [ $alive = yes ] || break
        sleep $WAIT_POLL_S
    done
    wait_exit "$host" 1 "${EPOCHREALTIME/./}"  # killed, "hang", when past its deadline
    [ "$stop_status" = 0 ] || { echo "stream_host $name failed ($stop_status):" >&2;
        tail -n 5 "$work/$name.host.err" >&2; }
    summary=$(grep "\[Host\] Summary:" "$out" || true)
}

encoder_pauses_run() { # encoder_pauses_run bframes|altref: both builds, one line each
    local build line
    local pauses=$((STILL_SECONDS * 1000 / (ENCODER_PAUSES_ACTIVE_MS + ENCODER_PAUSES_STILL_MS)))
    next_order
    for build in "${order[@]}"; do
        line="still $1 $build $("$bin/encoder_pauses" --viewer "$work/$build/video_player" \
            --clip "$1" --fps $ENCODER_PAUSES_FPS --pauses "$pauses" \
            --active-ms $ENCODER_PAUSES_ACTIVE_MS --still-ms $ENCODER_PAUSES_STILL_MS \
            2>"$work/pauses_$1_$build.err" | grep '^\[Pauses\]' || echo "failed")"
        echo "$line"
        recap+=("$line")
    done
}

case_still() {
    echo "-- still: the host's test pattern ${WIDTH}x${HEIGHT}@${FPS}, ${STILL_SECONDS} s of" \
        "--pauses $STILL_PAUSES under loss $STILL_LOSS (seed $STILL_SEED); the window read" \
        "${STILL_LOOK_DELAY_S} s into each pause"
    echo "   light: $STILL_LIGHT_KBPS kbit/s encoded live (slice threads keep up); heavy:" \
        "--pattern-noise at $STILL_HEAVY_KBPS kbit/s pre-encoded (for the decoder to fall behind" \
        "and take frame threads: no figure says which it used, so judge by decode and latency)"
    local weight build name host_options pauses shown none behind line mbps
    for weight in $STILL_WEIGHTS; do
        if [ "$weight" = bframes ] || [ "$weight" = altref ]; then
            encoder_pauses_run "$weight"
            continue
        fi
        case $weight in
            light) host_options=(--bitrate "$STILL_LIGHT_KBPS") ;;
            heavy | crowded) host_options=(--bitrate "$STILL_HEAVY_KBPS" --pattern-noise
                --preencode "$STILL_PREENCODE") ;;
            *) echo "unknown still run '$weight' (light, heavy, crowded, bframes, altref)"
                continue ;;
        esac
        next_order
        for build in "${order[@]}"; do
            use_build "$build"
            name=still_${weight}_$build
            start_viewer "$name" "$port" "$control" --width $WIDTH --height $HEIGHT --codec 0
            local crowd=
            if [ "$weight" = crowded ]; then
                # Half a core for the decoder: behind at this rate, it takes frame threads.
                taskset -c $CROWDED_CORE bash -c 'while :; do :; done' &
                crowd=$!
                pids+=("$crowd")
                taskset -a -p -c $CROWDED_CORE "$viewer" >/dev/null
            fi
            cpu_over "$viewer" still_run "$name" "${host_options[@]}"
            if [ -n "$crowd" ]; then
                kill "$crowd" 2>/dev/null || true
                wait "$crowd" 2>/dev/null || true
                forget "$crowd"
            fi
            sleep $SETTLE_S
            stop_viewer "$name"
            stats=$(stats_summary "$work/$name.out")
            pauses=$(wc -l <"$work/$name.pauses")
            shown=$(awk '$2 != "" && $1 == $2' "$work/$name.pauses" | wc -l)
            none=$(awk '$2 == ""' "$work/$name.pauses" | wc -l)
            # The others, "<the host's picture>:<the one shown>": live, the difference is frames
            # behind; a pre-encoded loop starts over at picture 1 on every keyframe request.
            behind=$(awk '$2 != "" && $1 != $2 { printf "%s%s:%s", sep, $1, $2; sep = " " }' \
                "$work/$name.pauses")
            mbps=$(calc "$(value bytes "$summary") * 8 / $(value seconds "$summary") / 1e6")
            line=$(printf "still %-5s %-6s pauses=%s last frame shown=%s (others, picture sent:shown: %s; no block: %s) kfrq viewer=%s host=%s keyframes=%s lost=%s; fps median=%s latency p50=%s p99=%s (max %s) ms decode p50=%s p99=%s (max %s) ms; Mbit/s sent (stills included)=%s cpu=%s%% load=%s" \
                "$weight" "$build" "$pauses" "$shown" "${behind:-none}" "$none" \
                "$(value requests "$stats")" "$(value keyframe_requests "$summary")" \
                "$(value keyframes "$summary")" "$(value lost "$summary")" \
                "$(value fps_median_presenting "$stats")" "$(value lat50 "$stats")" \
                "$(value lat99 "$stats")" "$(value lat99_max "$stats")" "$(value dec50 "$stats")" \
                "$(value dec99 "$stats")" "$(value dec99_max "$stats")" "$mbps" "$cpu" "$(load)")
            echo "$line"
            recap+=("$line")
        done
    done
}

# ---------------------------------------------------------------- the run

echo "== video_player end to end, ${WIDTH}x${HEIGHT}@${FPS} VP8, ${case_seconds} s per case:" \
    "${cases[*]}"
echo "   $before_note; rmem_max=$(cat /proc/sys/net/core/rmem_max); load at start: $(load)"
for name in "${cases[@]}"; do
    echo
    use_build after  # the cases that run both builds choose for each run
    "case_$name"
done
echo
echo "== summary ($before_note; ${case_seconds} s per case; took $((SECONDS - started)) s;" \
    "load now $(load))"
printf '%s\n' "${recap[@]}"
if [ ${#failures[@]} -gt 0 ]; then
    printf 'FAILED: %s\n' "${failures[@]}"
    exit 1
fi
