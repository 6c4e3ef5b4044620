#!/usr/bin/env bash
# End to end: stream_host streams raw frames into stream_preview (under Xvfb when there is no
# display) for 10 s per case and reports frames sent, completed and shown and the datagram rate,
# next to a bare recvfrom drain loop flooded by the same host in the same run.
#
#   bench/preview_end_to_end.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}

bash scripts/build.sh >/dev/null
source scripts/lib/display.sh
start_virtual_display
trap stop_virtual_display EXIT
bin=build/bin
port=47900

value() { # value <key> <line>
    sed -n "s/.*[ :]$1=\([0-9.]*\).*/\1/p" <<<"$2"
}

preview_case() { # preview_case <width> <height> <fps> [host options...]
    local width=$1 height=$2 fps=$3
    shift 3
    local log
    log=$(mktemp)
    "$bin/stream_preview" --port $port --width "$width" --height "$height" --stats >"$log" &
    local preview=$!
    for _ in $(seq 1 100); do grep -q "Ready to receive" "$log" && break; sleep 0.1; done
    local summary
    summary=$("$bin/stream_host" --port $port --width "$width" --height "$height" --fps "$fps" \
        --seconds "$seconds" "$@" | grep Summary)
    sleep 1
    kill -TERM $preview
    wait $preview || true
    local stats
    stats=$(grep "stats:" "$log" | tail -n 1)
    rm -f "$log"
    local sent_seconds received
    sent_seconds=$(value seconds "$summary")
    received=$(value datagrams "$stats")
    printf "%-28s sent=%-5s completed=%-5s shown=%-5s expired=%-4s datagrams=%s/%s rate=%.0f/s\n" \
        "${width}x${height}@${fps} $*" "$(value frames "$summary")" "$(value completed "$stats")" \
        "$(value shown "$stats")" "$(value expired "$stats")" "$received" \
        "$(value datagrams "$summary")" "$(echo "$received / $sent_seconds" | bc -l)"
}

drain_case() { # drain_case <width> <height>: the host floods as fast as it can send
    local width=$1 height=$2
    local log
    log=$(mktemp)
    "$bin/udp_drain" --port $port --seconds $((seconds + 3)) >"$log" &
    local drain=$!
    for _ in $(seq 1 100); do grep -q "Ready" "$log" && break; sleep 0.1; done
    local summary
    summary=$("$bin/stream_host" --port $port --width "$width" --height "$height" --fps 1000 \
        --seconds "$seconds" | grep Summary)
    wait $drain
    local result
    result=$(grep "datagrams=" "$log")
    rm -f "$log"
    printf "%-28s sent=%s received=%s rate=%s/s\n" "bare drain, host flooding" \
        "$(value datagrams "$summary")" "$(value datagrams "$result")" "$(value rate "$result")"
}

echo "== preview end to end, ${seconds} s per case"
preview_case 1280 720 60
preview_case 1920 1080 30
preview_case 1920 1080 30 --spread
drain_case 1280 720
