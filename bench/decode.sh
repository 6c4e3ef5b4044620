#!/usr/bin/env bash
# Runs build/bin/decode_bench (receiver decode+convert against ffmpeg, and latency), installing the
# ffmpeg command-line tool first if it is missing. Receiver log lines go to bench-decode.log.
#
#   bench/decode.sh [frames] [kbit/s]
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v ffmpeg >/dev/null; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends ffmpeg >/dev/null
fi
bash scripts/build.sh >/dev/null
build/bin/decode_bench "$@" 2>bench-decode.log | grep -v '^\[' 
