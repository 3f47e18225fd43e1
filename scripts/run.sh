#!/usr/bin/env bash
# Installs what is missing, builds, and does the main job. On first use the
# data folder is seeded with a few short music-like MP3 and WAV files entered
# into both list files. With a display, Quillet starts; without one, both
# modes are converted headlessly (MP3 to WAV, WAV to MP3) and the output
# folders are printed.
#   QUILLET_HOME=DIR  use DIR as the data folder (default: beside the program)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
TARGETS="quillet quillet-batch QoroAudioFile QoroAudioInformation lame_enc qoro" bash scripts/build.sh
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ "${1:-}" != "--batch" ]; then
  exec build/bin/quillet
fi
exec build/bin/quillet-batch --seed --batch
