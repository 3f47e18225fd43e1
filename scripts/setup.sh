#!/usr/bin/env bash
# Installs what building, running and testing Quillet needs on Debian 12.
# Quiet and quick when everything is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libvorbis-dev libogg-dev libmp3lame-dev libmpg123-dev libgsm1-dev libflac-dev
  libopusfile-dev libopusenc-dev libsoxr-dev libebur128-dev
  # the media plug-in (its own package: these libraries have GPL parts)
  libavformat-dev libavcodec-dev libavutil-dev
  qt6-base-dev qt6-multimedia-dev qt6-svg-dev
  # packaging: dpkg-shlibdeps computes the .deb's dependencies (cpack needs file)
  dpkg-dev file
  # reference tools and oracles, used only by tests and benchmarks; every one
  # a test calls is here, so a missing tool is a set-up fault, never a skip
  ffmpeg mpg123 sox lame vorbis-tools flac opus-tools python3 python3-mutagen
  # libFuzzer harnesses
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
