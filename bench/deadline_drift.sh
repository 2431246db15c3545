#!/usr/bin/env bash
# Runs kelvo without end over a few destinations and prints how late each
# replacement of the later passes starts against its moment: the end of the
# first pass plus k × (interval / count). Waits that were relative would
# add each replacement's own time to every later one; fixed moments do not.
#
# Usage: bench/deadline_drift.sh [SECONDS] [INTERVAL] [COUNT] [SCRATCH_PARENT] [KELVO]
#   SECONDS         how long kelvo runs (default 60)
#   INTERVAL        the script's interval in seconds (default 10)
#   COUNT           destinations of 4 KiB (default 5)
#   SCRATCH_PARENT  folder for the scratch folder (default /var/tmp, else /tmp
#                   or the repository, whichever is first not held in memory)
#   KELVO           program to run (default build/linux/kelvo)
#
# A replacement's moment is taken when its console line ("..., Replacing")
# arrives, which kelvo writes just before it copies.
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
readonly repo_root
die() {
  echo "deadline_drift: $*" >&2
  exit 1
}
readonly seconds="${1:-60}" interval="${2:-10}" count="${3:-5}"
scratch_parent="${4:-}"
kelvo="${5:-$repo_root/build/linux/kelvo}"
runs=1

source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"
prepare_work_folder kelvo-drift
cp "$kelvo" "$work/kelvo"
mkdir -p "$work/pool" "$work/dest"
head -c 4096 /dev/urandom >"$work/pool/a.dat"
head -c 4096 /dev/urandom >"$work/pool/b.dat"
{
  echo "SetInterval,$interval"
  for ((i = 0; i < count; i++)); do
    echo "AddFile,dest/d$i.dat,pool/a.dat"
    echo "AddFile,dest/d$i.dat,pool/b.dat"
  done
} >"$work/kelvo.txt"

echo "Load average before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
echo "Running kelvo for $seconds s: interval $interval s over $count destinations..."
stamp() { while IFS= read -r line; do echo "${EPOCHREALTIME/,/.} $line"; done; }
cd "$work"
./kelvo > >(stamp >"$work/stamped.txt") &
pid=$!
sleep "$seconds"
kill -TERM "$pid"
wait "$pid" || true
sleep 1  # the stamping reads the last lines
cd - >/dev/null

awk -v interval="$interval" -v count="$count" '
  / Waiting Interval / && !start { start = $1 }
  / Replacing / && start {
    k++
    due = start + k * int(interval * 1000 / count) / 1000
    late = ($1 - due) * 1000
    if (late > worst) worst = late
    last = late
    printf "replacement %2d of the later passes: %+.2f ms against its moment\n", k, late
  }
  END {
    if (!k) { print "no replacement after the first pass"; exit 1 }
    printf "\n%d replacements after the first pass; the last %+.2f ms against its moment, the latest %+.2f ms\n",
      k, last, worst
  }' "$work/stamped.txt"
echo "Load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
