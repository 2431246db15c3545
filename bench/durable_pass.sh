#!/usr/bin/env bash
# Times what a durable one-shot pass costs: 10,000 destinations of 4 KiB
# whose companions and originals are already on disk, each pass followed by
# a sync inside its timing, so that every program's time is the time until
# its replacements are on disk. Compared, interleaved:
#   kelvo -oneshot, then sync;
#   the floor program (bench/floor.c) with no flush, then sync: the same
#   safe steps, made durable all at once at the end;
#   the floor with an fdatasync a file before its name changes and a folder
#   flush at the end, then sync: the same steps made durable one file at a
#   time.
# Prints the median and range of the per-round ratios, with the load average.
#
# Usage: bench/durable_pass.sh [ROUNDS] [SCRATCH_PARENT] [KELVO]
#   ROUNDS          interleaved rounds (default 9)
#   SCRATCH_PARENT  folder for the scratch folder (default /var/tmp, else /tmp
#                   or the repository, whichever is first not held in memory)
#   KELVO           program to time (default build/linux/kelvo)
#
# A round runs kelvo, floor, floor-each, floor-each, floor, kelvo: on some
# disks every other pass over a folder is slow whichever program makes it,
# so each program makes one pass of each kind.
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
readonly repo_root
die() {
  echo "durable_pass: $*" >&2
  exit 1
}
runs="${1:-9}"
scratch_parent="${2:-}"
kelvo="${3:-$repo_root/build/linux/kelvo}"
readonly destination_count=10000 source_count=100 file_size=4096

source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"
prepare_work_folder kelvo-durable
command -v cc >/dev/null || die "a C compiler (cc) is needed for the floor program"
cc -O2 -pthread "$repo_root/bench/floor.c" -o "$work/floor"
cp "$kelvo" "$work/kelvo"

make_pass_files

pass_kelvo() { ./kelvo -oneshot; }
pass_floor() { ./floor floor.list; }
pass_floor_each() { ./floor floor.list each; }

# Seconds from the start of a pass until its sync returns; the disk is
# settled before.
timed_pass() {
  sync
  local start end
  start="$(now)"
  (cd "$work" && "pass_$1" >/dev/null && sync) || die "the $1 pass failed"
  end="$(now)"
  elapsed "$start" "$end"
}

echo "File system: $(fs_type "$work") on $(df --output=source "$work" | tail -n 1)" \
  "($(findmnt -n -o OPTIONS -T "$work" 2>/dev/null || echo "options unknown"))"
echo "kelvo: $kelvo"
echo "Settling: untimed passes, so that every companion and original exists"
for side in kelvo floor floor_each kelvo; do timed_pass "$side" >/dev/null; done
! grep -q ' -> Failed\.' "$work/purlolog.html" || die "a replacement failed; see $work/purlolog.html"

echo "Load average before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
floor_ratios=()
each_ratios=()
for ((round = 1; round <= runs; round++)); do
  k1="$(timed_pass kelvo)"
  f1="$(timed_pass floor)"
  e1="$(timed_pass floor_each)"
  e2="$(timed_pass floor_each)"
  f2="$(timed_pass floor)"
  k2="$(timed_pass kelvo)"
  k="$(sum "$k1" "$k2")" f="$(sum "$f1" "$f2")" e="$(sum "$e1" "$e2")"
  floor_ratios+=("$(quotient "$k" "$f")")
  each_ratios+=("$(quotient "$k" "$e")")
  echo "round $round: kelvo $k1 + $k2 s, floor+sync $f1 + $f2 s, floor fdatasync each" \
    "$e1 + $e2 s; kelvo/(floor+sync) ${floor_ratios[-1]}, kelvo/(fdatasync each) ${each_ratios[-1]}"
done
! grep -q ' -> Failed\.' "$work/purlolog.html" || die "a replacement failed; see $work/purlolog.html"

summary() { echo "  $1: $(spread "${@:2}")"; }
echo
echo "Per-round ratios over $runs rounds ($destination_count replacements of $file_size bytes," \
  "each pass timed until its sync returned):"
summary "kelvo / (floor, no flush, then sync)" "${floor_ratios[@]}"
summary "kelvo / (floor, fdatasync each)     " "${each_ratios[@]}"
echo "Load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
