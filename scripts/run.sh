#!/usr/bin/env bash
# Installs what is missing, builds, and does the main job: converts MP3 to WAV
# and WAV to MP3 through the components.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh -DQORO_BUILD_TESTS=OFF -DQORO_BUILD_BENCH=OFF
exec build/bin/qoro-demo "$@"
