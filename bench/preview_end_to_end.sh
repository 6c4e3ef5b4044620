#!/usr/bin/env bash
# End to end: stream_host streams raw frames into stream_preview (under Xvfb when there is no
# display) for 10 s per case and reports frames sent, completed and shown and the datagram rate,
# next to a bare recvfrom drain loop flooded by the same host in the same run.
#
#   bench/preview_end_to_end.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}

# The preview's last frames are counted once a stats line has come after them.
readonly SETTLE_S=1
# The drain outlasts the host by this much, so that it reads every datagram sent.
readonly DRAIN_EXTRA_S=3
# SIGTERM to the preview's exit, at most.
readonly STOP_TIMEOUT_S=30

source bench/stress_lib.sh
[ -x "$bin/udp_drain" ] || ninja -C build udp_drain >/dev/null
stress_begin preview_end_to_end
port=$(free_port 47900)

preview_case() { # preview_case <width> <height> <fps> [host options...]
    local width=$1 height=$2 fps=$3 name=preview_$1x$2_$3 summary stats received
    shift 3
    start_preview "$name" "$port" --width "$width" --height "$height"
    summary=$("$bin/stream_host" --port "$port" --width "$width" --height "$height" --fps "$fps" \
        --seconds "$seconds" "$@" | grep Summary)
    sleep $SETTLE_S
    stop_program "$preview" $STOP_TIMEOUT_S
    stats=$(grep "stats:" "$work/$name.out" | tail -n 1)
    received=$(value datagrams "$stats")
    printf "%-28s sent=%-5s completed=%-5s shown=%-5s expired=%-4s datagrams=%s/%s rate=%.0f/s\n" \
        "${width}x${height}@${fps} $*" "$(value frames "$summary")" "$(value completed "$stats")" \
        "$(value shown "$stats")" "$(value expired "$stats")" "$received" \
        "$(value datagrams "$summary")" "$(echo "$received / $(value seconds "$summary")" | bc -l)"
}

drain_case() { # drain_case <width> <height>: the host floods as fast as it can send
    local summary result drain
    "$bin/udp_drain" --port "$port" --seconds $((seconds + DRAIN_EXTRA_S)) >"$work/drain.out" &
    drain=$!
    pids+=("$drain")
    wait_for_line "$work/drain.out" Ready $START_TIMEOUT_S "$drain"
    summary=$("$bin/stream_host" --port "$port" --width "$1" --height "$2" --fps 1000 \
        --seconds "$seconds" | grep Summary)
    wait_exit "$drain" $((DRAIN_EXTRA_S + STOP_TIMEOUT_S)) "${EPOCHREALTIME/./}"
    result=$(grep "datagrams=" "$work/drain.out")
    printf "%-28s sent=%s received=%s rate=%s/s\n" "bare drain, host flooding" \
        "$(value datagrams "$summary")" "$(value datagrams "$result")" "$(value rate "$result")"
}

echo "== preview end to end, ${seconds} s per case"
preview_case 1280 720 60
preview_case 1920 1080 30
preview_case 1920 1080 30 --spread
drain_case 1280 720
