#!/bin/sh
# Batch speed of qoro: converts N three-minute MP3 files to WAV with -j 1 and
# -j 2, and with ffmpeg -threads 1 once per file in sequence, in the same run.
# Goal: -j 2 at least 1.8 times as fast as -j 1 on two cores.
#
#   tools/qoro/bench_convert.sh [BUILD_DIR] [FILES]    (defaults: build, 20)
set -eu
build=${1:-build}
count=${2:-20}
qoro="$build/bin/qoro"
[ -x "$qoro" ] || { echo "no $qoro; build the qoro target first" >&2; exit 2; }
for tool in sox lame ffmpeg; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
mkdir "$work/src"

# One three-minute stereo source with some variety, encoded once and copied.
sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 180 sine 220-880 sine 330 \
  remix 1 2 gain -6 2>/dev/null
lame --quiet -b 192 "$work/tone.wav" "$work/src/f01.mp3"
ext=mp3
extra=""
if ! "$qoro" convert --to wav -o "$work/probe" "$work/src/f01.mp3" >/dev/null 2>&1; then
  # No MP3 decoding in this build yet: measure WAV 44.1 kHz -> 22.05 kHz mono.
  echo "qoro cannot decode MP3 yet; measuring WAV -> WAV (22050 Hz, mono) instead" >&2
  rm "$work/src/f01.mp3"
  cp "$work/tone.wav" "$work/src/f01.wav"
  ext=wav
  extra="--rate 22050 --channels 1"
fi
i=2
while [ "$i" -le "$count" ]; do
  cp "$work/src/f01.$ext" "$work/src/f$(printf %02d "$i").$ext"
  i=$((i + 1))
done

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc; }

t0=$(now)
"$qoro" convert --to wav $extra -j 1 -o "$work/j1" "$work"/src/*.$ext >/dev/null 2>&1
t1=$(now)
"$qoro" convert --to wav $extra -j 2 -o "$work/j2" "$work"/src/*.$ext >/dev/null 2>&1
t2=$(now)
mkdir "$work/ff"
ffextra=""
[ "$ext" = wav ] && ffextra="-ar 22050 -ac 1"
for f in "$work"/src/*.$ext; do
  ffmpeg -v error -threads 1 -i "$f" $ffextra "$work/ff/$(basename "$f" .$ext).wav"
done
t3=$(now)

j1=$(elapsed "$t0" "$t1")
j2=$(elapsed "$t1" "$t2")
ff=$(elapsed "$t2" "$t3")
echo "files: $count x 3:00 $ext -> wav"
printf 'qoro -j 1:               %6.2f s\n' "$j1"
printf 'qoro -j 2:               %6.2f s  (%.2fx of -j 1; goal >= 1.8x)\n' "$j2" "$(echo "$j1 / $j2" | bc -l)"
printf 'ffmpeg -threads 1 x %d: %6.2f s  (qoro -j 2 is %.2fx its speed)\n' "$count" "$ff" "$(echo "$ff / $j2" | bc -l)"
