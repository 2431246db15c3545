#!/usr/bin/env bash
# Times one-shot passes of two kelvo builds over 10,000 destinations of 4 KiB,
# interleaved (A B B A in every round) so that both see the same machine, and
# prints the median and range of the per-round ratio B / A, of wall-clock time
# and of time on the CPU, and the load average.
# Both run in one folder, whose companions two untimed passes make first, and
# the disk is settled (sync) before every timed pass.
#
# Usage: bench/compare_passes.sh KELVO_A KELVO_B [ROUNDS] [SCRATCH_PARENT]
#   ROUNDS          interleaved rounds (default 9)
#   SCRATCH_PARENT  folder for the scratch folder (default /var/tmp, else /tmp
#                   or the repository, whichever is first not held in memory)
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
readonly repo_root
die() {
  echo "compare_passes: $*" >&2
  exit 1
}
(($# >= 2)) || die "usage: bench/compare_passes.sh KELVO_A KELVO_B [ROUNDS] [SCRATCH_PARENT]"
kelvo_a="$1"
kelvo_b="$2"
runs="${3:-9}"
scratch_parent="${4:-}"
readonly destination_count=10000 source_count=100 file_size=4096

source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"
kelvo="$kelvo_a" prepare_work_folder kelvo-compare
[[ -x "$kelvo_b" ]] || die "no kelvo binary at $kelvo_b"

# One folder for both: the state of the file system (which inodes are free,
# which were freed a moment ago) weighs on every file a pass creates, so
# both builds run on the same one, one pass after the other.
mkdir -p "$work/pool" "$work/dest"
head -c "$((source_count * file_size))" /dev/urandom |
  split -b "$file_size" -a 3 -d --additional-suffix=.dat - "$work/pool/s"
awk -v n="$destination_count" -v s="$source_count" 'BEGIN {
  print "SetInterval,60"
  for (i = 0; i < n; i++) for (k = 0; k < 3; k++)
    printf "AddFile,dest/d%05d.dat,pool/s%03d.dat\n", i, (i * 3 + k) % s }' >"$work/kelvo.txt"
cp "$kelvo_a" "$work/kelvo-a"
cp "$kelvo_b" "$work/kelvo-b"
for side in a b; do "$work/kelvo-$side" -oneshot >/dev/null; done

# Prints the pass's wall-clock time and its time on the CPU (user + system):
# the second is spared the waits for the disk, which vary a lot from pass to
# pass on a shared machine.
timed_pass() {
  sync
  local times
  times="$({ /usr/bin/time -f "%e %U %S" "$work/kelvo-$1" -oneshot >/dev/null; } 2>&1 | tail -n 1)"
  awk '{ printf "%.3f %.3f", $1, $2 + $3 }' <<<"$times"
}

echo "A: $kelvo_a"
echo "B: $kelvo_b"
echo "Load average before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
wall_ratios=()
cpu_ratios=()
for ((round = 1; round <= runs; round++)); do
  # A B B A: passes over one folder alternate between fast and slow on some
  # file systems (ext4 without a journal skips inodes freed a moment ago),
  # so in each round each build makes one pass of each kind.
  read -r wall_a1 cpu_a1 <<<"$(timed_pass a)"
  read -r wall_b1 cpu_b1 <<<"$(timed_pass b)"
  read -r wall_b2 cpu_b2 <<<"$(timed_pass b)"
  read -r wall_a2 cpu_a2 <<<"$(timed_pass a)"
  wall_a="$(sum "$wall_a1" "$wall_a2")"
  wall_b="$(sum "$wall_b1" "$wall_b2")"
  cpu_a="$(sum "$cpu_a1" "$cpu_a2")"
  cpu_b="$(sum "$cpu_b1" "$cpu_b2")"
  wall_ratios+=("$(quotient "$wall_b" "$wall_a")")
  cpu_ratios+=("$(quotient "$cpu_b" "$cpu_a")")
  echo "round $round: A $wall_a1 + $wall_a2 s (CPU $cpu_a), B $wall_b1 + $wall_b2 s (CPU $cpu_b)," \
    "B/A ${wall_ratios[-1]} (CPU ${cpu_ratios[-1]})"
done
summary() { echo "B/A $1 over $runs rounds: $(spread "${@:2}")"; }
summary "wall clock" "${wall_ratios[@]}"
summary "CPU time" "${cpu_ratios[@]}"
echo "Load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
