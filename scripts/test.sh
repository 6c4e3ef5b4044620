#!/usr/bin/env bash
# Sets up, builds and runs every test: the plain build, then the same suite under
# AddressSanitizer+UBSan, then the threaded tests under ThreadSanitizer. Exits non-zero on any
# failure.
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
export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1"

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
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DNIMBAR_SANITIZE=address,undefined \
    -DNIMBAR_BUILD_BENCH=OFF
# The decode thread, the decode queue and the picture hand-off.
configure_and_build build-tsan receiver_tests -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DNIMBAR_SANITIZE=thread -DNIMBAR_BUILD_BENCH=OFF
ctest --test-dir build-tsan --output-on-failure -j 2 -L threaded
echo "== all tests passed"
