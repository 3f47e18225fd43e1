#!/usr/bin/env bash
# A whole library through qoro: FILES (default 200) 20-second MP3s in a tree
# of artist and album folders (with a cover.jpg and a text file in every
# album), converted to WAV by "qoro convert -R -j J" and by the usual script,
# "find -print0 | xargs -0 -P J" running one ffmpeg (-threads 1) per file
# into the same mirrored folders. Same job count, same material, same run.
# Prints both times and the ratio (qoro time over ffmpeg time; below 1 is
# faster), and checks that both sides made every output.
#
#   bench/qoro_library_bench.sh [BUILD_DIR] [FILES] [JOBS]   (defaults: build 200 2)
set -euo pipefail
build=${1:-build}
count=${2:-200}
jobs=${3:-2}
qoro="$build/bin/qoro"
[ -x "$qoro" ] || { echo "no $qoro; build the qoro target first" >&2; exit 2; }
for tool in sox lame ffmpeg bc awk; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 2; }
done
. "$(dirname "$0")/bench_mp3s.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
mkdir -p "$work/made" "$work/src"
make_bench_mp3s "$work/made" 20

# Artists of 4 albums of 5 tracks: 200 files are 10 artists.
for ((i = 0; i < count; i++)); do
  album="$work/src/Artist $((i / 20))/Album $((i / 5 % 4))"
  mkdir -p "$album"
  cp "$work/made/track $((i % 10)).mp3" "$album/$(printf '%02d' $((i % 5 + 1))) Track $i.mp3"
  [ -f "$album/cover.jpg" ] || { head -c 40000 /dev/urandom >"$album/cover.jpg"; echo notes >"$album/notes.txt"; }
done

load=$(cut -d" " -f1-3 /proc/loadavg)
now() { date +%s.%N; }

t0=$(now)
"$qoro" convert -R "$work/src" -o "$work/qoro" --to wav -j "$jobs" >"$work/qoro.log" 2>&1 ||
  { tail -20 "$work/qoro.log" >&2; exit 1; }
t1=$(now)
(cd "$work/src" && find . -name '*.mp3' -print0 |
  xargs -0 -P "$jobs" -n 1 sh -c 'mkdir -p "$0/$(dirname "$1")" &&
    exec ffmpeg -nostdin -v error -threads 1 -i "$1" -c:a pcm_s16le "$0/${1%.mp3}.wav"' "$work/ff")
t2=$(now)

qfiles=$(find "$work/qoro" -name '*.wav' | wc -l)
ffiles=$(find "$work/ff" -name '*.wav' | wc -l)
[ "$qfiles" -eq "$count" ] && [ "$ffiles" -eq "$count" ] ||
  { echo "outputs: qoro $qfiles, ffmpeg $ffiles, expected $count" >&2; exit 1; }
one="Artist 0/Album 0/01 Track 0.wav"
qsize=$(stat -c %s "$work/qoro/$one")
fsize=$(stat -c %s "$work/ff/$one")

tq=$(echo "$t1 - $t0" | bc)
tf=$(echo "$t2 - $t1" | bc)
echo "library: $count x 0:20 MP3 (128 kbit/s, 44.1 kHz stereo) in $((count / 5)) album folders -> WAV;" \
  "$jobs jobs; $(nproc) cores; load before: $load"
printf 'qoro convert -R -j %d:                 %7.2f s\n' "$jobs" "$tq"
printf 'find | xargs -P %d ffmpeg -threads 1:  %7.2f s\n' "$jobs" "$tf"
printf 'ratio qoro/ffmpeg: %.2f\n' "$(echo "$tq / $tf" | bc -l)"
echo "$(tail -1 "$work/qoro.log")"
echo "WAV sizes of one file: qoro $qsize bytes, ffmpeg $fsize bytes"
