#!/usr/bin/env bash
# The man page's Slurm array recipe on a real one-node cluster (Debian's
# slurm-wlm), started here as root and stopped again: munged (as the munge
# user, with its own key and socket), slurmctld and slurmd from a generated
# slurm.conf (the node's real CPUs, no accounting, no cgroups). Eight array
# tasks convert a generated library of forty files; one task, made slow on
# purpose (its files after the first are long), is cancelled after its first
# report line and completed by running it again (--update). Then every file
# must have been converted exactly once, the outputs must equal an unsharded
# run byte for byte, and the reports, merged with jq, must count every file
# once and agree with their summaries (scripts/parallel-check.sh checks).
#
#   bash scripts/slurm-check.sh [BUILD_DIR]   (default: build; as root)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=parallel-check.sh
. "$here/parallel-check.sh"
check_fail() {
  echo "slurm-check: FAILED: $*" >&2
  for log in "${work:-/nonexistent}"/{slurmctld,slurmd,munged}.log; do
    [ -s "$log" ] && { echo "--- $log" >&2; tail -15 "$log" >&2; }
  done
  exit 1
}

build=$(realpath "${1:-$here/../build}")
qoro="$build/bin/qoro"
[ -x "$qoro" ] || check_fail "no $qoro; build qoro first"
[ "$(id -u)" = 0 ] || check_fail "run it as root: it starts munged, slurmctld and slurmd"
install_missing slurmctld slurm-wlm slurmd slurm-wlm sbatch slurm-client munged munge jq jq sox sox
t0=$SECONDS

work=$(mktemp -d /tmp/qoro-slurm.XXXXXX)
chmod 755 "$work"
pids=()
stop_all() {
  # What this script started, by its own process ids; then the files.
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  rm -rf "${work:?}"
}
trap stop_all EXIT
trap 'exit 130' INT TERM

# munged, as the munge user, with a key and socket of its own.
mkdir -p "$work/munge"
dd if=/dev/urandom of="$work/munge/munge.key" bs=1024 count=1 status=none
chown -R munge:munge "$work/munge"
chmod 755 "$work/munge"
chmod 400 "$work/munge/munge.key"
setpriv --reuid=munge --regid=munge --init-groups /usr/sbin/munged --foreground --force \
  --key-file="$work/munge/munge.key" --socket="$work/munge/munge.sock" --pid-file="$work/munge/munged.pid" \
  --seed-file="$work/munge/seed" >"$work/munged.log" 2>&1 &
pids+=($!)

# slurm.conf: one node, this machine's CPUs, on ports of its own.
node=$(hostname -s)
cpus=$(nproc)
port=$((20000 + RANDOM % 20000))
mkdir -p "$work/state" "$work/spool"
cat >"$work/slurm.conf" <<EOF
ClusterName=qorocheck
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$work/munge/munge.sock
CredType=cred/munge
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
SlurmdParameters=config_overrides
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
KillWait=5
MinJobAge=300
NodeName=$node NodeAddr=127.0.0.1 CPUs=$cpus State=UNKNOWN
PartitionName=check Nodes=ALL Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF="$work/slurm.conf"
for _ in $(seq 50); do [ -S "$work/munge/munge.sock" ] && break; sleep 0.1; done
[ -S "$work/munge/munge.sock" ] || check_fail "munged did not start"
/usr/sbin/slurmctld -D -i -f "$SLURM_CONF" >>"$work/slurmctld.log" 2>&1 &
pids+=($!)
/usr/sbin/slurmd -D -f "$SLURM_CONF" -N "$node" >>"$work/slurmd.log" 2>&1 &
pids+=($!)
for _ in $(seq 150); do
  state=$(timeout 5 sinfo -h -N -o %T 2>/dev/null || true)
  [ "$state" = idle ] && break
  sleep 0.2
done
[ "$state" = idle ] || check_fail "the node did not come up (state: ${state:-none})"
echo "slurm-check: a one-node cluster ($cpus CPUs) up in $((SECONDS - t0)) s"

# The library; the share to cancel gets long files after its first one.
shards=8 slow=3
make_library "$work/music"
cd "$work/music"
"$qoro" convert -R . -o ../mp3 --to mp3 --update --dry-run --shard "$slow/$shards" 2>/dev/null |
  sed -n 's/^convert \(.*\) -> .*$/\1/p' >../slow-share
[ "$(wc -l <../slow-share)" -ge 2 ] || check_fail "share $slow holds fewer than two files"
tail -n +2 ../slow-share | while read -r file; do
  sox -q -n -r 44100 -c 2 -b 16 "$file" synth 60 sine 330 vol 0.5
done
timeout 90 "$qoro" convert -R . -o ../whole --to mp3 -j "$cpus" >/dev/null 2>&1 || check_fail "the unsharded run failed"

# The recipe from the man page, for this cluster.
mkdir -p ../reports
cat >../convert.sbatch <<EOF
#!/bin/sh
#SBATCH --array=0-$((shards - 1))
#SBATCH --cpus-per-task=1
#SBATCH --output=$work/task-%a.log
exec "$qoro" convert -R $work/music -o $work/mp3 --to mp3 --update \\
    -j 1 --shard "\$SLURM_ARRAY_TASK_ID/$shards" \\
    --report "$work/reports/\$SLURM_ARRAY_TASK_ID.jsonl"
EOF
job=$(sbatch --parsable --chdir="$work/music" ../convert.sbatch) || check_fail "sbatch refused the recipe"
job=${job%%;*}
# Cancel the slow task once its first file is reported.
for _ in $(seq 600); do
  [ -s "../reports/$slow.jsonl.partial" ] && break
  [ -f "../reports/$slow.jsonl" ] && check_fail "task $slow finished before it could be cancelled"
  sleep 0.1
done
[ -s "../reports/$slow.jsonl.partial" ] || check_fail "task $slow never reported a file"
scancel "${job}_$slow"
wait_for_job() {
  for _ in $(seq 900); do
    [ -z "$(squeue -h -j "$1" 2>/dev/null)" ] && return 0
    sleep 0.1
  done
  check_fail "job $1 did not end: $(squeue -j "$1")"
}
wait_for_job "$job"
[ ! -f "../reports/$slow.jsonl" ] || check_fail "the cancelled task left a complete report"
cp "../reports/$slow.jsonl.partial" ../cancelled.jsonl
cancelled=$(jq -r 'select(.status == "converted") | .source' ../cancelled.jsonl | wc -l)
[ "$cancelled" -ge 1 ] || check_fail "the cancelled task converted nothing before it was cancelled"
echo "slurm-check: task $slow cancelled after $cancelled of $(wc -l <../slow-share) files"

# Completed by running the task again, as the man page says.
job2=$(sbatch --parsable --array="$slow" --chdir="$work/music" ../convert.sbatch) || check_fail "sbatch refused the rerun"
wait_for_job "${job2%%;*}"
jq -e -s --argjson before "$cancelled" 'map(select(.status == "up to date")) | length == $before' \
  "../reports/$slow.jsonl" >/dev/null || check_fail "the rerun did not find the cancelled task's files up to date"
rm -f "../reports/$slow.jsonl.partial"
check_shards . ../mp3 ../whole ../reports "$shards" ../cancelled.jsonl
echo "slurm-check: passed in $((SECONDS - t0)) s after the packages were installed"
