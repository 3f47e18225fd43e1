#!/usr/bin/env bash
# Builds the Debian packages from an already built tree and uses them unpacked:
#   bash scripts/package-check.sh BUILD_DIR        (default: build)
#
# Runs cpack -G DEB in BUILD_DIR, which makes two packages: quillet (the
# programs, components and runtime) and quillet-libav (the media plug-in over
# FFmpeg's libraries, GPL code, only recommended by quillet). Shows their
# computed Depends, unpacks quillet alone with dpkg-deb -x into a temporary
# folder and from there, with a fresh HOME and an empty component registry (so
# nothing registered or installed helps): converts a WAV to MP3 and back with
# the unpacked qoro, sees an M4A refused with the name of the package that
# reads it, builds an outside C++ client against the unpacked headers,
# libqorocom and qoro.pc and runs it, runs the converter headlessly
# (quillet-batch and quillet --batch), and tries the bash completion. Then
# unpacks quillet-libav into the same folder and reads and converts the M4A,
# and sees it refused again under QORO_NO_GPL_PLUGINS=1. One line per check;
# stops with a non-zero status at the first failure. Needs cmake, cpack,
# dpkg-deb, dpkg-shlibdeps (dpkg-dev), ffmpeg, ffprobe, g++, pkg-config, readelf, sox
# and libavformat-dev, libavcodec-dev, libavutil-dev for the plug-in.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=${1:-build}
[ -d "$build" ] || { echo "package-check: no build folder $build (build it first: bash scripts/test.sh)" >&2; exit 2; }
build=$(cd "$build" && pwd)

ok() { printf 'package-check: ok    %s\n' "$*"; }
fail() {
  printf 'package-check: FAIL  %s\n' "$*" >&2
  exit 1
}

for tool in cmake cpack dpkg-deb dpkg-shlibdeps ffmpeg ffprobe file g++ pkg-config readelf sox soxi; do
  command -v "$tool" >/dev/null || fail "the tool '$tool' is missing (dpkg-shlibdeps: package dpkg-dev; readelf: binutils; ffprobe: ffmpeg; sox, soxi: sox)"
done
[ -f "$build/CPackConfig.cmake" ] || fail "$build has no CPackConfig.cmake: configure and build it first (bash scripts/test.sh)"
grep -q '^QORO_BUILD_APP:BOOL=ON' "$build/CMakeCache.txt" ||
  fail "$build is configured without the converter program (QORO_BUILD_APP=OFF); the package holds it"

work=$(mktemp -d "${TMPDIR:-/tmp}/quillet-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

# --- the package --------------------------------------------------------------
# cpack packs what is built: bring the installed programs and libraries up to
# date first (nothing else, so the test suites are not rebuilt).
installed_targets=(qorocom QoroAudioFile QoroAudioInformation lame_enc qoro qoro-regsvr quillet-batch quillet qoro_libav)
if ! cmake --build "$build" --target "${installed_targets[@]}" >"$work/build.log" 2>&1; then
  tail -n 30 "$work/build.log" >&2
  grep -q '^QORO_LIBAV_FOUND:INTERNAL=1' "$build/CMakeCache.txt" ||
    fail "$build has no media plug-in (qoro_libav): install libavformat-dev libavcodec-dev libavutil-dev and configure it again"
  fail "building ${installed_targets[*]} in $build (log above)"
fi
ok "installed targets up to date in $build"
if ! (cd "$build" && cpack -G DEB) >"$work/cpack.log" 2>&1; then
  tail -n 30 "$work/cpack.log" >&2
  fail "cpack -G DEB in $build (log above)"
fi
debs=$(sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' "$work/cpack.log")
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb=$(grep '/quillet_[^/]*\.deb$' <<<"$debs" || true)
plugin_deb=$(grep '/quillet-libav_[^/]*\.deb$' <<<"$debs" || true)
[[ -n "$deb" && -f "$deb" ]] || fail "cpack made no quillet package (it named: $(tr '\n' ' ' <<<"$debs"))"
[[ -n "$plugin_deb" && -f "$plugin_deb" ]] || fail "cpack made no quillet-libav package (it named: $(tr '\n' ' ' <<<"$debs"))"
(($(wc -l <<<"$debs") == 2)) || fail "cpack made other packages than quillet and quillet-libav: $(tr '\n' ' ' <<<"$debs")"
[[ -n "$version" && "$(dpkg-deb -f "$deb" Version)" == "$version" && "$(dpkg-deb -f "$plugin_deb" Version)" == "$version" ]] ||
  fail "package versions $(dpkg-deb -f "$deb" Version) and $(dpkg-deb -f "$plugin_deb" Version), not the project's $version"
ok "packages $(basename "$deb"): $(du -k "$deb" | cut -f1) KiB, $(basename "$plugin_deb"): $(du -k "$plugin_deb" | cut -f1) KiB"

has_dep() {  # has_dep FIELD_VALUE NAME: NAME is one of the listed packages
  [[ ", $1," == *", $2 "* || ", $1," == *", $2,"* ]]
}
depends=$(dpkg-deb -f "$deb" Depends)
printf 'package-check:       Depends: %s\n' "$depends"
for lib in libc6 libstdc++6 libmp3lame0 libmpg123-0 libvorbisfile3 libgsm1 libflac12 libopusfile0 libopusenc0 libsoxr0; do
  has_dep "$depends" "$lib" || fail "Depends lacks $lib: dpkg-shlibdeps did not see every linked library"
done
ok "Depends computed by dpkg-shlibdeps"
[[ "$depends" != *libav* ]] || fail "quillet depends on FFmpeg's libraries: $depends"
recommends=$(dpkg-deb -f "$deb" Recommends)
[[ "$recommends" == "quillet-libav (= $version)" ]] || fail "quillet recommends '$recommends', not quillet-libav (= $version)"
if dpkg-deb -c "$deb" | grep -q 'libav'; then
  fail "quillet holds the plug-in: $(dpkg-deb -c "$deb" | grep libav | head -n 1)"
fi
ok "quillet holds no FFmpeg code and depends on none; Recommends: $recommends"

plugin_depends=$(dpkg-deb -f "$plugin_deb" Depends)
printf 'package-check:       quillet-libav Depends: %s\n' "$plugin_depends"
for lib in libavformat59 libavcodec59 libavutil57 libc6; do
  has_dep "$plugin_depends" "$lib" || fail "quillet-libav's Depends lacks $lib"
done
[[ ", $plugin_depends," == *", quillet (= $version),"* ]] || fail "quillet-libav does not depend on quillet (= $version)"
[ "$(dpkg-deb -f "$plugin_deb" Section)" = sound ] || fail "quillet-libav is in section $(dpkg-deb -f "$plugin_deb" Section)"
plugin_files=$(dpkg-deb -c "$plugin_deb" | awk '$1 !~ /^d/ {print $NF}' | LC_ALL=C sort | tr '\n' ' ')
expected='^\./usr/lib/([^/ ]+/)?qoro/qoro-libav\.so \./usr/share/doc/quillet-libav/NOTICES \./usr/share/doc/quillet-libav/copyright $'
[[ "$plugin_files" =~ $expected ]] ||
  fail "quillet-libav holds more or less than the plug-in and its notices: $plugin_files"
ok "quillet-libav: only the plug-in and its notices; Depends on FFmpeg's libraries and quillet (= $version)"

root=$work/root
dpkg-deb -x "$deb" "$root"
ok "unpacked with dpkg-deb -x into $root"

# --- layout and run paths -------------------------------------------------------
bindir=$root/usr/bin
qorocom=$(find "$root/usr" -name 'libqorocom.so.1' | head -n 1)
[ -n "$qorocom" ] || fail "no libqorocom.so.1 in the package"
libdir=$(dirname "$qorocom")
components=$libdir/qoro
for f in "$bindir/quillet" "$bindir/quillet-batch" "$bindir/qoro" "$bindir/qoro-regsvr" \
         "$libdir/libqorocom.so" "$components/libQoroAudioFile.so" "$components/libQoroAudioInformation.so" \
         "$components/lame_enc.so" "$libdir/pkgconfig/qoro.pc" "$root/usr/include/qoro/AudioFile.h" \
         "$root/usr/include/qoro/com.h" "$root/usr/share/man/man1/qoro.1" "$root/usr/share/man/man1/quillet.1" \
         "$root/usr/share/applications/quillet.desktop" "$root/usr/share/icons/hicolor/scalable/apps/quillet.svg" \
         "$root/usr/share/bash-completion/completions/qoro" "$root/usr/share/doc/quillet/LICENSE"; do
  [ -e "$f" ] || fail "the package lacks ${f#"$root"}"
done
ok "layout: programs in /usr/bin, libqorocom.so.1 in ${libdir#"$root"}, components in ${components#"$root"}"

runpath() { readelf -d "$1" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p'; }
rel=${libdir#"$root/usr/"}
for p in quillet quillet-batch qoro qoro-regsvr; do
  [ "$(runpath "$bindir/$p")" = "\$ORIGIN/../$rel" ] || fail "run path of $p is '$(runpath "$bindir/$p")', not \$ORIGIN/../$rel"
done
for c in libQoroAudioFile.so libQoroAudioInformation.so; do
  [ "$(runpath "$components/$c")" = "\$ORIGIN/.." ] || fail "run path of $c is '$(runpath "$components/$c")', not \$ORIGIN/.."
done
if grep -rlsF "$build" "$root" >/dev/null; then
  fail "a file of the package names the build folder: $(grep -rlsF "$build" "$root" | head -n 1)"
fi
ok "relative run paths (programs \$ORIGIN/../$rel, components \$ORIGIN/..), no build paths inside"

# --- a clean user: no registry, nothing in HOME -----------------------------------
home=$work/home
mkdir -p "$home"
: >"$work/registry"
clean() {
  env -i PATH=/usr/bin:/bin LANG=C.UTF-8 HOME="$home" XDG_DATA_HOME="$home/.local/share" \
    XDG_CONFIG_HOME="$home/.config" QORO_REGISTRY="$work/registry" "$@"
}

# --- qoro convert, WAV -> MP3 -> WAV ----------------------------------------------
audio=$work/audio
mkdir -p "$audio"
sox -n -r 44100 -c 2 -b 16 "$audio/tone.wav" synth 2 sine 440 sine 554 gain -6
frames=$(soxi -s "$audio/tone.wav")
clean "$bindir/qoro" --version >/dev/null || fail "qoro --version"
clean "$bindir/qoro" convert --to mp3 -o "$audio/mp3/" "$audio/tone.wav" >"$work/convert1.log" 2>&1 ||
  { cat "$work/convert1.log" >&2; fail "qoro convert --to mp3"; }
[ -s "$audio/mp3/tone.mp3" ] || fail "qoro convert wrote no tone.mp3"
clean "$bindir/qoro" convert --to wav -o "$audio/back/" "$audio/mp3/tone.mp3" >"$work/convert2.log" 2>&1 ||
  { cat "$work/convert2.log" >&2; fail "qoro convert --to wav"; }
back=$(soxi -s "$audio/back/tone.wav" 2>/dev/null || echo 0)
# The encoder's LAME tag records its delay and padding, and the decoder
# leaves them out: the original length, exactly.
((back == frames)) ||
  fail "WAV -> MP3 -> WAV gave $back sample frames for $frames"
[[ "$(soxi -r "$audio/back/tone.wav")" == 44100 && "$(soxi -c "$audio/back/tone.wav")" == 2 ]] ||
  fail "the WAV from the MP3 is not 44100 Hz stereo"
ok "qoro convert WAV -> MP3 -> WAV: $frames -> $back sample frames, $(stat -c %s "$audio/mp3/tone.mp3") bytes of MP3"

# The components came from the unpacked tree, found beside libqorocom.
clean env LD_DEBUG=files "$bindir/qoro" info "$audio/mp3/tone.mp3" >"$work/info.log" 2>"$work/ld.log" ||
  { cat "$work/info.log" >&2; fail "qoro info on the MP3"; }
for c in libQoroAudioFile.so libQoroAudioInformation.so; do
  grep -q "file=$components/$c .*dynamically loaded" "$work/ld.log" || fail "$c was not loaded from ${components#"$root"}"
done
ok "qoro info: components loaded from ${components#"$root"} with an empty registry"

# --- without the plug-in, an M4A is refused naming its package ----------------------
ffmpeg -nostdin -v error -f lavfi -i sine=f=440:d=1 -c:a aac "$audio/tone.m4a"
# The length the MP4 states (its edit list), as ffprobe reads it.
m4a_frames=$(ffprobe -v error -select_streams a:0 -show_entries stream=duration_ts -of default=nw=1:nk=1 "$audio/tone.m4a")
refused() {  # refused LOG: qoro info exited 1 and said which package reads the file
  local status=$1 log=$2
  ((status == 1)) && grep -q 'quillet-libav' "$log"
}
status=0
clean "$bindir/qoro" info "$audio/tone.m4a" >"$work/m4a-core.log" 2>&1 || status=$?
refused "$status" "$work/m4a-core.log" ||
  { cat "$work/m4a-core.log" >&2; fail "qoro info on an M4A without the plug-in exited $status without naming quillet-libav"; }
ok "without quillet-libav: qoro info of an M4A exits 1: $(grep -o 'reading M4A.*' "$work/m4a-core.log" | head -n 1)"

# --- an outside client through pkg-config -------------------------------------------
pcdir=$libdir/pkgconfig
flags=$(PKG_CONFIG_LIBDIR=$pcdir PKG_CONFIG_PATH='' pkg-config --define-prefix --cflags --libs qoro) ||
  fail "pkg-config --define-prefix qoro"
[[ "$flags" == *"-I$root/usr/include"* && "$flags" == *"-L$libdir"* && "$flags" == *"-lqorocom"* ]] ||
  fail "pkg-config --define-prefix gave '$flags'"
# shellcheck disable=SC2086
g++ -std=c++20 -Wall -Wextra -Werror -o "$work/qoro-client" "$repo/packaging/client/client.cpp" $flags \
  -Wl,-rpath,"$libdir" 2>"$work/client-build.log" ||
  { cat "$work/client-build.log" >&2; fail "building packaging/client/client.cpp with pkg-config qoro"; }
ok "client built with g++ \$(pkg-config --define-prefix --cflags --libs qoro): $flags"
clean "$work/qoro-client" "$audio/tone.wav" >"$work/client.log" 2>&1 ||
  { cat "$work/client.log" >&2; fail "the client could not read tone.wav"; }
grep -q "tone.wav: $frames sample frames" "$work/client.log" ||
  fail "the client reported '$(head -n 1 "$work/client.log")', sox counts $frames sample frames"
printf 'not audio\n' >"$work/not-audio.wav"
if clean "$work/qoro-client" "$work/not-audio.wav" >/dev/null 2>&1; then
  fail "the client reported success for a file that is not audio"
fi
ok "client: ProgID QoroAudioFile.AudioFile created, $frames sample frames read (as sox counts); a non-audio file fails"

# --- the converter without windows ---------------------------------------------------
qhome=$work/quillet-home
clean env QUILLET_HOME="$qhome" "$bindir/quillet-batch" --seed --batch wavtomp3 >"$work/batch.log" 2>&1 ||
  { cat "$work/batch.log" >&2; fail "quillet-batch --seed --batch wavtomp3"; }
grep -Eq '^wavtomp3: [1-9][0-9]* converted, 0 failed' "$work/batch.log" ||
  { cat "$work/batch.log" >&2; fail "quillet-batch converted nothing"; }
ok "quillet-batch --seed --batch wavtomp3: $(sed -n 's/^wavtomp3: \([0-9]*\) converted.*/\1/p' "$work/batch.log") file(s) converted"
clean env QUILLET_HOME="$qhome" QT_QPA_PLATFORM=offscreen "$bindir/quillet" --batch mp3towav >"$work/quillet.log" 2>&1 ||
  { cat "$work/quillet.log" >&2; fail "quillet --batch mp3towav"; }
grep -Eq '^mp3towav: [1-9][0-9]* converted, 0 failed' "$work/quillet.log" ||
  { cat "$work/quillet.log" >&2; fail "quillet --batch converted nothing"; }
ok "quillet --batch mp3towav: $(sed -n 's/^mp3towav: \([0-9]*\) converted.*/\1/p' "$work/quillet.log") file(s) converted"
[ ! -e "$bindir/OPTION.INI" ] || fail "with QUILLET_HOME set, OPTION.INI was written beside the program"
# Without QUILLET_HOME an unpacked (not installed) tree is portable: its files
# go beside the program, not into the user's folder.
clean "$bindir/quillet-batch" --batch mp3towav >"$work/portable.log" 2>&1 ||
  { cat "$work/portable.log" >&2; fail "quillet-batch from the unpacked tree without QUILLET_HOME"; }
[[ -f "$bindir/OPTION.INI" && ! -e "$home/.config/quillet" ]] ||
  fail "the unpacked tree's data folder is not its own bin folder"
ok "unpacked tree without QUILLET_HOME keeps its data beside the program"

# --- bash completion ----------------------------------------------------------------
completion=$root/usr/share/bash-completion/completions/qoro
# As for a user who installed the package: qoro is on the PATH (the
# completion asks it which types it writes).
complete_words() {  # complete_words WORD... : the completions of the last word
  clean env PATH="$bindir:/usr/bin:/bin" bash --norc --noprofile -c '
    source "$1" || exit 3
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="${COMP_WORDS[*]}"
    COMP_POINT=${#COMP_LINE}
    _qoro
    printf "%s\n" "${COMPREPLY[@]}"' complete "$completion" "$@"
}
registered=$(bash --norc --noprofile -c 'source "$1" && complete -p qoro' complete "$completion") ||
  fail "sourcing the completion file defines no completion for qoro"
[ "$registered" = "complete -F _qoro qoro" ] || fail "complete -p qoro says '$registered'"
[ "$(complete_words qoro con)" = convert ] || fail "qoro con<TAB> gave '$(complete_words qoro con)', not convert"
[ "$(complete_words qoro convert --to m | sort | tr '\n' ' ')" = "m4a mp2 mp3 " ] ||
  fail "qoro convert --to m<TAB> gave '$(complete_words qoro convert --to m | tr '\n' ' ')'"
[ "$(complete_words qoro convert --preset fast- | sort | tr '\n' ' ')" = "fast-extreme fast-standard " ] ||
  fail "qoro convert --preset fast-<TAB> gave '$(complete_words qoro convert --preset fast- | tr '\n' ' ')'"
[ "$(complete_words qoro convert "$audio/mp3/to")" = "$audio/mp3/tone.mp3" ] ||
  fail "qoro convert FILE<TAB> did not complete the file name"
ok "bash completion: $registered; qoro con<TAB> -> convert; --to m -> m4a mp2 mp3; --preset fast- and file names complete"

# --- the plug-in's package beside it -------------------------------------------------
dpkg-deb -x "$plugin_deb" "$root"
[ -f "$components/qoro-libav.so" ] || fail "quillet-libav did not put qoro-libav.so into ${components#"$root"}"
if grep -rlsF "$build" "$root" >/dev/null; then
  fail "a file of the packages names the build folder: $(grep -rlsF "$build" "$root" | head -n 1)"
fi
ok "quillet-libav unpacked into the same folder: ${components#"$root"}/qoro-libav.so"
clean env LD_DEBUG=files "$bindir/qoro" info --json "$audio/tone.m4a" >"$work/m4a-info.log" 2>"$work/m4a-ld.log" ||
  { cat "$work/m4a-info.log" >&2; fail "qoro info on the M4A with quillet-libav"; }
grep -q "file=$components/qoro-libav.so .*dynamically loaded" "$work/m4a-ld.log" ||
  fail "qoro-libav.so was not loaded from ${components#"$root"}"
ms=$(sed -n 's/^ *"duration": \([0-9]*\),$/\1/p' "$work/m4a-info.log" | head -n 1)
if [[ -z "$ms" ]] || ((ms < 980 || ms > 1020)); then
  cat "$work/m4a-info.log" >&2
  fail "qoro info gives the 1 s M4A a duration of '${ms}' ms"
fi
ok "with quillet-libav: qoro info of the M4A: $ms ms (ffprobe: the file states $m4a_frames sample frames)"
clean "$bindir/qoro" convert --to wav -o "$audio/m4a/" "$audio/tone.m4a" >"$work/m4a-convert.log" 2>&1 ||
  { cat "$work/m4a-convert.log" >&2; fail "qoro convert --to wav of the M4A"; }
m4a_back=$(soxi -s "$audio/m4a/tone.wav" 2>/dev/null || echo 0)
rate=$(soxi -r "$audio/m4a/tone.wav" 2>/dev/null || echo 0)
((rate > 0 && m4a_back * 100 >= rate * 99 && m4a_back * 100 <= rate * 101)) ||
  fail "qoro convert made $m4a_back sample frames at $rate Hz of the 1 s M4A"
ok "qoro convert M4A -> WAV: $m4a_back sample frames at $rate Hz (soxi; the file states $m4a_frames)"
# ... and writes one: AAC with its exact length in the edit list.
clean "$bindir/qoro" convert --to m4a -o "$audio/aac/" "$audio/m4a/tone.wav" >"$work/aac-convert.log" 2>&1 ||
  { cat "$work/aac-convert.log" >&2; fail "qoro convert --to m4a with quillet-libav"; }
aac_frames=$(ffprobe -v error -select_streams a -show_entries stream=duration_ts -of csv=p=0 "$audio/aac/tone.m4a")
[ "$aac_frames" = "$m4a_back" ] || fail "qoro convert --to m4a wrote $aac_frames sample frames of $m4a_back"
ok "qoro convert WAV -> M4A (AAC): $aac_frames sample frames (ffprobe duration_ts)"
status=0
clean env QORO_NO_GPL_PLUGINS=1 "$bindir/qoro" info "$audio/tone.m4a" >"$work/m4a-nogpl.log" 2>&1 || status=$?
refused "$status" "$work/m4a-nogpl.log" ||
  { cat "$work/m4a-nogpl.log" >&2; fail "qoro info on an M4A with QORO_NO_GPL_PLUGINS=1 exited $status without naming quillet-libav"; }
ok "QORO_NO_GPL_PLUGINS=1: the M4A is refused again, naming quillet-libav"

echo "package-check: all checks passed for $(basename "$deb") and $(basename "$plugin_deb")"
