#!/usr/bin/env bash
# Times one-shot passes over 10,000 destinations of 4 KiB whose companions
# are already on disk, for kelvo, for the floor program (bench/floor.c: the
# same safe steps and log appends, nothing else) and for
# "cp --backup=simple" onto the same destinations, interleaved, and prints
# the median and range of the per-round ratios kelvo / floor and kelvo / cp,
# in wall-clock time and in time on the CPU, with the load average. Then the
# system calls per replacement of kelvo and of the floor (strace), and where
# kelvo's time on the CPU goes (perf), or why that cannot be told here.
#
# Usage: bench/pass_10000.sh [ROUNDS] [SCRATCH_PARENT] [KELVO]
#   ROUNDS          interleaved rounds (default 15: a pass's time spreads by
#                   about ±20% from round to round on a shared machine)
#   SCRATCH_PARENT  folder for the scratch folder (default /var/tmp, else /tmp
#                   or the repository, whichever is first not held in memory)
#   KELVO           program to time (default build/linux/kelvo)
#
# All three work in one folder, one pass after the other, and the disk is
# settled (sync) before every timed pass. A round runs kelvo, floor, cp, cp,
# floor, kelvo: on some disks (ext4 without a journal, with discard) every
# other pass over a folder is slow whichever program makes it, and so each
# program makes one pass of each kind. cp copies, in one run, a folder of
# 10,000 files named as the destinations, keeping each destination's old
# content as "<name>~" (less safe than kelvo: the name is missing for a
# moment, and a kill leaves a partial file).
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
readonly repo_root
die() {
  echo "pass_10000: $*" >&2
  exit 1
}
runs="${1:-15}"
scratch_parent="${2:-}"
kelvo="${3:-$repo_root/build/linux/kelvo}"
readonly destination_count=10000 source_count=100 file_size=4096

source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"
prepare_work_folder kelvo-pass
command -v cc >/dev/null || die "a C compiler (cc) is needed for the floor program"
cc -O2 -pthread "$repo_root/bench/floor.c" -o "$work/floor"
cp "$kelvo" "$work/kelvo"

make_pass_files
mkdir -p "$work/cp-source"
head -c "$((destination_count * file_size))" /dev/urandom |
  split -b "$file_size" -a 5 -d --additional-suffix=.dat - "$work/cp-source/d"

# Pass commands, run in the scratch folder (kelvo's and the floor's log
# go there).
pass_kelvo() { ./kelvo -oneshot; }
pass_floor() { ./floor floor.list; }
pass_cp() { cp --backup=simple cp-source/*.dat dest/; }

# Prints wall-clock seconds and CPU seconds (user + system) of one pass.
timed_pass() {
  sync
  local times
  times="$({ /usr/bin/time -f "%e %U %S" bash -c "cd '$work' && $(declare -f "pass_$1") && pass_$1" \
    >/dev/null; } 2>&1 | tail -n 1)"
  awk '{ printf "%.3f %.3f", $1, $2 + $3 }' <<<"$times"
}

check_passes() {
  local done_count
  done_count="$(grep -c ' -> Done\.$' "$work/purlolog.html" || true)"
  ((done_count > 0)) || die "no replacement was done; see $work/purlolog.html"
  ! grep -q ' -> Failed\.' "$work/purlolog.html" || die "a replacement failed; see $work/purlolog.html"
}

echo "File system: $(fs_type "$work") on $(df --output=source "$work" | tail -n 1)" \
  "($(findmnt -n -o OPTIONS -T "$work" 2>/dev/null || echo "options unknown"))"
echo "kelvo: $kelvo"
echo "cp: $(cp --version | head -n 1)"
echo "Settling: two untimed passes of each, so that every companion and backup exists"
for side in kelvo floor cp kelvo floor cp; do timed_pass "$side" >/dev/null; done
check_passes

echo "Load average before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
floor_ratios=()
cp_ratios=()
kelvo_passes=()
floor_passes=()
floor_cpu_ratios=()
cp_cpu_ratios=()
for ((round = 1; round <= runs; round++)); do
  read -r k1 kc1 <<<"$(timed_pass kelvo)"
  read -r f1 fc1 <<<"$(timed_pass floor)"
  read -r c1 cc1 <<<"$(timed_pass cp)"
  read -r c2 cc2 <<<"$(timed_pass cp)"
  read -r f2 fc2 <<<"$(timed_pass floor)"
  read -r k2 kc2 <<<"$(timed_pass kelvo)"
  kelvo_passes+=("$k1" "$k2")
  floor_passes+=("$f1" "$f2")
  k="$(sum "$k1" "$k2")" f="$(sum "$f1" "$f2")" c="$(sum "$c1" "$c2")"
  kc="$(sum "$kc1" "$kc2")" fc="$(sum "$fc1" "$fc2")" cc="$(sum "$cc1" "$cc2")"
  floor_ratios+=("$(quotient "$k" "$f")")
  cp_ratios+=("$(quotient "$k" "$c")")
  floor_cpu_ratios+=("$(quotient "$kc" "$fc")")
  cp_cpu_ratios+=("$(quotient "$kc" "$cc")")
  echo "round $round: kelvo $k1 + $k2 s (CPU $kc), floor $f1 + $f2 s (CPU $fc)," \
    "cp $c1 + $c2 s (CPU $cc); kelvo/floor ${floor_ratios[-1]}, kelvo/cp ${cp_ratios[-1]}"
done
check_passes

summary() { echo "  $1: $(spread "${@:2}")"; }
echo
echo "Per-round ratios over $runs rounds ($destination_count replacements of $file_size bytes):"
summary "kelvo/floor, wall clock" "${floor_ratios[@]}"
summary "kelvo/floor, CPU time  " "${floor_cpu_ratios[@]}"
summary "kelvo/cp,    wall clock" "${cp_ratios[@]}"
summary "kelvo/cp,    CPU time  " "${cp_cpu_ratios[@]}"
# Interference from the rest of the machine only ever adds time, so the
# fastest passes are the steadier comparison on a busy machine.
echo "  fastest pass: kelvo $(best "${kelvo_passes[@]}") s, floor $(best "${floor_passes[@]}") s," \
  "kelvo/floor $(quotient "$(best "${kelvo_passes[@]}")" "$(best "${floor_passes[@]}")")"
echo "Load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

# System calls per replacement, from one traced pass of each.
if command -v strace >/dev/null; then
  echo
  for side in kelvo floor; do
    sync
    (cd "$work" && strace -f -c -o "$work/$side.calls" bash -c "$(declare -f "pass_$side") && pass_$side" \
      >/dev/null 2>&1) || true
    awk -v n="$destination_count" -v side="$side" '$NF == "total" {
        printf "System calls per replacement, %s: %.1f (%.2f failed)\n", side, $(NF-2) / n,
          (NF == 6 ? $(NF-1) : 0) / n }' "$work/$side.calls"
  done
else
  echo "strace not found: no count of system calls"
fi

# Where kelvo's time on the CPU goes, by function, from one sampled pass.
echo
if ! command -v perf >/dev/null; then
  echo "perf not found: no breakdown by function"
  exit 0
fi
sync
if ! (cd "$work" && perf record -q -F 2000 -g -o "$work/perf.data" ./kelvo -oneshot \
  >/dev/null 2>"$work/perf.err"); then
  echo "perf cannot sample here ($(head -n 1 "$work/perf.err")): no breakdown by function"
  exit 0
fi
perf report -i "$work/perf.data" --no-children --sort dso,sym --stdio 2>/dev/null |
  grep -v '^#' | grep -v '^$' | awk '$1 ~ /%$/' >"$work/perf.txt" || true
if ! grep -q 'kelvo' "$work/perf.txt"; then
  echo "perf read no symbols of kelvo here: no breakdown by function"
  exit 0
fi
echo "kelvo's time on the CPU in one pass, by program part (perf):"
perf report -i "$work/perf.data" --no-children --sort dso --stdio 2>/dev/null |
  awk '$1 ~ /%$/' | head -n 4 | sed 's/^ */  /'
echo "and by function (self time, top 15):"
head -n 15 "$work/perf.txt" | sed 's/^/  /'
