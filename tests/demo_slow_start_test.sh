#!/usr/bin/env bash
# The README's first command on a cold machine: scripts/demo.sh under a window manager that takes
# the screen and then does not answer for HELD_S seconds. The demo must still end with exit code 0
# and a screenshot of the viewer zoomed in over the middle of the pattern's green bar.
set -euo pipefail
cd "$(dirname "$0")/.."

# As long as a window manager held up on a cold machine has been seen to take.
readonly HELD_S=15
# The pattern's green bar is the middle one of seven: unzoomed it is a seventh of the picture's
# width. Two wheel steps (1.25 x 1.25) make it about 1.56 times as wide.
readonly BARS=7 MIN_ZOOM=1.4
# A pixel counts as the bar's green within this of (0, 255, 0) on each channel.
readonly TOLERANCE=60

real_openbox=$(command -v openbox) || { echo "openbox is not installed" >&2; exit 1; }
wrappers=$(mktemp -d)
trap 'rm -rf "$wrappers"' EXIT
cat >"$wrappers/openbox" <<EOF
#!/usr/bin/env bash
# openbox, stopped for $HELD_S s right after it has taken the screen
"$real_openbox" "\$@" &
pid=\$!
trap 'kill -CONT \$pid; kill \$pid; exit 0' TERM
until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; do
    kill -0 \$pid 2>/dev/null || exit 1
    sleep 0.01
done
kill -STOP \$pid
sleep $HELD_S & wait \$!
kill -CONT \$pid
wait \$pid
EOF
chmod +x "$wrappers/openbox"

rm -f demo-viewer.png
started=$SECONDS
status=0
env -u DISPLAY PATH="$wrappers:$PATH" DEMO_VIEWER_PORT=47830 DEMO_HOST_PORT=47831 \
    DEMO_PREVIEW_PORT=47832 bash scripts/demo.sh >"$wrappers/demo.log" 2>&1 || status=$?
echo "demo with the window manager held for $HELD_S s: exit $status after $((SECONDS - started)) s"
if [ $status -ne 0 ] || [ ! -s demo-viewer.png ]; then
    cat "$wrappers/demo.log"
    echo "FAIL: the demo did not end with exit 0 and a screenshot" >&2
    exit 1
fi
grep -q "demo: waiting for the window manager to answer" "$wrappers/demo.log" ||
    { cat "$wrappers/demo.log"; echo "FAIL: the demo did not say what it waited for" >&2; exit 1; }

# The green run through the middle of the row a third of the way down.
read -r width height < <(identify -format '%w %h\n' demo-viewer.png)
green=$(convert demo-viewer.png -crop "${width}x1+0+$((height / 3))" -depth 8 txt:- |
    awk -F'[(),]' -v t=$TOLERANCE -v mid=$((width / 2)) '
        NR > 1 {
            x = $1 + 0; r = $3 + 0; g = $4 + 0; b = $5 + 0
            is_green[x] = r <= t && b <= t && g >= 255 - t
        }
        END {
            if (!is_green[mid]) { print 0; exit }
            for (l = mid; l > 0 && is_green[l - 1]; l--) {}
            for (r = mid; is_green[r + 1]; r++) {}
            print r - l + 1
        }')
echo "green bar: $green of $width pixels (unzoomed about $((width / BARS)))"
if awk -v g="$green" -v w="$width" -v n=$BARS -v z=$MIN_ZOOM 'BEGIN { exit !(g >= z * w / n) }'; then
    echo "PASS"
else
    echo "FAIL: the viewer's screenshot is not zoomed in over the green bar" >&2
    exit 1
fi
