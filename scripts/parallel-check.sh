#!/usr/bin/env bash
# The man page's GNU parallel recipe, run for real on this machine (no SSH):
# eight shares of a generated library of forty files, two at a time, each
# with --update and --report. Checks that every file is converted exactly
# once, that the outputs equal an unsharded run byte for byte, that the
# reports (merged with jq) count every file once and agree with their
# summaries and exit statuses, and that running the recipe again converts
# nothing. scripts/slurm-check.sh uses the same library and checks.
#
#   bash scripts/parallel-check.sh [BUILD_DIR]   (default: build; needs parallel, jq, sox)
set -euo pipefail

check_fail() {
  echo "parallel-check: FAILED: $*" >&2
  exit 1
}

# install_missing TOOL PACKAGE ...: installs the packages of missing tools.
install_missing() {
  local missing=()
  while (($#)); do
    command -v "$1" >/dev/null || missing+=("$2")
    shift 2
  done
  ((${#missing[@]})) || return 0
  [ "$(id -u)" = 0 ] || check_fail "missing ${missing[*]} (install them, or run as root)"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -q "${missing[@]}" >/dev/null || { apt-get update -q >/dev/null && apt-get install -y -q "${missing[@]}" >/dev/null; } ||
    check_fail "cannot install ${missing[*]}"
}

# make_library FOLDER: forty short WAVs (0.3-1.2 s, three rates) in artist
# and album folders, a cover image in each album and a text file.
make_library() {
  local lib=$1 i
  for ((i = 0; i < 40; i++)); do
    local album="$lib/Artist $((i / 10))/Album $((i / 5 % 2))"
    mkdir -p "$album"
    sox -q -n -r $((i % 3 == 0 ? 44100 : i % 3 == 1 ? 48000 : 22050)) -c $((i % 2 + 1)) -b 16 \
      "$album/$(printf '%02d' $((i % 5 + 1))) Track $i.wav" synth "0.$((3 + i % 10))" sine $((220 + 20 * i)) vol 0.5
    [ -f "$album/cover.jpg" ] || head -c 3000 /dev/urandom >"$album/cover.jpg"
  done
  echo "notes" >"$lib/notes.txt"
}

# check_shards LIBRARY OUTPUT WHOLE REPORTS SHARDS [PARTIAL...]: the checks
# after a sharded run. WHOLE holds the unsharded run's outputs; REPORTS the
# final reports 0..SHARDS-1 (.jsonl); PARTIAL, reports of runs cut short,
# whose converted files count too.
check_shards() {
  local lib=$1 out=$2 whole=$3 reports=$4 shards=$5
  shift 5
  local files k
  files=$(find "$lib" -name '*.wav' | wc -l)
  for ((k = 0; k < shards; k++)); do
    [ -f "$reports/$k.jsonl" ] || check_fail "share $k left no complete report ($(ls "$reports" | tr '\n' ' '))"
  done
  # Every line parses; every source of the library is converted once over all runs.
  jq -e . "$reports"/*.jsonl "$@" >/dev/null || check_fail "a report line does not parse"
  local once
  once=$(jq -r 'select(.status == "converted") | .source' "$reports"/*.jsonl "$@" | sort | uniq -c |
    awk '$1 != 1 { bad++ } END { print NR - 0, bad + 0 }')
  [ "$once" = "$files 0" ] || check_fail "converted (files, files not converted exactly once): $once, expected $files 0"
  # The final reports, merged: every file once, converted or up to date,
  # and each summary agrees with its lines and its exit status.
  jq -s -e --argjson files "$files" '
      (map(select(.summary | not)) | length == $files and (map(.source) | unique | length == $files)
         and all(.status == "converted" or .status == "up to date"))
      and (map(select(.summary)) | length > 0 and all(.failed == 0 and .exitStatus == 0 and .notDone == 0
         and .converted + .upToDate + .otherShards == $files))' "$reports"/*.jsonl >/dev/null ||
    check_fail "the merged reports do not count every file once: $(jq -s -c 'map(select(.summary))' "$reports"/*.jsonl)"
  for ((k = 0; k < shards; k++)); do
    jq -s -e '(map(select(.summary)) | length == 1) and (.[-1].summary == true)
        and (map(select(.summary | not)) | length) == (.[-1] | .converted + .upToDate + .skipped + .failed + .notConverted)
        and (map(select(.status == "converted")) | length) == .[-1].converted' "$reports/$k.jsonl" >/dev/null ||
      check_fail "report $k does not agree with its summary"
  done
  # The sharded outputs are the unsharded run's, byte for byte; no temporary is left.
  diff -r "$whole" "$out" >/dev/null || check_fail "sharded outputs differ from the unsharded run: $(diff -rq "$whole" "$out" | head -5)"
  [ -z "$(find "$out" -name '.qoro-*')" ] || check_fail "temporaries left: $(find "$out" -name '.qoro-*')"
  echo "$files files converted exactly once over $shards shares; outputs equal the unsharded run's"
}

parallel_main() {
  cd "$(dirname "$0")/.."
  local build qoro t0
  build=$(realpath "${1:-build}")
  qoro="$build/bin/qoro"
  [ -x "$qoro" ] || check_fail "no $qoro; build qoro first"
  install_missing parallel parallel jq jq sox sox
  t0=$SECONDS
  work=$(mktemp -d /tmp/qoro-parallel.XXXXXX)
  trap 'rm -rf "${work:?}"' EXIT
  make_library "$work/music"
  cd "$work/music"
  timeout 60 "$qoro" convert -R . -o ../whole --to mp3 -j 2 >/dev/null 2>&1 || check_fail "the unsharded run failed"
  mkdir -p ../reports
  # The recipe, on this machine.
  seq 0 7 | timeout 90 parallel --will-cite -j 2 --halt never \
    "$qoro" convert -R . -o ../mp3 --to mp3 --update -j 1 --shard {}/8 --report ../reports/{}.jsonl \
    >../parallel.log 2>&1 || check_fail "a share failed: $(tail -5 ../parallel.log)"
  check_shards . ../mp3 ../whole ../reports 8
  # Again: nothing to convert, every file up to date.
  seq 0 7 | timeout 60 parallel --will-cite -j 2 \
    "$qoro" convert -R . -o ../mp3 --to mp3 --update -j 1 --shard {}/8 --report ../reports/again-{}.jsonl \
    >/dev/null 2>&1 || check_fail "running the recipe again failed"
  jq -s -e 'map(select(.summary)) | (map(.converted) | add) == 0 and (map(.upToDate) | add) == 40' \
    ../reports/again-*.jsonl >/dev/null || check_fail "running the recipe again converted something"
  echo "parallel-check: passed in $((SECONDS - t0)) s"
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  parallel_main "$@"
fi
