#!/usr/bin/env bash
# What planning one shard of a large library costs (qoro convert --dry-run).
#  1. A generated --files-from list of LINES paths (default 1,000,000) in
#     artist and album folders; one shard of SHARDS (default 1000) with
#     --update: wall time and maximum resident size (/usr/bin/time -v), and
#     the file-system calls (stat family, readlink, open, getdents, getcwd,
#     access; strace -f -c) per file of the share, over those of a run whose
#     share is empty (the constant: program start, the components' loading).
#     The share's sources exist, and every other one has an output already.
#  2. A tree of TREE files (default 100,000) in folders of 100, walked with
#     -R --shard 0/SHARDS: the same calls beside those of "find TREE -type f",
#     which reads every folder once, the reference for one walk.
#
#   bench/qoro_plan_bench.sh [BUILD_DIR] [LINES] [SHARDS] [TREE]   (defaults: build 1000000 1000 100000)
# Needs strace (apt-get install -y strace) and GNU time.
set -euo pipefail
build=${1:-build}
lines=${2:-1000000}
shards=${3:-1000}
tree=${4:-100000}
qoro=$(realpath "$build/bin/qoro" 2>/dev/null || true)
[ -x "$qoro" ] || { echo "no $build/bin/qoro; build the qoro target first" >&2; exit 2; }
for tool in strace /usr/bin/time awk sox; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (apt-get install -y strace time gawk sox)" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
cd "$work"

# The calls that ask the file system about a name, from strace -c output.
fs_calls() {
  awk '$NF ~ /^(stat|lstat|fstat|newfstatat|statx|fstatat64|stat64|lstat64|fstat64|readlink|readlinkat|open|openat|openat2|creat|getdents|getdents64|getcwd|access|faccessat|faccessat2)$/ {
         n += ($4 ~ /^[0-9]+$/ ? $4 : $(NF-1)) }
       END { print n + 0 }' "$1"
}
calls_of() {  # calls_of NAME FILE: the count of one call
  awk -v name="$2" '$NF == name { print ($4 ~ /^[0-9]+$/ ? $4 : $(NF-1)); found = 1 } END { if (!found) print 0 }' "$1"
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) cores"

# 1. The list.
awk -v n="$lines" 'BEGIN { for (i = 0; i < n; i++)
  printf "music/Artist %d/Album %d/%02d Track %d.wav\n", i / 100, i / 10 % 10, i % 10 + 1, i }' >list
sox -n -r 8000 -c 1 one.wav trim 0 0.1
plan=(convert --files-from list -o out --to mp3 --update --dry-run)
"$qoro" "${plan[@]}" --shard "0/$shards" 2>/dev/null | sed -n 's/^convert \(.*\) -> \(.*\)$/\1\t\2/p' >share
share=$(wc -l <share)
i=0
while IFS=$'\t' read -r source target; do
  mkdir -p "$(dirname "$source")"
  ln one.wav "$source"
  if ((i++ % 2)); then mkdir -p "$(dirname "$target")"; : >"$target"; fi
done <share
: >empty
/usr/bin/time -v "$qoro" "${plan[@]}" --shard "0/$shards" >plan.out 2>time.txt
wall=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s }' time.txt)
rss=$(awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }' time.txt)
strace -f -c -o calls.txt "$qoro" "${plan[@]}" --shard "0/$shards" >/dev/null 2>&1
strace -f -c -o base.txt "$qoro" convert --files-from empty -o out --to mp3 --update --dry-run >/dev/null 2>&1
total=$(fs_calls calls.txt)
base=$(fs_calls base.txt)
echo "list: $lines lines, shard 0/$shards holds $share files ($(grep -c '^current' plan.out) up to date)"
printf 'plan (--dry-run --update): %6.2f s wall, %7.1f MB max RSS\n' "$wall" "$rss"
printf 'file-system calls: %d, %d with an empty share; %.2f per file of the share\n' \
  "$total" "$base" "$(echo "($total - $base) / $share" | bc -l)"
for call in newfstatat statx readlink openat getdents64 getcwd access; do
  printf '  %-11s %8d\n' "$call" "$(calls_of calls.txt "$call")"
done
printf 'goals: <= 2 s, <= 300 MB, <= 10 calls per file: %s\n' \
  "$(awk -v w="$wall" -v r="$rss" -v t="$total" -v b="$base" -v s="$share" \
    'BEGIN { print (w <= 2 && r <= 300 && (t - b) / s <= 10) ? "met" : "NOT MET" }')"

# 2. The tree.
rm -rf music out
awk -v n="$tree" 'BEGIN { for (i = 0; i < n; i++)
  printf "tree/Artist %d/Album %d/%02d Track %d.wav\n", i / 1000, i / 100 % 10, i % 100 + 1, i }' >tree.list
awk -v n="$tree" 'BEGIN { for (i = 0; i < n; i += 100) printf "tree/Artist %d/Album %d\n", i / 1000, i / 100 % 10 }' |
  xargs -d '\n' mkdir -p
xargs -d '\n' touch <tree.list
folders=$(find tree -type d | wc -l)
walk=(convert -R tree -o out --to mp3 --dry-run --shard "0/$shards")
t0=$(date +%s.%N)
"$qoro" "${walk[@]}" >walk.out 2>/dev/null
t1=$(date +%s.%N)
strace -f -c -o walk.txt "$qoro" "${walk[@]}" >/dev/null 2>&1
strace -f -c -o find.txt find tree -type f >/dev/null
ours=$(fs_calls walk.txt)
theirs=$(fs_calls find.txt)
walked=$(grep -c '^convert' walk.out)
echo "tree: $tree files in $folders folders; -R --shard 0/$shards plans $walked files in $(echo "$t1 - $t0" | bc) s"
printf 'file-system calls: qoro %d (getdents64 %d, openat %d, stat family %d), find -type f %d (getdents64 %d)\n' \
  "$ours" "$(calls_of walk.txt getdents64)" "$(calls_of walk.txt openat)" \
  "$(($(calls_of walk.txt newfstatat) + $(calls_of walk.txt fstat) + $(calls_of walk.txt statx)))" \
  "$theirs" "$(calls_of find.txt getdents64)"
printf 'ratio qoro/find: %.2f; calls per folder: qoro %.2f, find %.2f\n' \
  "$(echo "$ours / $theirs" | bc -l)" "$(echo "$ours / $folders" | bc -l)" "$(echo "$theirs / $folders" | bc -l)"
