#!/usr/bin/env bash
# Runs benchmarks several times and prints, for every "ratio ..." figure they
# print, the median over the runs: the figures to compare before and after a
# change that should not cost speed.
#
#   bench/ratio_medians.sh [build dir] [runs] [benchmark ...]
#   bench/ratio_medians.sh build 5 mpeg_readfile_bench audiofile_copy_bench deep_resample_bench
#
# The benchmarks create the components that lie beside them in the build
# directory, not those a registry names, so that two build directories (the
# code before and after a change) can be compared. A run that exits with an
# error (a step failed, or a goal the benchmark checks was missed) is noted
# and its figures still count; the script then exits with status 1.
set -euo pipefail
build=${1:-build}
runs=${2:-5}
shift $(($# < 2 ? $# : 2))
benches=("$@")
((${#benches[@]})) || benches=(mpeg_readfile_bench audiofile_copy_bench mp3_encode_bench deep_resample_bench)

cmake --build "$build" --target "${benches[@]}" >/dev/null
QORO_REGISTRY=$(mktemp -u "${TMPDIR:-/tmp}/qoro-no-registry.XXXXXX")
export QORO_REGISTRY
{
  failed=0
  for bench in "${benches[@]}"; do
    for ((i = 1; i <= runs; i++)); do
      status=0
      "$build/bin/$bench" | sed "s|^|$bench: |" || status=$?
      if ((status)); then
        echo "$bench: run $i exited with status $status" >&2
        failed=1
      fi
    done
  done
  ((!failed))
} | python3 -c '
import re, statistics, sys
# "<label>  <time> s   ratio <name> [=] <value>"
line = re.compile(r"^(\S+): *(.*?)\s+[0-9.]+ s\s+ratio\s+(.*?)\s*=?\s*([0-9.]+)\s*$")
runs = {}
for text in sys.stdin:
    m = line.match(text)
    if m:
        key = f"{m[1]}  {m[2]}  ({m[3]})"
        runs.setdefault(key, []).append(float(m[4]))
for key, values in sorted(runs.items()):
    print(f"{key:<80} median {statistics.median(values):.3f} of {len(values)}"
          f"  ({min(values):.3f} .. {max(values):.3f})")
'
