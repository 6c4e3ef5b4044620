#!/usr/bin/env bash
# Installs what building, testing and the demo need on Debian 12; quiet and quick when all is present.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config clang-format clang libclang-rt-14-dev
  libsdl2-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev libavformat-dev
  libopus-dev
  ffmpeg  # the command-line tool: the program tests make other encoders' streams with it
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth xdotool x11-apps x11-utils imagemagick openbox
  pulseaudio pulseaudio-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
