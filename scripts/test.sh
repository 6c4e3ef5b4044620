#!/usr/bin/env bash
# Sets up, builds and runs every test: the plain build, then the same suite under
# AddressSanitizer+UBSan. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
source scripts/lib/display.sh
start_virtual_display
trap stop_virtual_display EXIT

# Leaks inside the X, GL and SDL libraries are theirs, not ours; see the file for the list.
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

run_suite() {
    local dir=$1
    shift
    echo "== $dir"
    cmake -S . -B "$dir" -G Ninja -DNIMBAR_WERROR=ON "$@" >/dev/null
    cmake --build "$dir"
    ctest --test-dir "$dir" --output-on-failure -j 2
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DNIMBAR_SANITIZE=address,undefined \
    -DNIMBAR_BUILD_BENCH=OFF
echo "== all tests passed"
