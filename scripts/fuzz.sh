#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while (default 60 s), keeping the
# corpus in fuzz-corpus/. Any crash stops with the input that caused it.
#
#   scripts/fuzz.sh [seconds per target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bash scripts/setup.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DNIMBAR_BUILD_FUZZ=ON -DNIMBAR_BUILD_TESTS=OFF -DNIMBAR_BUILD_BENCH=OFF \
    -DNIMBAR_SANITIZE=address,undefined,fuzzer-no-link >/dev/null
cmake --build build-fuzz --target frame_assembler_fuzz option_parsers_fuzz video_packet_fuzz
for target in frame_assembler_fuzz option_parsers_fuzz video_packet_fuzz; do
    mkdir -p "fuzz-corpus/$target"
    echo "== $target, ${seconds} s"
    "build-fuzz/bin/$target" -max_total_time="$seconds" -print_final_stats=1 "fuzz-corpus/$target" \
        2>&1 | grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|==[0-9]+==ERROR)' || true
done
