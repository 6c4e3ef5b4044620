#!/usr/bin/env bash
# Flood: each program receives, on its own port, a valid stream from stream_host and, mixed in, a
# flood of hostile datagrams from bench/stress_helper sent as fast as one thread can: random bytes
# of every length from 0 to 65507 with random headers, fragment-shaped datagrams with random
# headers, and nearly right ones (fragment_count 0 and 65535, fragment_index past the count,
# payload_size 0, past 1400 and past the datagram's end, audio data_size past the end, frame ids 0
# and 4294967295, headers cut short). The valid stream is the host's test pattern: VP8 1920x1080@30
# with the audio tone for video_player, raw 1280x720@30 for stream_preview.
# Every SHOT_PERIOD_S the program's window is read (stress_helper look): consecutive pictures must
# differ (the pattern's block moves) and the seven colour bars must be where the pattern puts them.
# Each program takes the flood twice: as fast as the sender can, which on two cores outruns any
# reader (the kernel then drops datagrams of the valid stream too, and a raw frame of 2634 fragments
# cannot arrive whole), and held to HELD_RATE, which a reader can take in beside its stream.
# Pass, per program and flood: no crash (alive throughout, exit code 0 and its teardown lines on
# SIGTERM at the end), the bars right in every picture, the stream going on after the flood, and
# resident memory during the flood under RSS_LIMIT_FACTOR times what it was when the flood began;
# at the held rate also every pair of consecutive pictures different (at full speed reported).
# Reports the flood's rate and what the valid stream did meanwhile (from --stats).
# Under Xvfb when there is no display; SDL's audio to the disk driver.
#
# NIMBAR_FLOOD_PROGRAMS picks the programs ("viewer preview" by default); NIMBAR_FLOOD_LIVE_IDS=no
# keeps every flood datagram off the live stream's frame ids (stress_helper --live-ids).
#
# NIMBAR_FLOOD_ATTACKS="trickle resync" runs, per program, one case per attack on the frame
# numbering instead of the two floods (stress_helper flood --attack, at the attack's own pace):
# trickle, a whole one-fragment frame about 60,000 ids ahead of the live stream every 500 ms (for
# the viewer a tiny VP8 keyframe); resync, every 100 ms the first of two fragments of a frame that
# never completes, in turn 1000 ids behind the live stream and 1,000,000 ahead; junk, every 5 s
# three whole frames in sequence 1,000,000 ids ahead, 20 ms apart. The pass
# conditions are the held flood's: every pair of consecutive pictures different, bars right.
# NIMBAR_FLOOD_FPS sets the valid streams' frame rate (30): a slow stream, a still screen's, is
# what an attack on the numbering would freeze longest.
# NIMBAR_FLOOD_BIN=<a bin folder> takes video_player and stream_preview from another build (an
# earlier one, to set its figures beside these), stream_host and stress_helper still from this one.
#
#   bench/flood.sh [seconds of flood per program]   (60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

# The viewer's valid stream: the host's pattern, pre-encoded so that the host's encoder does not
# take a core from the programs; a 3 s loop, so pictures 2 s apart always differ.
readonly VIEWER_WIDTH=1920 VIEWER_HEIGHT=1080 VIEWER_FPS=${NIMBAR_FLOOD_FPS:-30} PREENCODE_FRAMES=90
# The preview's valid stream: the host's raw pattern at the size the host previews.
readonly PREVIEW_WIDTH=1280 PREVIEW_HEIGHT=720 PREVIEW_FPS=${NIMBAR_FLOOD_FPS:-30}
# The valid stream runs before the flood (to have a picture up) and after it (to see it go on).
readonly LEAD_S=5 TAIL_S=5
# Pictures are read this often: not a multiple of the 3 s loop.
readonly SHOT_PERIOD_S=2
# Resident memory may grow to this factor of its value when the flood starts.
readonly RSS_LIMIT_FACTOR=2
# SIGTERM at the end to the exit, at most.
readonly STOP_TIMEOUT_S=30
# Reproducible floods.
readonly FLOOD_SEED=5
# The attacks the script knows (stress_helper flood --attack), and what each sends.
readonly KNOWN_ATTACKS=(trickle resync junk)
declare -A ATTACK_NOTE=(
    [trickle]="a one-fragment frame ~60,000 ids ahead every 500 ms"
    [resync]="half a frame 1000 ids behind or 1,000,000 ahead every 100 ms, in turn"
    [junk]="three whole frames in sequence 1,000,000 ids ahead, 20 ms apart, every 5 s"
)
# How long a window read waits for the window: a loaded machine can be slow to answer.
readonly LOOK_TIMEOUT_MS=5000
# The program's life and memory are checked this often during the flood.
readonly POLL_S=0.5
# Ports are looked for from here up, clear of the other benchmarks' ranges.
readonly BASE_PORT=48200
# The held flood, in datagrams a second: a quarter of what the preview reads here at most, beside
# its own 79,000 a second.
readonly HELD_RATE=40000

source bench/stress_lib.sh
attacks=${NIMBAR_FLOOD_ATTACKS:-}
for attack in $attacks; do
    [[ " ${KNOWN_ATTACKS[*]} " == *" $attack "* ]] ||
        { echo "unknown attack '$attack'; attacks: ${KNOWN_ATTACKS[*]}" >&2; exit 2; }
done
programs_note="this build's programs"
if [ -n "${NIMBAR_FLOOD_BIN:-}" ]; then
    for program in video_player stream_preview; do
        [ -x "$NIMBAR_FLOOD_BIN/$program" ] ||
            { echo "no $program in NIMBAR_FLOOD_BIN=$NIMBAR_FLOOD_BIN" >&2; exit 2; }
    done
    viewer_command=("$NIMBAR_FLOOD_BIN/video_player")
    preview_command=("$NIMBAR_FLOOD_BIN/stream_preview")
    programs_note="video_player and stream_preview from $NIMBAR_FLOOD_BIN"
fi
stress_begin flood
failures=()
started=$SECONDS

# flood_case <viewer|preview> <rate | attack>: one program, its valid stream, the flood at that
# rate (0: as fast as it goes) or the attack at its own pace; prints the figures.
flood_case() {
    local kind=$1 rate=$2 name=flood_$1_$2 port control title pid host flood flood_options label
    label="$rate/s"
    [[ "$rate" =~ ^[0-9]+$ ]] || label="attack $rate"
    port=$(free_port $BASE_PORT)
    control=$(free_port $((port + 1)))
    if [ "$kind" = viewer ]; then
        title="Stream: $name"
        start_viewer "$name" "$port" "$control" --width $VIEWER_WIDTH --height $VIEWER_HEIGHT \
            --codec 0 --has-audio
        pid=$viewer
        "$bin/stream_host" --port "$port" --listen-port "$control" --codec vp8 \
            --width $VIEWER_WIDTH --height $VIEWER_HEIGHT --fps $VIEWER_FPS \
            --preencode $PREENCODE_FRAMES --audio tone --seconds $((LEAD_S + seconds + TAIL_S)) \
            >"$work/$name.host.out" 2>"$work/$name.host.err" &
    else
        title=$name
        start_preview "$name" "$port" --width $PREVIEW_WIDTH --height $PREVIEW_HEIGHT
        pid=$preview
        "$bin/stream_host" --port "$port" --width $PREVIEW_WIDTH --height $PREVIEW_HEIGHT \
            --fps $PREVIEW_FPS --seconds $((LEAD_S + seconds + TAIL_S)) \
            >"$work/$name.host.out" 2>"$work/$name.host.err" &
    fi
    host=$!
    pids+=("$host")
    # The first picture, then the lead.
    local pattern='fps=[1-9]'
    [ "$kind" = preview ] && pattern='shown=[1-9]'
    if ! wait_for_line "$work/$name.out" "$pattern" $START_TIMEOUT_S "$pid"; then
        failures+=("$kind ($label): no picture from the valid stream before the flood")
        echo "FAIL: $kind showed no picture from the valid stream within ${START_TIMEOUT_S} s"
    fi
    sleep $LEAD_S
    local rss_start lines_before shots=$work/$name.shots rss_max
    rss_start=$(rss_kb "$pid")
    rss_max=${rss_start:-0}
    lines_before=$(grep -c ' stats: ' "$work/$name.out" || true)
    if [[ "$rate" =~ ^[0-9]+$ ]]; then
        flood_options=(--rate "$rate" --live-ids "${NIMBAR_FLOOD_LIVE_IDS:-yes}")
    else
        # Where the live stream is now: the frames completed so far, a second old at most.
        local completed
        completed=$(value completed "$(grep ' stats: ' "$work/$name.out" | tail -n 1)")
        flood_options=(--attack "$rate" --live-start-id $((${completed:-0} + 1))
            --live-fps "${NIMBAR_FLOOD_FPS:-30}")
    fi
    "$bin/stress_helper" flood --port "$port" --seconds "$seconds" --target "$kind" \
        --seed $FLOOD_SEED "${flood_options[@]}" >"$work/$name.flood.out" 2>&1 &
    flood=$!
    pids+=("$flood")
    : >"$shots"
    local next_shot=$SECONDS rss alive=yes
    while kill -0 "$flood" 2>/dev/null; do
        if ! kill -0 "$pid" 2>/dev/null; then
            alive=no
            break
        fi
        rss=$(rss_kb "$pid")
        [ "${rss:-0}" -le "$rss_max" ] || rss_max=$rss
        if [ $SECONDS -ge $next_shot ]; then
            "$bin/stress_helper" look --title "$title" --timeout-ms $LOOK_TIMEOUT_MS >>"$shots" 2>&1 || true
            # A wrong picture is kept as an image for whoever reads the kept outputs.
            if tail -n 1 "$shots" | grep -q 'bars=bad' && [ -n "${NIMBAR_STRESS_KEEP:-}" ] &&
                command -v import >/dev/null; then
                import -window "$(xdotool search --name "^${title}\$" | head -n 1)" \
                    "$work/$name.bad.$SECONDS.png" 2>/dev/null || true
            fi
            next_shot=$((next_shot + SHOT_PERIOD_S))
        fi
        sleep $POLL_S
    done
    wait "$flood" || true
    forget "$flood"
    local lines_after
    lines_after=$(grep -c ' stats: ' "$work/$name.out" || true)
    # After the flood: the stream goes on.
    sleep $TAIL_S
    "$bin/stress_helper" look --title "$title" --timeout-ms $LOOK_TIMEOUT_MS >"$work/$name.after" 2>&1 || true
    if kill -0 "$pid" 2>/dev/null; then
        stop_program "$pid" $STOP_TIMEOUT_S
    else
        alive=no
        wait "$pid" 2>/dev/null || true
        forget "$pid"
        stop_status=crashed stop_seconds=-
    fi
    kill -TERM "$host" 2>/dev/null || true
    wait "$host" 2>/dev/null || true
    forget "$host"

    local order
    order=$(teardown_in_order "$work/$name.out" "$kind") && order="in order"
    echo "flood: $(grep '^\[Flood\]' "$work/$name.flood.out" || echo "none: $(cat "$work/$name.flood.out")")"
    # The valid stream during the flood: the stats lines it printed meanwhile.
    if [ "$kind" = viewer ]; then
        sed -n "$((lines_before + 1)),${lines_after}p" <(grep ' stats: ' "$work/$name.out") | awk '
            function val(key,   rest) { rest = $0; return sub(".* " key "=", "", rest) ? rest + 0 : 0 }
            { n++; fps[n] = val("fps"); if (n == 1) c0 = val("completed"); c1 = val("completed")
              sum += fps[n]; dps += val("datagrams_per_s"); if (val("latency_p99_ms") > l99) l99 = val("latency_p99_ms") }
            END {
                for (i = 2; i <= n; i++) { t = fps[i]; for (j = i - 1; j >= 1 && fps[j] > t; j--) fps[j + 1] = fps[j]; fps[j + 1] = t }
                printf "valid stream during the flood (%d stats lines): completed/s=%.1f presented/s mean=%.1f median=%.1f min=%.1f; datagrams read/s=%.0f; latency p99 max=%.1f ms\n",
                    n, (n > 1 ? (c1 - c0) / (n - 1) : 0), (n ? sum / n : 0), (n ? fps[int((n + 1) / 2)] : 0),
                    (n ? fps[1] : 0), (n ? dps / n : 0), l99
            }'
        echo "viewer totals: $(grep ' stats: ' "$work/$name.out" | tail -n 1)"
    else
        sed -n "$((lines_before + 1)),${lines_after}p" <(grep ' stats: ' "$work/$name.out") | awk '
            function val(key,   rest) { rest = $0; return sub(".* " key "=", "", rest) ? rest + 0 : 0 }
            { n++; s[n] = val("shown"); c[n] = val("completed"); d[n] = val("datagrams") }
            END {
                min = -1
                for (i = 2; i <= n; i++) { x = s[i] - s[i - 1]; if (min < 0 || x < min) min = x }
                printf "valid stream during the flood (%d stats lines): completed/s=%.1f shown/s=%.1f (min %d in a second); datagrams read/s=%.0f\n",
                    n, (n > 1 ? (c[n] - c[1]) / (n - 1) : 0), (n > 1 ? (s[n] - s[1]) / (n - 1) : 0), min,
                    (n > 1 ? (d[n] - d[1]) / (n - 1) : 0)
            }'
        echo "preview totals: $(grep ' stats: ' "$work/$name.out" | tail -n 1)"
        echo "preview stderr lines: $(wc -l <"$work/$name.err") ($(grep -c 'recvfrom() failed' "$work/$name.err" || true) oversized datagrams reported)"
    fi
    echo "host: $(grep 'Summary' "$work/$name.host.out" | cut -d' ' -f3-8 || true)"
    local shot_count same bad
    shot_count=$(grep -c '^\[Look\]' "$shots" || true)
    same=$(awk '/^\[Look\]/ { d = $3; if (d == prev) n++; prev = d } END { print n + 0 }' "$shots")
    bad=$(grep -c 'bars=bad' "$shots" || true)
    echo "pictures read: $shot_count during the flood, $same consecutive pairs equal, $bad with bars wrong" \
        "$(grep -m1 'bars=bad' "$shots" | cut -d' ' -f2,5- || true); after it: $(cut -d' ' -f2,4- "$work/$name.after")"
    echo "RSS (KB): at flood start=$rss_start max during=$rss_max (limit ${RSS_LIMIT_FACTOR}x)"
    echo "SIGTERM at the end -> exit=$stop_status after ${stop_seconds} s; teardown $order"

    [ $alive = yes ] || failures+=("$kind ($label): died during the flood")
    [ "$stop_status" = 0 ] || failures+=("$kind ($label): exit $stop_status on SIGTERM")
    [ "$order" = "in order" ] || failures+=("$kind ($label): teardown $order")
    [ "$shot_count" -ge 2 ] || failures+=("$kind ($label): only $shot_count pictures could be read")
    if [ "$rate" != 0 ]; then  # held floods and attacks
        [ "$same" = 0 ] || failures+=("$kind ($label): $same pairs of consecutive pictures were the same")
    fi
    [ "$bad" = 0 ] || failures+=("$kind ($label): $bad pictures with the bars wrong")
    grep -q 'bars=ok' "$work/$name.after" || failures+=("$kind ($label): bars wrong after the flood")
    [ "$rss_max" -lt $((RSS_LIMIT_FACTOR * ${rss_start:-0})) ] ||
        failures+=("$kind ($label): resident memory reached $rss_max KB from $rss_start KB")
}

echo "== flood, ${seconds} s per program${attacks:+ and attack (${attacks})}; $programs_note;" \
    "load at start: $(load)"
echo
for program in ${NIMBAR_FLOOD_PROGRAMS:-viewer preview}; do
    if [ "$program" = viewer ]; then
        echo "-- video_player, VP8 ${VIEWER_WIDTH}x${VIEWER_HEIGHT}@${VIEWER_FPS} test pattern + audio tone"
    else
        echo "-- stream_preview, raw ${PREVIEW_WIDTH}x${PREVIEW_HEIGHT}@${PREVIEW_FPS} test pattern"
    fi
    for rate in ${attacks:-0 $HELD_RATE}; do
        if [ -n "$attacks" ]; then
            echo "   attack $rate: ${ATTACK_NOTE[$rate]}"
        else
            echo "   flood at ${rate/#0/full speed}$([ "$rate" = 0 ] || echo " datagrams/s")"
        fi
        flood_case "$program" "$rate"
        echo
    done
done
echo "== flood took $((SECONDS - started)) s; load now: $(load)"
if [ ${#failures[@]} -gt 0 ]; then
    printf 'FAIL: %s\n' "${failures[@]}"
    exit 1
fi
echo "PASS"
