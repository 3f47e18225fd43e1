#!/usr/bin/env bash
# Installs what building, running and testing Quillet needs on Debian 12.
# Quiet and quick when everything is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libvorbis-dev libogg-dev libmp3lame-dev libmpg123-dev libgsm1-dev
  qt6-base-dev qt6-multimedia-dev qt6-svg-dev
  # reference tools, used only by tests and benchmarks
  ffmpeg mpg123 sox lame vorbis-tools
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
