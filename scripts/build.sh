#!/usr/bin/env bash
# Configures and builds into BUILD_DIR (default: build). Extra arguments go to
# CMake, e.g. -DQORO_SANITIZE=ON. TARGETS (space-separated) limits the build.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja "$@" >/dev/null
if [ -n "${TARGETS:-}" ]; then
  # shellcheck disable=SC2086
  cmake --build "$build_dir" --target $TARGETS
else
  cmake --build "$build_dir"
fi
