#!/usr/bin/env bash
# Quillet's window against its headless runner: ten 3-minute 128 kbit/s MP3s
# to WAV, by the window (offscreen, Convert → OK, see quillet_window_run.cpp)
# and by `quillet --batch -j N`, with the same number of workers, on the same
# files in the same run. Prints both times, their ratio (goal: at most 1.2)
# and the window's longest gap between two handled events (goal: < 100 ms).
#
#   bench/quillet_window_bench.sh [build/bin] [workers]
# QUILLET_BENCH_SECONDS shortens the pieces for a quick check of the script.
set -euo pipefail

seconds=${QUILLET_BENCH_SECONDS:-180}
bin=${1:-$(dirname "$0")/../build/bin}
bin=$(cd "$bin" && pwd)
workers=${2:-$(nproc)}
for tool in sox lame; do
  command -v "$tool" >/dev/null || { echo "$tool missing" >&2; exit 2; }
done
for program in quillet quillet_window_run; do
  [[ -x $bin/$program ]] || { echo "no $program in $bin" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src" "$work/window" "$work/batch"

. "$(dirname "$0")/bench_mp3s.sh"
make_bench_mp3s "$work/src" "$seconds"
for home in window batch; do
  {
    printf '10\r\n'
    for i in $(seq 0 9); do printf '.%s\r\n' "$work/src/track $i.mp3"; done
  } > "$work/$home/mp3towav.log"
  printf '[Settings]\nBitRate2=16\nFrequency2=44100\nChannels2=2\n' > "$work/$home/OPTION.INI"
done
cat "$work"/src/*.mp3 > /dev/null

now() { date +%s.%N; }
window_line=$(QUILLET_HOME="$work/window/" "$bin/quillet_window_run" "$work/window/" "$workers")
t0=$(now)
QUILLET_HOME="$work/batch/" "$bin/quillet" --batch -j "$workers" mp3towav > "$work/batch.log"
t1=$(now)
grep -q "10 converted, 0 failed" "$work/batch.log" || { cat "$work/batch.log"; echo "batch run failed" >&2; exit 1; }
cmp -s <(cd "$work/window/Wave Files" && cat *.wav | md5sum) <(cd "$work/batch/Wave Files" && cat *.wav | md5sum) ||
  { echo "the window and the batch wrote different files" >&2; exit 1; }

echo "$window_line"
window=$(sed -n 's/^window: \([0-9.]*\) s.*/\1/p' <<<"$window_line")
gap=$(sed -n 's/.*longest gap between handled events \([0-9.]*\) ms.*/\1/p' <<<"$window_line")
awk -v w="$window" -v b="$(echo "$t1 - $t0" | bc)" -v g="$gap" -v n="$workers" 'BEGIN {
  printf "%-34s %8.3f s\n", "window (offscreen), " n " worker(s)", w
  printf "%-34s %8.3f s\n", "quillet --batch -j " n, b
  printf "ratio window/batch: %.2f  (goal <= 1.2)\n", w / b
  printf "longest gap between window events: %.1f ms  (goal < 100)\n", g
}'
