#!/usr/bin/env bash
# Fuzzing campaigns over the libFuzzer harnesses of tests/fuzz.
#
#   bash scripts/fuzz.sh [SECONDS] [HARNESS...]
#       Builds the harnesses (clang, ASan + UBSan, in build-fuzz/) and runs
#       each for SECONDS (default 60), starting from its corpus
#       (build-fuzz/corpus/<harness>/, kept between runs), its seeds
#       (tests/fuzz/seeds/<harness>/) and the dictionary tests/fuzz/qoro.dict.
#       Prints per harness the executions, executions per second, libFuzzer's
#       coverage (cov: edges, ft: features) and the corpus size, and each
#       finding (crash, leak, timeout, out-of-memory, sanitizer report) with
#       the file that reproduces it (build-fuzz/findings/<harness>/). Exits 1
#       when there was a finding. Without HARNESS names, every harness runs.
#
#   bash scripts/fuzz.sh --coverage [HARNESS...]
#       Builds the replay programs with clang's source-based coverage (in
#       build-fuzz-cov/), runs each over its seeds, regressions and corpus,
#       and prints llvm-cov's line coverage of the files that harness parses
#       with.
#
# Environment: FUZZ_JOBS campaigns at a time (default: the number of CPUs),
# FUZZ_KEEP_GOING=1 to go on after a finding (libFuzzer's fork mode: every
# distinct finding of the time is written, not only the first),
# FUZZ_BUILD_DIR (default build-fuzz), FUZZ_COV_DIR (default build-fuzz/coverage).
#
# Library code must never write to the host's stdout or stderr: a campaign
# whose log holds lines that are not libFuzzer's own counts as a finding.
# It installs nothing: clang and libclang-rt-14-dev come from scripts/setup.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

all_harnesses=(id3_fuzz apev2_fuzz wav_info_fuzz ogg_comments_fuzz flac_tags_fuzz aiff_tags_fuzz riff_wave_fuzz mpeg_stream_fuzz
               mpeg_info_fuzz audiofile_fuzz avi_fuzz flac_fuzz opus_fuzz aiff_fuzz acm_fuzz audioinfo_fuzz
               probe_fuzz profile_fuzz registry_fuzz ogg_serial_fuzz mp4_tags_fuzz media_probe_fuzz
               mp4_write_fuzz)

# Largest input per harness: MPEG streams of 4-8 KB, files of up to 16 KB,
# text files of 4 KB.
max_len() {
  case $1 in
    mpeg_stream_fuzz|mpeg_info_fuzz) echo 8192 ;;
    profile_fuzz|registry_fuzz|acm_fuzz) echo 4096 ;;
    *) echo 16384 ;;
  esac
}

# The source files each harness exercises, for the coverage report.
parser_files() {
  case $1 in
    id3_fuzz) echo common/tags/id3v1.cpp common/tags/id3v2.cpp common/tags/id3v2_frames.cpp common/tags/text.cpp ;;
    apev2_fuzz) echo common/tags/apev2.cpp common/tags/tails.cpp ;;
    mp4_tags_fuzz) echo common/tags/mp4_tags.cpp common/tags/fields.cpp ;;
    mp4_write_fuzz) echo common/tags/mp4_write.cpp common/tags/mp4_tags.cpp ;;
    media_probe_fuzz) echo plugins/libav/libav_media.cpp ;;
    wav_info_fuzz) echo audioinfo/tags/wav_info.cpp audioinfo/tags/cue_list.cpp ;;
    ogg_comments_fuzz) echo audioinfo/readers/ogg_comments.cpp audioinfo/readers/ogg_pages.cpp \
                            audioinfo/tags/vorbis_comments.cpp audioinfo/readers/opus_reader.cpp ;;
    flac_tags_fuzz) echo audioinfo/readers/flac_reader.cpp audioinfo/tags/vorbis_comments.cpp ;;
    aiff_tags_fuzz) echo audioinfo/readers/aiff_reader.cpp common/aiff/aiff.cpp platform/riff/riff.cpp ;;
    riff_wave_fuzz) echo platform/riff/riff.cpp audiofile/containers/stored_track.cpp audiofile/engine/engine.cpp \
                         audioinfo/readers/wav_reader.cpp ;;
    mpeg_stream_fuzz) echo common/mpeg/frame_walk.cpp common/mpeg/info_frame.cpp common/mpeg/mpeg_header.cpp \
                           audiofile/codecs/mpeg/mpeg_codec.cpp audiofile/codecs/mpeg/mpeg_frame_decoder.cpp \
                           audiofile/codecs/mpeg/layer12.cpp audiofile/codecs/mpeg/layer3.cpp ;;
    mpeg_info_fuzz) echo audioinfo/readers/mpeg_reader.cpp audioinfo/readers/wav_reader.cpp \
                         common/mpeg/frame_walk.cpp common/mpeg/info_frame.cpp common/mpeg/mpeg_header.cpp ;;
    audiofile_fuzz) echo audiofile/engine/engine.cpp audiofile/containers/stored_track.cpp platform/riff/riff.cpp \
                         platform/acm/*.cpp platform/avifile/avifile.cpp audiofile/containers/avi_track.cpp \
                         audiofile/containers/mpeg_track.cpp audiofile/codecs/mpeg/mpeg_codec.cpp \
                         audiofile/codecs/g72x/*.cpp audiofile/codecs/ogg/*.cpp audiofile/codecs/mpc/*.cpp \
                         common/mpc/mpc_stream.cpp ;;
    audioinfo_fuzz) echo audioinfo/object/audio_information.cpp audioinfo/readers/*.cpp audioinfo/tags/*.cpp \
                         common/tags/id3v1.cpp common/tags/id3v2.cpp common/tags/id3v2_frames.cpp \
                         common/mpc/mpc_stream.cpp platform/avifile/avifile.cpp ;;
    avi_fuzz) echo platform/avifile/avifile.cpp audiofile/containers/avi_track.cpp ;;
    flac_fuzz) echo audiofile/containers/flac_track.cpp audiofile/engine/engine.cpp ;;
    aiff_fuzz) echo common/aiff/aiff.cpp audiofile/containers/aiff_track.cpp audiofile/convert/deep_samples.cpp ;;
    opus_fuzz) echo audiofile/containers/opus_track.cpp audiofile/engine/engine.cpp ;;
    acm_fuzz) echo platform/acm/*.cpp ;;
    probe_fuzz) echo common/probe/signature.cpp common/tags/id3v2.cpp ;;
    profile_fuzz) echo platform/profile/profile.cpp ;;
    registry_fuzz) echo platform/com/registry.cpp ;;
    ogg_serial_fuzz) echo client/ogg_serial.cpp ;;
  esac
}

coverage=0
if [ "${1:-}" = "--coverage" ]; then
  coverage=1
  shift
  seconds=0
else
  seconds=${1:-60}
  [ $# -gt 0 ] && shift
  case $seconds in ''|*[!0-9]*) echo "fuzz.sh: SECONDS must be a whole number, not '$seconds'" >&2; exit 2 ;; esac
fi
harnesses=("$@")
[ ${#harnesses[@]} -eq 0 ] && harnesses=("${all_harnesses[@]}")
for h in "${harnesses[@]}"; do
  case " ${all_harnesses[*]} " in *" $h "*) ;; *) echo "fuzz.sh: no harness '$h' (${all_harnesses[*]})" >&2; exit 2 ;; esac
done
for tool in clang clang++ ninja cmake; do
  command -v $tool >/dev/null || { echo "fuzz.sh: $tool is missing; run scripts/setup.sh" >&2; exit 2; }
done

# configure DIR ARGS...: a clang tree with the test folders (the harnesses
# live there) but neither the program nor the benchmarks.
configure() {
  local dir=$1
  shift
  if [ ! -f "$dir/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DQORO_BUILD_APP=OFF -DQORO_BUILD_BENCH=OFF "$@" >/dev/null
  fi
}

if [ $coverage = 1 ]; then
  dir=${FUZZ_COV_DIR:-build-fuzz/coverage}
  fuzz_dir=${FUZZ_BUILD_DIR:-build-fuzz}
  for tool in llvm-cov-14 llvm-profdata-14; do
    command -v $tool >/dev/null || { echo "fuzz.sh: $tool is missing; run scripts/setup.sh" >&2; exit 2; }
  done
  flags="-O1 -g1 -fprofile-instr-generate -fcoverage-mapping"
  configure "$dir" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=$flags" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$flags" \
    "-DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate" "-DCMAKE_SHARED_LINKER_FLAGS=-fprofile-instr-generate"
  targets=()
  for h in "${harnesses[@]}"; do targets+=("${h}_replay"); done
  mkdir -p "$dir/logs"
  if ! cmake --build "$dir" --target "${targets[@]}" >"$dir/logs/build.log" 2>&1; then
    grep -v '^\[' "$dir/logs/build.log" | tail -n 40 >&2
    echo "fuzz.sh: the build failed (log: $dir/logs/build.log)" >&2
    exit 1
  fi
  for h in "${harnesses[@]}"; do
    profiles="$dir/profiles/$h"
    rm -rf "$profiles"
    mkdir -p "$profiles"
    LLVM_PROFILE_FILE="$profiles/%p.profraw" "$dir/bin/${h}_replay" tests/fuzz/regressions/$h tests/fuzz/seeds/$h \
      "$fuzz_dir/corpus/$h" 2>"$profiles/replay.log" || { echo "fuzz.sh: $h failed on a stored input (see $profiles/replay.log)" >&2; exit 1; }
    llvm-profdata-14 merge -sparse "$profiles"/*.profraw -o "$profiles/merged.profdata"
    objects=("$dir/bin/${h}_replay")
    case $h in registry_fuzz|audioinfo_fuzz) objects+=(-object "$dir/bin/libqorocom.so") ;; esac
    echo "== $h: line coverage over $(tail -n 1 "$profiles/replay.log")"
    # shellcheck disable=SC2046
    llvm-cov-14 report "${objects[@]}" -instr-profile="$profiles/merged.profdata" $(parser_files $h) |
      awk 'NR == 1 || /^[-]+$/ { next } { printf "  %-48s lines %6s of %6s  %s\n", $1, $8 - $9, $8, $10 }'
  done
  exit 0
fi

dir=${FUZZ_BUILD_DIR:-build-fuzz}
flags="-O1 -gline-tables-only"
configure "$dir" -DQORO_FUZZ=ON "-DCMAKE_C_FLAGS_RELWITHDEBINFO=$flags" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$flags"
t0=$SECONDS
mkdir -p "$dir/logs"
if ! cmake --build "$dir" --target "${harnesses[@]}" >"$dir/logs/build.log" 2>&1; then
  grep -v '^\[' "$dir/logs/build.log" | tail -n 40 >&2
  echo "fuzz.sh: the build failed (log: $dir/logs/build.log)" >&2
  exit 1
fi
echo "fuzz.sh: harnesses built in $((SECONDS - t0)) s"

# One campaign: run_one HARNESS. Its log is $dir/logs/HARNESS.log.
run_one() {
  local h=$1
  local corpus="$dir/corpus/$h" findings="$dir/findings/$h" log="$dir/logs/$h.log"
  mkdir -p "$corpus" "$findings" "$dir/logs"
  local seeds=()
  for d in tests/fuzz/seeds/$h tests/fuzz/regressions/$h; do [ -d "$d" ] && seeds+=("$d"); done
  local rc=0 mode=()
  [ "${FUZZ_KEEP_GOING:-0}" = 1 ] && mode=(-fork=1 -ignore_crashes=1 -ignore_ooms=1 -ignore_timeouts=1)
  touch "$log.start"
  # Nothing of the harness's output is masked: what the libraries print shows.
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    LSAN_OPTIONS=suppressions=$root/tests/support/lsan.supp:print_suppressions=0 \
    "$dir/bin/$h" -max_total_time="$seconds" -max_len="$(max_len $h)" -dict=tests/fuzz/qoro.dict \
    -timeout=25 -rss_limit_mb=2048 -malloc_limit_mb=1024 -print_final_stats=1 "${mode[@]}" \
    -artifact_prefix="$findings/" "$corpus" "${seeds[@]}" >"$log" 2>&1 || rc=$?
  echo $rc >"$log.rc"
}

# Lines of a log that libFuzzer did not write (the harness's libraries did).
# (libFuzzer's notice that it stopped checking for leaks after each input,
# once a suppressed leak of a library showed, runs over five more lines; the
# check at the end of the run stays.)
stray_output() {
  sed -e '/^INFO: libFuzzer disabled leak detection after every mutation/,+5d' "$1" |
    grep -a -v -E '^(#|INFO:|stat::|Done [0-9]|Dictionary:|MERGE|Loading|"|[[:space:]]*NEW_FUNC|fuzz-[0-9]+\.log|==[0-9]+== ?(ERROR|WARNING): libFuzzer)' || true
}

summary() {
  local h=$1 log="$dir/logs/$1.log"
  local rc
  rc=$(cat "$log.rc")
  local execs rate cov ft corp
  # The final statistics, or (fork mode) the last status line.
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  [ -n "$execs" ] || execs=$(grep -a -o '^#[0-9]*' "$log" | tail -n 1 | tr -d '#')
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  [ -n "$rate" ] || rate=$(grep -a -o 'exec/s:\? [0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*$')
  cov=$(grep -a -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  ft=$(grep -a -o 'ft: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  corp=$(grep -a -o 'corp: [0-9]*/\?[0-9]*[a-zA-Z]*' "$log" | tail -n 1 | cut -d' ' -f2)
  printf '%-18s execs %10s  execs/s %6s  cov %6s  ft %7s  corpus %s\n' "$h" "${execs:-?}" "${rate:-?}" \
    "${cov:-?}" "${ft:-?}" "${corp:-?}"
  local found=0
  if [ "$rc" != 0 ]; then
    local what
    what=$(grep -a -m1 -E 'property broken|runtime error|^==[0-9]+==ERROR|ALARM|out-of-memory|^SUMMARY' "$log" || true)
    echo "  FINDING (exit $rc): ${what:-see the log}"
    grep -a -o "Test unit written to .*" "$log" | sed 's/^/  /' || true
    found=1
  else
    local new
    new=$(find "$dir/findings/$h" -type f -newer "$log.start" | sort)
    if [ -n "$new" ]; then
      echo "  FINDINGS (kept going): $(echo "$new" | wc -l) inputs"
      echo "$new" | sed 's/^/    /'
      found=1
    fi
    local stray=""
    # (In fork mode the harness's output goes to the workers' own logs.)
    [ "${FUZZ_KEEP_GOING:-0}" = 1 ] || stray=$(stray_output "$log")
    if [ -n "$stray" ]; then
      echo "  FINDING: the libraries wrote to stdout/stderr, e.g.: $(echo "$stray" | head -n 1)"
      found=1
    fi
  fi
  [ $found = 1 ] && echo "  log: $log"
  return $found
}

jobs=${FUZZ_JOBS:-$(nproc)}
echo "fuzz.sh: ${#harnesses[@]} harnesses, $seconds s each, $jobs at a time"
running=0
for h in "${harnesses[@]}"; do
  run_one "$h" &
  running=$((running + 1))
  if [ $running -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait || true

found=0
for h in "${harnesses[@]}"; do summary "$h" || found=1; done
if [ $found = 1 ]; then
  echo "fuzz.sh: findings above; put each reproducer into tests/fuzz/regressions/<harness>/ with its fix"
  exit 1
fi
echo "fuzz.sh: no findings"
