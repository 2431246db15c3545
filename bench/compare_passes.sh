#!/usr/bin/env bash
# Times one-shot passes of two kelvo builds over 10,000 destinations of 4 KiB,
# interleaved (A, B, A, B, ...) so that both see the same machine, and prints
# the median and range of the per-round ratio B / A and the load average.
# Each side has a folder of its own with the companions already made by two
# untimed passes, and the disk is settled (sync) before every timed pass.
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

for side in a b; do
  folder="$work/$side"
  mkdir -p "$folder/pool" "$folder/dest"
  head -c "$((source_count * file_size))" /dev/urandom |
    split -b "$file_size" -a 3 -d --additional-suffix=.dat - "$folder/pool/s"
  awk -v n="$destination_count" -v s="$source_count" 'BEGIN {
    print "SetInterval,60"
    for (i = 0; i < n; i++) for (k = 0; k < 3; k++)
      printf "AddFile,dest/d%05d.dat,pool/s%03d.dat\n", i, (i * 3 + k) % s }' >"$folder/kelvo.txt"
done
cp "$kelvo_a" "$work/a/kelvo"
cp "$kelvo_b" "$work/b/kelvo"
for side in a b; do
  for warm in 1 2; do "$work/$side/kelvo" -oneshot >/dev/null; done
done

timed_pass() {
  sync
  local start end
  start="$(now)"
  "$work/$1/kelvo" -oneshot >/dev/null
  end="$(now)"
  elapsed "$start" "$end"
}

echo "A: $kelvo_a"
echo "B: $kelvo_b"
echo "Load average before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
ratios=()
for ((round = 1; round <= runs; round++)); do
  time_a="$(timed_pass a)"
  time_b="$(timed_pass b)"
  ratios+=("$(quotient "$time_b" "$time_a")")
  echo "round $round: A $time_a s, B $time_b s, B/A ${ratios[-1]}"
done
sorted="$(printf '%s\n' "${ratios[@]}" | sort -g)"
echo "B/A over $runs rounds: median $(median "${ratios[@]}")," \
  "range $(head -n 1 <<<"$sorted")-$(tail -n 1 <<<"$sorted")"
echo "Load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
