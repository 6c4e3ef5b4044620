#!/usr/bin/env bash
# Sets up, builds and runs every test: the plain build and the demo on a slow window manager, then
# the same suite under AddressSanitizer+UBSan, then the threaded tests under ThreadSanitizer, each
# fuzz target and a soak of each program for a short while, then the Windows build under wine.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
source scripts/lib/display.sh
start_virtual_display
wine_prefix=""
cleanup() {
    if [ -n "$wine_prefix" ]; then
        WINEPREFIX=$wine_prefix wineserver -k 2>/dev/null || true
        rm -rf "$wine_prefix"
    fi
    stop_virtual_display
}
trap cleanup EXIT

# Leaks inside the X, GL and SDL libraries are theirs, not ours; see the file for the list.
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1"
# How long each fuzz target runs here; scripts/fuzz.sh runs them longer on demand.
readonly FUZZ_SECONDS=30
# How long each soak runs here; bench/soak.sh runs ten minutes on demand.
readonly SOAK_SECONDS=60

configure_and_build() { # configure_and_build <dir> <target> [cmake options...]
    local dir=$1 target=$2
    shift 2
    echo "== $dir"
    cmake -S . -B "$dir" -G Ninja -DNIMBAR_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" --target "$target"
}

run_suite() {
    local dir=$1
    shift
    configure_and_build "$dir" all "$@"
    ctest --test-dir "$dir" --output-on-failure -j 2
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The README's first command, on a window manager that answers only after 15 s.
echo "== demo, slow window manager"
bash tests/demo_slow_start_test.sh
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DNIMBAR_SANITIZE=address,undefined \
    -DNIMBAR_BUILD_BENCH=OFF
# The decode thread, the decode queue and the picture hand-off.
configure_and_build build-tsan receiver_tests -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DNIMBAR_SANITIZE=thread -DNIMBAR_BUILD_BENCH=OFF
ctest --test-dir build-tsan --output-on-failure -j 2 -L threaded

# Every fuzz target for a bounded time from seeds made of real streams: any finding fails.
echo "== fuzz"
bash scripts/fuzz.sh "$FUZZ_SECONDS"

# A minute of each program under loss, duplication and reordering: alive, memory flat, a clean end.
echo "== soak"
bash bench/soak.sh "$SOAK_SECONDS"

# The Windows programs under wine, on the same display, fed by the Linux stream_host: the unit
# tests that need no display, then the program tests against the .exe files.
echo "== windows (wine)"
windows_started=$SECONDS
bash scripts/build-windows.sh
wine_prefix=$(mktemp -d)
export WINEPREFIX=$wine_prefix WINEDEBUG=-all
wineboot --init >/dev/null 2>&1
dist=$root/dist/windows-x86_64
# Both programs declare per-monitor-v2 dpi awareness in their manifest (resource type 24, id 1).
for program in video_player stream_preview; do
    manifest=$(wrestool -x --raw --type=24 --name=1 "$dist/$program.exe" 2>&1 || true)
    if [[ "$manifest" != *"<dpiAwareness"*">PerMonitorV2, PerMonitor</dpiAwareness>"* ]]; then
        echo "$program.exe declares no per-monitor-v2 dpi awareness: $manifest" >&2
        exit 1
    fi
done
wine build-windows/bin/unit_tests.exe --gtest_brief=1
wine build-windows/bin/viewer_tests.exe --gtest_brief=1
NIMBAR_LAUNCHER=wine NIMBAR_VIDEO_PLAYER=$dist/video_player.exe \
    NIMBAR_STREAM_PREVIEW=$dist/stream_preview.exe build/bin/program_tests --gtest_brief=1
echo "== windows stage took $((SECONDS - windows_started)) s"
echo "== all tests passed"
