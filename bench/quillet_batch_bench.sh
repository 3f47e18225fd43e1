#!/usr/bin/env bash
# The converter's main job against mpg123: ten 3-minute 128 kbit/s MP3s
# converted to WAV by `quillet --batch mp3towav` (or quillet-batch, the same
# core without windows) and by `mpg123 -w`, on the same files in the same run.
# Prints both wall-clock times and the ratio (goal: at most 1.5).
#
#   bench/quillet_batch_bench.sh [build/bin]      (folder holding the programs)
# QUILLET_BENCH_SECONDS shortens the pieces for a quick check of the script.
set -euo pipefail

seconds=${QUILLET_BENCH_SECONDS:-180}
bin=${1:-$(dirname "$0")/../build/bin}
bin=$(cd "$bin" && pwd)
if [[ -x $bin/quillet ]]; then program=$bin/quillet; else program=$bin/quillet-batch; fi
for tool in sox lame mpg123; do
  command -v "$tool" >/dev/null || { echo "$tool missing" >&2; exit 2; }
done
[[ -x $program ]] || { echo "no quillet or quillet-batch in $bin" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src" "$work/home" "$work/mpg123"

. "$(dirname "$0")/bench_mp3s.sh"
make_bench_mp3s "$work/src" "$seconds"

{
  printf '10\r\n'
  for i in $(seq 0 9); do printf '.%s\r\n' "$work/src/track $i.mp3"; done
} > "$work/home/mp3towav.log"
printf '[Settings]\nBitRate2=16\nFrequency2=44100\nChannels2=2\n' > "$work/home/OPTION.INI"

now() { date +%s.%N; }

# Warm the page cache for both contenders alike.
cat "$work"/src/*.mp3 > /dev/null

t0=$(now)
QUILLET_HOME="$work/home/" "$program" --batch mp3towav > "$work/quillet.log"
t1=$(now)
for i in $(seq 0 9); do
  mpg123 -q -w "$work/mpg123/track $i.wav" "$work/src/track $i.mp3"
done
t2=$(now)

grep -q "10 converted, 0 failed" "$work/quillet.log" || { cat "$work/quillet.log"; echo "quillet run failed" >&2; exit 1; }
ours=$(du -cb "$work/home/Wave Files/"*.wav | tail -1 | cut -f1)
theirs=$(du -cb "$work/mpg123/"*.wav | tail -1 | cut -f1)

awk -v q="$(echo "$t1 - $t0" | bc)" -v m="$(echo "$t2 - $t1" | bc)" -v a="$ours" -v b="$theirs" -v p="$(basename "$program")" 'BEGIN {
  printf "%-28s %8.3f s  (%d WAV bytes)\n", p " --batch mp3towav", q, a
  printf "%-28s %8.3f s  (%d WAV bytes)\n", "mpg123 -w", m, b
  printf "ratio quillet/mpg123: %.2f  (goal <= 1.5)\n", q / m
}'
