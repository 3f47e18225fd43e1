#!/usr/bin/env bash
# Tries the repository as a new user would on a freshly installed Debian 12:
#   1. debootstrap a clean Debian 12 root folder (once; kept as a base copy);
#   2. clone this repository alone into a copy of it and run the README's two
#      commands there (scripts/run.sh, then scripts/test.sh), timing each;
#   3. build the .debs there, install quillet alone with apt into a second
#      clean copy and use the installed programs and an outside client built
#      with pkg-config (an M4A is refused, naming quillet-libav); then install
#      quillet-libav too and convert the M4A.
# Needs root, debootstrap (installed when missing) and Debian's package mirror.
#   bash scripts/fresh-debian-check.sh [WORK_DIR]     default /var/tmp/quillet-fresh
#   DEBIAN_MIRROR=URL                                 default http://deb.debian.org/debian
#   KEEP=1                                            leave the root folders behind
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/var/tmp/quillet-fresh}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}

if [ "$(id -u)" -ne 0 ]; then
  echo "fresh-debian-check: needs root (debootstrap and chroot)" >&2
  exit 2
fi
if ! command -v debootstrap >/dev/null; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
fi

mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
  if [ -z "${KEEP:-}" ]; then rm -rf "$work/build-root" "$work/install-root"; fi
}
trap cleanup EXIT

step() { printf '\n== %s (%s)\n' "$*" "$(date -u +%H:%M:%S)"; }

# A root folder ready for chroot: kernel file systems and name resolution.
enter() {
  local root=$1
  for fs in proc sys dev dev/pts; do
    mount --bind "/$fs" "$root/$fs"
    mounted+=("$root/$fs")
  done
  cp /etc/resolv.conf "$root/etc/resolv.conf"
}

# Runs a command in a root folder as a login would, with nothing of ours set.
in_root() {
  local root=$1
  shift
  chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin bash -c "$*"
}

timed() {
  local what=$1 start
  shift
  start=$(date +%s)
  "$@"
  printf '%s took %d s\n' "$what" $(($(date +%s) - start)) | tee -a "$work/times.txt"
}

mkdir -p "$work"
: >"$work/times.txt"
if [ ! -x "$work/base/usr/bin/apt-get" ]; then
  step "debootstrap bookworm into $work/base"
  rm -rf "$work/base"
  timed "debootstrap" debootstrap --include=git,ca-certificates bookworm "$work/base" "$mirror"
fi

step "clone the repository alone into a fresh root"
rm -rf "$work/build-root" "$work/install-root"
cp -a "$work/base" "$work/build-root"
git clone --quiet --no-local "$repo" "$work/build-root/root/quillet"
enter "$work/build-root"

step "README: bash scripts/run.sh"
timed "run.sh (set-up, build, main job)" in_root "$work/build-root" "cd /root/quillet && bash scripts/run.sh"

step "README: bash scripts/test.sh"
timed "test.sh (build and every test)" in_root "$work/build-root" \
  "set -o pipefail; cd /root/quillet && bash scripts/test.sh 2>&1 | tee /root/test.log"
in_root "$work/build-root" "grep -E 'tests passed|tests failed' /root/test.log"
# ctest marks a skipped test "***Skipped" and one that could not start "***Not Run".
if in_root "$work/build-root" "grep -E '[*]{3}(Skipped|Not Run)' /root/test.log" >&2; then
  echo "fresh-debian-check: tests were skipped (above)" >&2
  exit 1
fi

step "build the .debs"
timed "cpack" in_root "$work/build-root" "cd /root/quillet/build && cpack -G DEB >/dev/null && ls -l quillet*.deb"
deb=$(ls "$work"/build-root/root/quillet/build/quillet_*.deb | head -n 1)
plugin_deb=$(ls "$work"/build-root/root/quillet/build/quillet-libav_*.deb 2>/dev/null | head -n 1 || true)
if [ -z "$plugin_deb" ]; then
  echo "fresh-debian-check: cpack made no quillet-libav package (was the media plug-in built?)" >&2
  exit 1
fi

# The checks run as a user with nothing set, from a script copied into the root.
as_listener() {  # as_listener SCRIPT
  install -m 644 "$1" "$work/install-root/tmp/"
  in_root "$work/install-root" "
    set -e
    id listener >/dev/null 2>&1 || useradd -m listener
    cd /home/listener
    runuser -u listener -- env -i HOME=/home/listener PATH=/usr/bin:/bin LANG=C.UTF-8 QT_QPA_PLATFORM=offscreen \
      bash -ex /tmp/$(basename "$1")"
}

step "install quillet alone with apt into a second clean root"
cp -a "$work/base" "$work/install-root"
cp "$deb" "$plugin_deb" "$work/install-root/root/"
enter "$work/install-root"
# quillet only recommends quillet-libav, which no archive has: apt leaves it out.
timed "apt install" in_root "$work/install-root" \
  "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq /root/$(basename "$deb") g++ pkg-config >/dev/null"
if in_root "$work/install-root" "dpkg -s quillet-libav >/dev/null 2>&1"; then
  echo "fresh-debian-check: installing quillet brought quillet-libav with it" >&2
  exit 1
fi

step "use the installed programs as a user with nothing set"
# One second of a chord, and one of a tone in M4A (AAC), made in the build
# root (the clean root has no sox and no ffmpeg).
in_root "$work/build-root" "sox -n -r 44100 -c 2 -b 16 /root/tone.wav synth 1 sine 440 sine 554 &&
  ffmpeg -nostdin -v error -y -f lavfi -i sine=f=440:d=1 -c:a aac /root/tone.m4a"
install -m 644 "$work/build-root/root/tone.wav" "$work/build-root/root/tone.m4a" \
  "$repo/packaging/client/client.cpp" "$work/install-root/tmp/"
cat >"$work/core-check.sh" <<'CHECK'
cp /tmp/tone.wav /tmp/tone.m4a /tmp/client.cpp .
qoro convert --to mp3 -o mp3/ tone.wav
qoro convert --to wav -o back/ mp3/tone.mp3
qoro info back/tone.wav
g++ -std=c++20 -o client client.cpp $(pkg-config --cflags --libs qoro)
./client back/tone.wav
quillet --batch mp3towav
# Without quillet-libav an M4A is refused with the package that reads it.
status=0
qoro info tone.m4a >m4a-refused.log 2>&1 || status=$?
cat m4a-refused.log
test "$status" -eq 1
grep -q 'needs the package quillet-libav, which is not installed' m4a-refused.log
CHECK
as_listener "$work/core-check.sh"

step "install quillet-libav too and convert an M4A"
timed "apt install quillet-libav" in_root "$work/install-root" \
  "DEBIAN_FRONTEND=noninteractive apt-get install -y -qq /root/$(basename "$plugin_deb") >/dev/null"
cat >"$work/plugin-check.sh" <<'CHECK'
qoro info tone.m4a
qoro convert --to wav -o m4a/ tone.m4a
qoro info --json m4a/tone.wav >m4a.json
frames=$(sed -n 's/^ *"samples": \([0-9]*\),$/\1/p' m4a.json)
# One second at 44100 Hz, within 1 %.
test "$frames" -ge 43659 && test "$frames" -le 44541
status=0
QORO_NO_GPL_PLUGINS=1 qoro info tone.m4a >m4a-nogpl.log 2>&1 || status=$?
cat m4a-nogpl.log
test "$status" -eq 1
grep -q 'quillet-libav' m4a-nogpl.log
CHECK
as_listener "$work/plugin-check.sh"
echo
echo "fresh-debian-check: all steps passed"
cat "$work/times.txt"
