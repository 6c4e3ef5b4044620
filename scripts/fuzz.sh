#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan and UBSan), makes seed inputs from real VP8, H.264,
# Opus and raw streams, and runs each target for a while (default 60 s), growing the corpus in
# fuzz-corpus/. Fails on any crash, sanitizer report, leak, time-out or memory blow-up, after
# printing the target's report; the input that caused it is kept as build-fuzz/<target>-crash-….
#
#   scripts/fuzz.sh [seconds per target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
targets=(frame_assembler_fuzz option_parsers_fuzz video_packet_fuzz viewer_datagram_fuzz)
# One input may take this long (the viewer's target decodes whole frames) before it counts as a
# hang, and the process this much memory before it counts as a blow-up.
readonly INPUT_TIMEOUT_S=30
readonly RSS_LIMIT_MB=3072

bash scripts/setup.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DNIMBAR_BUILD_FUZZ=ON -DNIMBAR_BUILD_TESTS=OFF -DNIMBAR_BUILD_BENCH=OFF \
    -DNIMBAR_SANITIZE=address,undefined,fuzzer-no-link >/dev/null
cmake --build build-fuzz --target "${targets[@]}" make_fuzz_seeds
seeds=build-fuzz/seeds
rm -rf "$seeds"
if ! ASAN_OPTIONS=detect_leaks=0 build-fuzz/bin/make_fuzz_seeds "$seeds" >build-fuzz/seeds.log 2>&1
then
    cat build-fuzz/seeds.log >&2
    exit 1
fi

failed=0
for target in "${targets[@]}"; do
    mkdir -p "fuzz-corpus/$target" "$seeds/$target"
    log=build-fuzz/$target.log
    if "build-fuzz/bin/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -timeout=$INPUT_TIMEOUT_S -rss_limit_mb=$RSS_LIMIT_MB \
        -artifact_prefix="build-fuzz/$target-" "fuzz-corpus/$target" "$seeds/$target" \
        >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "== $target: ${runs:-?} inputs in ${seconds} s, nothing found"
    else
        failed=1
        echo "== $target FAILED; the end of its log ($log):" >&2
        tail -n 60 "$log" >&2
    fi
done
exit $failed
