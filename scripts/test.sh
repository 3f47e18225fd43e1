#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
#   bash scripts/test.sh                 normal build in build/
#   bash scripts/test.sh --sanitize      AddressSanitizer + UBSan build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

# Tests need no full debug information; leaving it out makes the build much
# quicker on small machines. The sanitizer build keeps line tables for its
# stack traces.
cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG")
if [ "${1:-}" = "--sanitize" ]; then
  export BUILD_DIR=${BUILD_DIR:-build-asan}
  cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
              -DQORO_SANITIZE=ON -DQORO_BUILD_BENCH=OFF)
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
  export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/support/lsan.supp:print_suppressions=0}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
fi
build_dir=${BUILD_DIR:-build}
bash scripts/build.sh "${cmake_args[@]}"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build_dir" -j "$(nproc)" --output-on-failure --timeout 600
