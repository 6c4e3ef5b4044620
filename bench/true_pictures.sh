#!/usr/bin/env bash
# The viewer that presents only true pictures and draws only on a visible change, beside the build
# before that change ("before", from $NIMBAR_BEFORE_BIN) and beside a GStreamer pipeline, in one
# run and under the same load: each case runs the builds back to back, in an order that alternates
# from case to case. stream_host --clip streams the same pre-encoded 1920x1080@30 VP8 screen-like
# clips (bench/make_screen_clip) to every receiver; under Xvfb when there is no display, SDL's audio
# to the disk driver.
#   1. idle CPU after a short stream: control bar hidden, then the mouse moving over the window;
#   2. receiver CPU while streaming at 6 and 50 Mbit/s: video_player and gst-launch-1.0
#      (udpsrc ! rtpvp8depay ! vp8dec ! videoconvert ! ximagesink, fed the same frames over RTP);
#   3. latency at 6 Mbit/s beside decode (with the conversion) and draw, from the same runs;
#   4. 20 Mbit/s under datagram loss: pictures presented, true and damaged (presented_pictures);
#      time to heal and keyframe requests (the after viewer's --stats and the host's summary);
#   5. 100 and 200 Mbit/s, where the decoder falls behind: pictures presented, latency, requests
#      (video_player) and damaged pictures (presented_pictures).
# CPU comes from /proc/<pid>/stat, in % of one core. Takes the programs as built, copied at the
# start so that a rebuild of the tree during the run cannot mix builds.
#
#   bench/true_pictures.sh [seconds per case]   (20; the idle phases take IDLE_SECONDS each)
set -euo pipefail
cd "$(dirname "$0")/.."
case_seconds=${1:-20}

# The stream: what a host sends for a full-HD screen.
readonly WIDTH=1920 HEIGHT=1080 FPS=30
# Clip length: one keyframe, then 89 inter frames, looped (as in viewer_end_to_end.sh).
readonly CLIP_FRAMES=90
# Clips: "<label Mbit/s> <kbit/s asked of the encoder> <noise rectangle>", viewer_end_to_end.sh's
# rectangles for those rates; 20 Mbit/s on the 6 Mbit/s rectangle at a finer quantizer, so that its
# keyframe is as long (about 440 fragments) while its inter frames are three times larger.
readonly CLIPS=("6 6000 640x360" "50 50000 1280x720" "20 20000 640x360" "100 150000 880x495"
    "200 200000 1280x720")
# Idle: a short stream first, so that the viewer has a picture up as after any real stream.
readonly IDLE_STREAM_SECONDS=5
# The bar hides 2 s after the last activity; a second more for the pass that hides it.
readonly BAR_HIDE_WAIT_S=3
# Each idle phase: long enough that a few ticks of the 100 Hz CPU clock do not matter.
readonly IDLE_SECONDS=30
# The mouse moves this often by this many pixels, back and forth over the window's top left
# 320x240 (the smallest window), above the control bar.
readonly MOUSE_STEP_S=0.05 MOUSE_STEP_PX=4 MOUSE_X_FROM=60 MOUSE_X_TO=260 MOUSE_Y=120
# Loss cases, fractions of datagrams; fixed seed so that every receiver sees the same draws until
# its first keyframe request changes what is sent.
readonly LOSSES=(0.001 0.005 0.01 0.05) LOSS_SEED=7
# presented_pictures runs this much longer than the host, so that it sees the stream's end.
readonly PICTURES_EXTRA_S=3
# Start-up: a viewer opening its window; presented_pictures decoding its reference pictures
# (a 200 Mbit/s clip takes a while on a busy machine); gst-launch binding its port.
readonly START_TIMEOUT_S=120
# After the host ends: time for the last frames to be decoded and a stats line to count them.
readonly SETTLE_S=2.5
# A process asked to end gets this long before it is killed.
readonly STOP_TIMEOUT_S=10
# GStreamer's receive buffer, as video_player asks for its socket (both capped by rmem_max).
readonly SOCKET_BUFFER=4194304
# GStreamer's packets at most as long as the host's fragments' payload.
readonly RTP_MTU=1400
readonly RTP_CAPS="application/x-rtp,media=video,encoding-name=VP8,clock-rate=90000,payload=96"
# The gst sender ends at the end of its file; this long more and it is ended.
readonly SENDER_EXTRA_S=15
# Targets: idle CPU below this (% of a core); latency p50 at most this above decode + draw; at
# 100 Mbit/s this share of frames presented with p99 within this; at 200 Mbit/s latency bounded:
# the last quarter's p50 within this of the first quarter's.
readonly IDLE_TARGET=2 LATENCY_OVER_WORK_MS=1 PRESENTED_SHARE=0.95 P99_LIMIT_MS=150
readonly LATENCY_DRIFT_MS=50
readonly CLOCK_TICKS=$(getconf CLK_TCK)

declare -A bin_of=([after]=build/bin [before]=${NIMBAR_BEFORE_BIN:-})
for program in video_player presented_pictures stream_host make_screen_clip; do
    [ -x "${bin_of[after]}/$program" ] || { echo "missing build/bin/$program: build it" >&2; exit 1; }
done
builds=(before after)
before_note="before = ${bin_of[before]}"
if [ ! -x "${bin_of[before]}/video_player" ] || [ ! -x "${bin_of[before]}/presented_pictures" ]; then
    builds=(after)
    before_note="no before build in ${bin_of[before]} (set NIMBAR_BEFORE_BIN): after build only"
fi
gst=yes
for element in udpsrc rtpvp8depay vp8dec videoconvert ximagesink fpsdisplaysink ivfparse rtpvp8pay; do
    gst-inspect-1.0 "$element" >/dev/null 2>&1 || gst="no (missing $element)"
done

source scripts/lib/display.sh
work=$(mktemp -d /tmp/true_pictures.XXXXXX)
pids=()  # children still to be ended on exit
forget() { # forget <pid>: a child already waited for, whose id may be reused
    local kept=() pid
    for pid in "${pids[@]}"; do [ "$pid" = "$1" ] || kept+=("$pid"); done
    pids=("${kept[@]}")
}
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    stop_virtual_display
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
for build in "${builds[@]}"; do
    mkdir "$work/$build"
    cp "${bin_of[$build]}"/{video_player,presented_pictures} "$work/$build/"
done
cp build/bin/{stream_host,make_screen_clip} "$work/after/"
bin_of=([after]=$work/after [before]=$work/before)
start_virtual_display
export SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/dev/null
started=$SECONDS

# ---------------------------------------------------------------- helpers

load() { cut -d' ' -f1-3 /proc/loadavg; }
value() { sed -n "s/.*[ :]$1=\([0-9.-]*\).*/\1/p" <<<"$2" | head -n 1; }  # value <key> <line>
# A figure missing from a run reads "n/a", which awk takes for a division by zero: calc then
# prints "-" and verdict "n/a", never a number made of the gap.
calc() { awk "BEGIN { printf \"%.${2:-1}f\", $1 }" 2>/dev/null || echo -; }  # calc <expr> [decimals]
verdict() {
    local status=0
    awk "BEGIN { exit !($1) }" 2>/dev/null || status=$?
    case $status in 0) echo met ;; 1) echo MISSED ;; *) echo n/a ;; esac
}
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0; }
x_ticks() { [ -z "$VIRTUAL_DISPLAY_PIDS" ] && echo 0 || cpu_ticks "${VIRTUAL_DISPLAY_PIDS%% *}"; }
port_in_use() {
    awk -v hex="$(printf '%04X' "$1")" 'NR > 1 { split($2, a, ":"); if (a[2] == hex) f = 1 }
        END { exit !f }' /proc/net/udp /proc/net/udp6 2>/dev/null
}
free_port() { local port=$1; while port_in_use "$port"; do port=$((port + 1)); done; echo "$port"; }
media_port=$(free_port 48010)
control_port=$(free_port $((media_port + 1)))

turn=0
next_order() { # sets order: the builds, before and after alternating which goes first
    order=("${builds[@]}")
    turn=$((1 - turn))
    [ ${#builds[@]} -eq 2 ] && [ $turn -eq 0 ] && order=(after before)
    return 0
}

wait_for() { # wait_for <file> <pattern> <pid>: the pattern appeared before the process ended
    local i
    for i in $(seq 1 $((START_TIMEOUT_S * 10))); do
        grep -qE "$2" "$1" 2>/dev/null && return 0
        kill -0 "$3" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

stop_process() { # stop_process <pid> [signal]
    kill "-${2:-TERM}" "$1" 2>/dev/null || true
    local i
    for i in $(seq 1 $((STOP_TIMEOUT_S * 10))); do
        kill -0 "$1" 2>/dev/null && sleep 0.1 || break
    done
    kill -KILL "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
    forget "$1"
}

cpu_over() { # cpu_over <pid> <command...>: runs it; sets cpu and x_cpu, % of a core over its run
    local pid=$1 ticks0 x0 t0 seconds
    shift
    ticks0=$(cpu_ticks "$pid") x0=$(x_ticks) t0=$EPOCHREALTIME
    "$@"
    seconds=$(calc "$EPOCHREALTIME - $t0" 3)
    cpu=$(calc "100 * ($(cpu_ticks "$pid") - $ticks0) / $CLOCK_TICKS / $seconds")
    x_cpu=$(calc "100 * ($(x_ticks) - $x0) / $CLOCK_TICKS / $seconds")
}

start_viewer() { # start_viewer <build> <name>: sets viewer, viewer_out
    viewer_out=$work/$2.viewer.out
    "${bin_of[$1]}/video_player" --port "$media_port" --parent-port "$control_port" --width $WIDTH \
        --height $HEIGHT --codec 0 --stats >"$viewer_out" 2>"$work/$2.viewer.err" &
    viewer=$!
    pids+=("$viewer")
    wait_for "$viewer_out" "\[VideoPlayer\] Listening on UDP port" "$viewer" ||
        { echo "$1 video_player did not start:" >&2; cat "$work/$2.viewer.err" >&2; exit 1; }
}

start_host() { # start_host <name> <clip> <seconds> [options...]: sets host, host_out
    host_out=$work/$1.host.out
    "${bin_of[after]}/stream_host" --port "$media_port" --listen-port "$control_port" --codec vp8 \
        --clip "$2" --fps $FPS --seconds "$3" "${@:4}" >"$host_out" 2>&1 &
    host=$!
    pids+=("$host")
}

wait_host() { # the host's end; sets summary, its last line
    local status=0
    wait "$host" || status=$?
    forget "$host"
    [ $status -eq 0 ] || { echo "stream_host failed:" >&2; cat "$host_out" >&2; exit 1; }
    summary=$(grep "\[Host\] Summary:" "$host_out" || true)
}

make_clip() { # make_clip <label> <rectangle> <kbit/s>: $work/clip_<label>.ivf, its report line
    local raw=$work/clip.bgra
    "${bin_of[after]}/make_screen_clip" --out "$raw" --frames $CLIP_FRAMES --video "$2" --report "$3" \
        --fps $FPS --ivf "$work/clip_$1.ivf" 2>/dev/null | sed -n "s/^\[Clip\]/$1 Mbit\/s:/p"
    rm -f "$raw"  # 750 MB, not needed once encoded
}

# The stats lines as key=value words. Streaming seconds run from the first line with datagrams
# to the last; over them: fps median, latency p50 and p99 medians and p99 max, the p50 medians
# of the first and last quarter, decode and draw p50 medians, heal p50 median and max over the
# seconds that healed. presented sums fps over all lines; the rest are the last line's totals.
summarize_stats() {
    awk '
    function val(key,   start) {
        if (!match($0, " " key "=[-0-9.]+")) return 0
        start = RSTART + length(key) + 2
        return substr($0, start, RSTART + RLENGTH - start) + 0
    }
    function median(a, n,   i, j, t) {  # sorts a[1..n]: a few dozen values
        for (i = 2; i <= n; i++) {
            t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t
        }
        return n == 0 ? 0 : (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    /\[VideoPlayer\] stats:/ {
        n++; fps[n] = val("fps"); dps[n] = val("datagrams_per_s"); presented += fps[n]
        l50[n] = val("latency_p50_ms"); l99[n] = val("latency_p99_ms")
        d50[n] = val("decode_p50_ms"); w50[n] = val("draw_p50_ms"); h50[n] = hmax[n] = 0
        if (match($0, / heal_ms=[0-9.]+\/[0-9.]+/)) {
            split(substr($0, RSTART + 9, RLENGTH - 9), h, "/"); h50[n] = h[1]; hmax[n] = h[2]
        }
        completed = val("completed"); dropped = val("dropped"); requests = val("keyframe_requests")
        skipped = val("skipped")
        if (dps[n] > 0) { if (!first) first = n; last = n }
    }
    END {
        for (i = first; first && i <= last; i++) {
            f[++s] = fps[i]
            if (fps[i] > 0) {
                m++; a50[m] = b50[m] = l50[i]; a99[m] = l99[i]; e50[m] = d50[i]; v50[m] = w50[i]
                if (l99[i] > max99) max99 = l99[i]
            }
            if (hmax[i] > 0) { healed++; g50[healed] = h50[i]; if (hmax[i] > healmax) healmax = hmax[i] }
        }
        q = int(m / 4); if (q < 1) q = 1
        for (i = 1; i <= q && i <= m; i++) { c1[i] = a50[i]; c2[i] = a50[m - q + i] }
        printf " seconds=%d presented=%.0f fps_median=%.1f", s, presented, median(f, s)
        if (q > m) q = m
        printf " lat50_first=%.1f lat50_last=%.1f", median(c1, q), median(c2, q)
        printf " lat50=%.1f lat99=%.1f lat99_max=%.1f", median(b50, m), median(a99, m), max99
        printf " dec50=%.1f draw50=%.1f heal50=%.1f heal_max=%.1f healed_seconds=%d", median(e50, m),
            median(v50, m), median(g50, healed), healmax, healed
        printf " completed=%d dropped=%d requests=%d skipped=%d\n", completed, dropped, requests,
            skipped
    }' "$1"
}

# viewer_case <build> <name> <clip> <seconds> [host options...]: one viewer, one host run; sets
# cpu and x_cpu (over the host's run), stats (summarize_stats' words) and summary (the host's).
viewer_case() {
    start_viewer "$1" "$2"
    start_host "$2" "$3" "$4" "${@:5}"
    cpu_over "$viewer" wait_host
    sleep $SETTLE_S
    stop_process "$viewer"
    stats=$(summarize_stats "$viewer_out")
}

pictures_case() { # pictures_case <build> <name> <clip> <seconds> [host options...]: sets pictures
    local out=$work/$2.pictures.out err=$work/$2.pictures.err pp status=0
    "${bin_of[$1]}/presented_pictures" --clip "$3" --port "$media_port" --parent-port \
        "$control_port" --seconds $(($4 + PICTURES_EXTRA_S)) >"$out" 2>"$err" &
    pp=$!
    pids+=("$pp")
    if ! wait_for "$out" "\[Pictures\] listening" "$pp"; then
        stop_process "$pp"
        pictures="failed to start: $(tail -n 1 "$err")"
        return 0
    fi
    start_host "$2" "$3" "$4" "${@:5}"
    wait_host
    wait "$pp" || status=$?  # 3: a damaged picture was presented, a figure here
    forget "$pp"
    pictures=$(grep "\[Pictures\] presented=" "$out" ||
        echo "failed (exit $status): $(tail -n 1 "$err")")
}

send_rtp() { # send_rtp <file.ivf> <name>: its frames as RTP at their pace, until the file ends
    timeout $((case_seconds + SENDER_EXTRA_S)) gst-launch-1.0 filesrc location="$1" ! ivfparse ! \
        rtpvp8pay mtu=$RTP_MTU ! udpsink host=127.0.0.1 port="$media_port" sync=true \
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
    python3 - "$2" "$long" $(($3 * FPS)) <<'EOF'
import struct, sys  # IVF: 32-byte header (frame count at 24), per frame u32 size, u64 timestamp
source, target, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
data, frames, at = open(source, 'rb').read(), [], 32
while at + 12 <= len(data):
    size = struct.unpack_from('<I', data, at)[0]
    frames.append(data[at + 12:at + 12 + size])
    at += 12 + size
header = bytearray(data[:32])
struct.pack_into('<I', header, 24, count)
with open(target, 'wb') as out:
    out.write(header)
    for i in range(count):
        out.write(struct.pack('<IQ', len(frames[i % len(frames)]), i) + frames[i % len(frames)])
EOF
    gst-launch-1.0 -v udpsrc port="$media_port" buffer-size=$SOCKET_BUFFER caps="$RTP_CAPS" ! \
        rtpvp8depay ! vp8dec ! videoconvert ! fpsdisplaysink video-sink=ximagesink \
        text-overlay=false >"$out" 2>&1 &
    receiver=$!
    pids+=("$receiver")
    local i
    for i in $(seq 1 $((START_TIMEOUT_S * 10))); do  # listening once its port is bound
        port_in_use "$media_port" && break
        kill -0 "$receiver" 2>/dev/null || break
        sleep 0.1
    done
    cpu_over "$receiver" send_rtp "$long" "$1"
    sleep $SETTLE_S
    stop_process "$receiver" INT
    rendered=$(grep -o "rendered: [0-9]*" "$out" | tail -n 1 | tr -dc 0-9)
    dropped=$(grep -o "dropped: [0-9]*" "$out" | tail -n 1 | tr -dc 0-9)
    [ -n "$rendered" ] ||
        { rendered=0 dropped=0; echo "GStreamer rendered nothing:"; tail -n 5 "$out"; }
    rm -f "$long"
}

# ---------------------------------------------------------------- the clips

echo "== viewer before and after, ${WIDTH}x${HEIGHT}@${FPS} VP8, ${case_seconds} s per case"
echo "   $before_note"
echo "   GStreamer: $gst; rmem_max=$(cat /proc/sys/net/core/rmem_max); load at start: $(load)"
declare -A clip_of
for entry in "${CLIPS[@]}"; do
    read -r label kbps rectangle <<<"$entry"
    make_clip "$label" "$rectangle" "$kbps"
    clip_of[$label]=$work/clip_$label.ivf
done
declare -A r  # results: "<figure> <build> <case>"

# ---------------------------------------------------------------- 1. idle

echo
echo "-- 1. idle: ${IDLE_STREAM_SECONDS} s of 6 Mbit/s, ${BAR_HIDE_WAIT_S} s still, then" \
    "${IDLE_SECONDS} s with the bar hidden and ${IDLE_SECONDS} s with the mouse moving"
mouse=()  # one xdotool run: a step every MOUSE_STEP_S, back and forth
x=$MOUSE_X_FROM step=$MOUSE_STEP_PX
for i in $(seq 1 "$(calc "$IDLE_SECONDS / $MOUSE_STEP_S" 0)"); do
    [ $((x + step)) -le $MOUSE_X_TO ] && [ $((x + step)) -ge $MOUSE_X_FROM ] || step=$((-step))
    x=$((x + step))
    mouse+=(mousemove --window WINDOW $x $MOUSE_Y sleep $MOUSE_STEP_S)
done
move_mouse() { # move_mouse <pid>: the mouse path over that process's window
    local window
    window=$(xdotool search --onlyvisible --pid "$1" | head -n 1)
    xdotool "${mouse[@]/#WINDOW/$window}" || echo "xdotool failed over window '$window'" >&2
}
next_order
for build in "${order[@]}"; do
    start_viewer "$build" "idle_$build"
    start_host "idle_$build" "${clip_of[6]}" $IDLE_STREAM_SECONDS
    wait_host
    sleep $BAR_HIDE_WAIT_S
    cpu_over "$viewer" sleep $IDLE_SECONDS
    r[idle $build]=$cpu r[idle_x $build]=$x_cpu
    cpu_over "$viewer" move_mouse "$viewer"
    r[mouse $build]=$cpu r[mouse_x $build]=$x_cpu
    stop_process "$viewer"
    echo "$build: bar hidden cpu=${r[idle $build]}% (Xvfb ${r[idle_x $build]}%)," \
        "mouse moving cpu=$cpu% (Xvfb $x_cpu%)"
done

# ---------------------------------------------------------------- 2 and 3. streaming

echo
echo "-- 2/3. streaming: receiver CPU, and latency from the viewers' --stats"
for label in 6 50; do
    next_order
    for build in "${order[@]}"; do
        viewer_case "$build" "stream${label}_$build" "${clip_of[$label]}" "$case_seconds"
        r[cpu $build $label]=$cpu r[x $build $label]=$x_cpu
        r[sent $build $label]=$(value frames "$summary")
        for key in completed presented lat50 lat99 dec50 draw50; do
            r[$key $build $label]=$(value $key "$stats")
        done
        echo "$build $label Mbit/s: cpu=$cpu% (Xvfb $x_cpu%) frames sent=${r[sent $build $label]}" \
            "load=$(load)$stats"
    done
    if [ "$gst" = yes ]; then
        gst_case "stream${label}_gst" "${clip_of[$label]}" "$case_seconds"
        r[cpu gst $label]=$cpu r[x gst $label]=$x_cpu r[rendered gst $label]=$rendered
        echo "gst $label Mbit/s: cpu=$cpu% (Xvfb $x_cpu%) frames sent=$((case_seconds * FPS))" \
            "rendered=$rendered dropped=$dropped load=$(load)"
    fi
done

# ---------------------------------------------------------------- 4. loss

echo
echo "-- 4. 20 Mbit/s under loss (seed $LOSS_SEED)"
for loss in "${LOSSES[@]}"; do
    next_order
    for build in "${order[@]}"; do
        pictures_case "$build" "loss${loss}_pp_$build" "${clip_of[20]}" "$case_seconds" \
            --loss "$loss" --seed $LOSS_SEED
        r[pictures $build $loss]=$pictures
        echo "$build loss $loss: $pictures; load=$(load); host: lost=$(value lost "$summary")" \
            "keyframe_requests=$(value keyframe_requests "$summary")"
    done
    viewer_case after "loss${loss}_after" "${clip_of[20]}" "$case_seconds" --loss "$loss" \
        --seed $LOSS_SEED
    requests=$(value keyframe_requests "$summary") lost=$(value lost "$summary")
    r[heal $loss]="$(value heal50 "$stats")/$(value heal_max "$stats")"
    r[healed $loss]=$(value healed_seconds "$stats")
    r[per_lost $loss]=$(calc "$requests / ($lost > 0 ? $lost : 1)" 3)
    r[per_s $loss]=$(calc "$requests / $(value seconds "$summary")")
    echo "after viewer loss $loss: host lost=$lost keyframes=$(value keyframes "$summary")" \
        "keyframe_requests=$requests$stats"
done

# ---------------------------------------------------------------- 5. decoder behind

echo
echo "-- 5. decoder behind: 100 and 200 Mbit/s"
for label in 100 200; do
    next_order
    for build in "${order[@]}"; do
        viewer_case "$build" "behind${label}_$build" "${clip_of[$label]}" "$case_seconds"
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
        pictures_case "$build" "behind${label}_pp_$build" "${clip_of[$label]}" "$case_seconds"
        r[pictures $build $label]=$pictures
        echo "$build $label Mbit/s: $pictures"
    done
done

# ---------------------------------------------------------------- summary

get() { echo "${r[$*]:-n/a}"; }
pp() { # pp <build> <case>: "presented/true/damaged" from a presented_pictures line
    local line=${r[pictures $1 $2]:-}
    [[ "$line" == *presented=* ]] || { echo "${line:-n/a}"; return; }
    echo "$(value presented "$line")/$(value true "$line")/$(value damaged "$line")"
}
echo
echo "== summary ($before_note; after = build/bin; ${case_seconds} s per case;" \
    "took $((SECONDS - started)) s; load now $(load))"
echo "1. idle CPU, % of one core [Xvfb's]: $(printf '%-16s' "${builds[@]}")"
for phase in idle mouse; do
    [ $phase = idle ] && printf "   %-34s" "bar hidden, ${IDLE_SECONDS} s" ||
        printf "   %-34s" "mouse moving, ${IDLE_SECONDS} s"
    for build in "${builds[@]}"; do printf '%-16s' "$(get $phase $build) [$(get ${phase}_x $build)]"; done
    echo
done
echo "2. streaming: receiver CPU, % of a core [Xvfb's]; viewer pictures completed/presented~ of"
echo "   sent, GStreamer's rendered of sent"
for label in 6 50; do
    printf "   %2s Mbit/s:" "$label"
    for build in "${builds[@]}"; do
        printf "  %s %s [%s] %s/%s of %s" "$build" "$(get cpu $build $label)" "$(get x $build $label)" \
            "$(get completed $build $label)" "$(get presented $build $label)" "$(get sent $build $label)"
    done
    if [ "$gst" = yes ]; then
        printf "  gst %s [%s] %s of %s" "$(get cpu gst $label)" "$(get x gst $label)" \
            "$(get rendered gst $label)" "$((case_seconds * FPS))"
    fi
    echo
done
echo "3. latency at 6 Mbit/s, ms, medians of the per-second values (before's draw p50 counts every"
echo "   pass, most without a new picture): p50 p99 | decode p50 draw p50 | p50 - (decode + draw)"
for build in "${builds[@]}"; do
    printf "   %-7s %6s %6s | %5s %5s | %5s\n" "$build" "$(get lat50 $build 6)" "$(get lat99 $build 6)" \
        "$(get dec50 $build 6)" "$(get draw50 $build 6)" \
        "$(calc "$(get lat50 $build 6) - $(get dec50 $build 6) - $(get draw50 $build 6)")"
done
echo "4. 20 Mbit/s under loss: presented/true/damaged per build; after viewer: heal p50/max ms over"
echo "   the seconds that healed (2000: 2 s or more), keyframe requests per lost datagram and a second"
for loss in "${LOSSES[@]}"; do
    printf "   loss %-6s" "$loss"
    for build in "${builds[@]}"; do printf "  %s %-14s" "$build" "$(pp $build $loss)"; done
    printf "  heal %s (%s s)  kfrq/lost %s  kfrq/s %s\n" "$(get heal $loss)" "$(get healed $loss)" \
        "$(get per_lost $loss)" "$(get per_s $loss)"
done
echo "5. decoder behind: fps median, presented~/sent, completed/sent, latency p50 and p99 median (max),"
echo "   keyframe requests; presented_pictures presented/true/damaged"
for label in 100 200; do
    for build in "${builds[@]}"; do
        printf "   %3s Mbit/s %-6s fps %5s  %5s/%-5s %5s/%-5s %6s %6s (%s) ms  kfrq %-4s  pp %s\n" \
            "$label" "$build" "$(get fps_median $build $label)" "$(get presented $build $label)" \
            "$(get sent $build $label)" "$(get completed $build $label)" "$(get sent $build $label)" \
            "$(get lat50 $build $label)" "$(get lat99 $build $label)" "$(get lat99_max $build $label)" \
            "$(get requests $build $label)" "$(pp $build $label)"
    done
done
damaged=0
for case in "${LOSSES[@]}" 100 200; do
    count=$(value damaged "${r[pictures after $case]:-}")
    damaged=$([ -n "$count" ] && [ "$damaged" != n/a ] && echo $((damaged + count)) || echo n/a)
done
echo "targets (after):"
echo "   idle below ${IDLE_TARGET}% with the bar hidden: $(verdict "$(get idle after) < $IDLE_TARGET")"
if [ "$gst" = yes ]; then
    echo "   CPU at 6 Mbit/s no more than GStreamer's: $(verdict "$(get cpu after 6) <= $(get cpu gst 6)")"
fi
echo "   latency p50 at most ${LATENCY_OVER_WORK_MS} ms above decode + draw: $(verdict \
    "$(get lat50 after 6) <= $(get dec50 after 6) + $(get draw50 after 6) + $LATENCY_OVER_WORK_MS")"
echo "   only true pictures, under loss and behind (damaged: $damaged): $(verdict "$damaged == 0")"
echo "   100 Mbit/s: presented at least $PRESENTED_SHARE of sent, p99 median within ${P99_LIMIT_MS} ms:" \
    "$(verdict "$(get presented after 100) >= $PRESENTED_SHARE * $(get sent after 100) &&
        $(get lat99 after 100) <= $P99_LIMIT_MS")"
echo "   200 Mbit/s: latency bounded, last quarter's p50 within ${LATENCY_DRIFT_MS} ms of the first's" \
    "($(get lat50_last after 200) vs $(get lat50_first after 200)):" \
    "$(verdict "$(get lat50_last after 200) <= $(get lat50_first after 200) + $LATENCY_DRIFT_MS")"
