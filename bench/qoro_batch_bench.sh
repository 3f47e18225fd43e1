#!/bin/sh
# Batch conversion speed of qoro: N three-minute MP3 files to WAV with -j 1
# and with -j J (default 2), and ffmpeg -threads 1 run once per file in
# sequence, all in the same run on the same material. Prints the times and
# the ratios. Goal: -j 2 at least 1.8 times as fast as -j 1 on two cores.
#
#   bench/qoro_batch_bench.sh [BUILD_DIR] [FILES] [JOBS]   (defaults: build 20 2)
set -eu
build=${1:-build}
count=${2:-20}
jobs=${3:-2}
qoro="$build/bin/qoro"
[ -x "$qoro" ] || { echo "no $qoro; build the qoro target first" >&2; exit 2; }
for tool in sox lame ffmpeg bc; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
mkdir "$work/src"

# One three-minute stereo source with some variety (a sweep over a steady
# tone), encoded once at 192 kbit/s and copied N times.
sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 180 sine 220-880 sine 330 \
  remix 1 2 gain -6 2>/dev/null
lame --quiet -b 192 "$work/tone.wav" "$work/src/f01.mp3"
rm "$work/tone.wav"
i=2
while [ "$i" -le "$count" ]; do
  cp "$work/src/f01.mp3" "$work/src/f$(printf %02d "$i").mp3"
  i=$((i + 1))
done

load=$(cut -d" " -f1-3 /proc/loadavg)
now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc; }

# Each run writes to its own folder; a failed conversion aborts the benchmark.
# With /usr/bin/time the CPU time is kept too: CPU seconds over wall seconds
# is how many cores the run kept busy, which tells a serialised run from a
# machine too loaded to give it two cores.
timer=""
[ -x /usr/bin/time ] && timer="/usr/bin/time -o"
run_qoro() {
  if [ -n "$timer" ]; then
    $timer "$work/$2.time" -f "%U %S" "$qoro" convert --to wav -j "$1" -o "$work/$2" "$work"/src/*.mp3 \
      >"$work/$2.log" 2>&1 || { cat "$work/$2.log" >&2; exit 1; }
  else
    "$qoro" convert --to wav -j "$1" -o "$work/$2" "$work"/src/*.mp3 >"$work/$2.log" 2>&1 ||
      { cat "$work/$2.log" >&2; exit 1; }
  fi
}
cores_busy() {  # run name, wall seconds
  [ -f "$work/$1.time" ] || return 0
  cpu=$(awk '{ print $1 + $2 }' "$work/$1.time")
  printf '    CPU %.2f s, %.2f cores busy on average\n' "$cpu" "$(echo "$cpu / $2" | bc -l)"
}

t0=$(now)
run_qoro 1 j1
t1=$(now)
run_qoro "$jobs" jn
t2=$(now)
mkdir "$work/ff"
for f in "$work"/src/*.mp3; do
  ffmpeg -nostdin -v error -threads 1 -i "$f" -c:a pcm_s16le "$work/ff/$(basename "$f" .mp3).wav"
done
t3=$(now)

# The outputs must agree in size with ffmpeg's (same length, same format).
qsize=$(stat -c %s "$work/jn/f01.wav")
fsize=$(stat -c %s "$work/ff/f01.wav")

j1=$(elapsed "$t0" "$t1")
jn=$(elapsed "$t1" "$t2")
ff=$(elapsed "$t2" "$t3")
echo "files: $count x 3:00 MP3 (192 kbit/s, 44.1 kHz stereo) -> WAV; $(nproc) cores; load before: $load"
printf 'qoro -j 1:                %7.2f s\n' "$j1"
cores_busy j1 "$j1"
printf 'qoro -j %d:                %7.2f s  (%.2fx of -j 1; goal >= 1.8x with 2 cores)\n' "$jobs" "$jn" \
  "$(echo "$j1 / $jn" | bc -l)"
cores_busy jn "$jn"
printf 'ffmpeg -threads 1 x %d:   %7.2f s  (qoro -j 1 is %.2fx, qoro -j %d is %.2fx its speed)\n' "$count" "$ff" \
  "$(echo "$ff / $j1" | bc -l)" "$jobs" "$(echo "$ff / $jn" | bc -l)"
echo "WAV sizes: qoro $qsize bytes, ffmpeg $fsize bytes"
