#!/usr/bin/env bash
# Times the replacement of one large file whose companion is on disk: kelvo
# (-oneshot), the floor program (bench/floor.c: the same safe steps, nothing
# else) and cp copying onto the existing file, interleaved, and prints the
# median and range of the per-round ratios kelvo / cp and kelvo / floor, with
# the load average.
#
# Usage: bench/copy_vs_cp.sh [SIZE_MIB] [ROUNDS] [SCRATCH_PARENT] [KELVO]
#   SIZE_MIB        size of the file in MiB (default 1024)
#   ROUNDS          interleaved rounds (default 9)
#   SCRATCH_PARENT  folder for the scratch folder (default /var/tmp, else /tmp
#                   or the repository, whichever is first not held in memory)
#   KELVO           program to time (default build/linux/kelvo)
#
# Every replacement frees an old content of the same size: kelvo's and the
# floor's the previous companion, cp's the file it truncates. The source
# stays in the page cache (warm), the disk is settled (sync) before every
# timed run, and a run's time ends when the program returns and a sync after
# it has returned: cp writes nothing out by itself, kelvo flushes its copy
# before it names it, and only the time until the data is on disk compares
# them (SYNC=0 ends the time when the program returns). A round runs
# kelvo, floor, cp, cp, floor, kelvo, so that drift of the disk weighs on
# each alike.
#
# Memory is primed before every timed run. Under a hypervisor that takes back
# free memory (a balloon with free page reporting), the page cache of a copy
# is slow to come by when its pages were handed back, and fast when they were
# freed a moment before: the same cp of 1 GiB took 0.33 s or 3.5 s on one
# machine, set by what the run before it freed and how long ago. So just
# before each run a file of two and a half times the copy's size is written to
# a memory file system and emptied again, and every program finds the same
# kind of free memory (with only the copy's size, or a quarter more, the
# hand-back took part of it back before the copy in 2 of 5 tries; with two and a
# half times, in 0 of 10). The file is removed as soon as it is opened and
# written through the open descriptor, so it cannot outlive the script.
# PRIME=0 in the environment times without it (PRIME=1, the default, with it);
# priming is skipped, with the reason, where /dev/shm or the free memory has
# no room. Priming about doubles the script's time.
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
readonly repo_root
die() {
  echo "copy_vs_cp: $*" >&2
  exit 1
}
readonly size_mib="${1:-1024}"
runs="${2:-9}"
scratch_parent="${3:-}"
kelvo="${4:-$repo_root/build/linux/kelvo}"

source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"
[[ "$size_mib" =~ ^[1-9][0-9]{0,6}$ ]] && ((size_mib <= 1048576)) ||
  die "size must be a number of MiB from 1 to 1048576: $size_mib"
prime="${PRIME:-1}"
[[ "$prime" == 0 || "$prime" == 1 ]] || die "PRIME must be 0 or 1: $prime"
sync_inside="${SYNC:-1}"
[[ "$sync_inside" == 0 || "$sync_inside" == 1 ]] || die "SYNC must be 0 or 1: $sync_inside"
prepare_work_folder kelvo-copy
command -v cc >/dev/null || die "a C compiler (cc) is needed for the floor program"
cc -O2 -pthread "$repo_root/bench/floor.c" -o "$work/floor"
cp "$kelvo" "$work/kelvo"

# Room for the source, kelvo's and the floor's destination and companion, the
# staging copy, and cp's file.
available_mib="$(df -BM --output=avail "$work" | tail -n 1 | tr -dc 0-9)"
((available_mib > 7 * size_mib + 64)) || die "need $((7 * size_mib)) MiB free in $work"

mkdir -p "$work/k" "$work/f"
echo "Making a $size_mib MiB source file..."
head -c "$((size_mib * 1024 * 1024))" /dev/urandom >"$work/source.bin"
for file in k/target.bin k/target.tmp f/target.bin f/target.tmp cp-target.bin; do
  cp "$work/source.bin" "$work/$file"
done
printf 'SetInterval,600\nAddFile,k/target.bin,source.bin\n' >"$work/kelvo.txt"
printf '%s/f/target.bin\t%s/source.bin\n' "$work" "$work" >"$work/floor.list"

prime_mib=$((size_mib * 5 / 2 + 64))
# Why runs are not primed; empty when they are.
why_not_primed() {
  local shm_free_mib memory_free_mib
  [[ "$prime" == 1 ]] || { echo "PRIME=0"; return; }
  [[ -d /dev/shm && -w /dev/shm ]] || { echo "no writable /dev/shm"; return; }
  is_memory_fs /dev/shm || { echo "/dev/shm is not a memory file system"; return; }
  shm_free_mib="$(df -BM --output=avail /dev/shm | tail -n 1 | tr -dc 0-9)"
  ((shm_free_mib > prime_mib + 256)) ||
    { echo "/dev/shm has $shm_free_mib MiB free, the priming needs $prime_mib"; return; }
  # The priming file and the copy's page cache both live in memory.
  memory_free_mib=$(($(awk '$1 == "MemAvailable:" { print $2 }' /proc/meminfo) / 1024))
  ((memory_free_mib > prime_mib + size_mib + 1024)) ||
    echo "$memory_free_mib MiB of memory available, the priming needs $((prime_mib + size_mib + 1024))"
}
not_primed_because="$(why_not_primed)"
prime_fd=""
prime_file=""
trap 'rm -rf "$work"; [[ -z "$prime_file" ]] || rm -f "$prime_file"' EXIT
if [[ -z "$not_primed_because" ]]; then
  prime_file="$(mktemp /dev/shm/kelvo-prime.XXXXXX)"
  exec {prime_fd}<>"$prime_file"
  rm -f "$prime_file"
fi

# Fills memory with the priming file and frees it again; fails if it could
# not be filled.
prime_memory() {
  [[ -n "$prime_fd" ]] || return 0
  head -c "$((prime_mib * 1024 * 1024))" /dev/zero >"/dev/fd/$prime_fd" || {
    : >"/dev/fd/$prime_fd"
    return 1
  }
  : >"/dev/fd/$prime_fd"
}

run_kelvo() { ./kelvo -oneshot; }
run_floor() { ./floor floor.list; }
run_cp() { cp source.bin cp-target.bin; }

# Runs inside $(...), where errexit is off: failures end the script by hand.
timed_run() {
  sync
  prime_memory || die "could not prime memory before a $1 run"
  local start end
  start="$(now)"
  (cd "$work" && "run_$1" >/dev/null && { [[ "$sync_inside" == 0 ]] || sync; }) ||
    die "the $1 run failed"
  end="$(now)"
  elapsed "$start" "$end"
}

echo "File system: $(fs_type "$work") on $(df --output=source "$work" | tail -n 1)" \
  "($(findmnt -n -o OPTIONS -T "$work" 2>/dev/null || echo "options unknown"))"
echo "cp: $(cp --version | head -n 1)"
echo "kelvo: $kelvo"
if [[ "$sync_inside" == 1 ]]; then
  echo "Each run is timed until a sync after it returns"
else
  echo "Each run is timed until it returns (SYNC=0)"
fi
if [[ -z "$not_primed_because" ]]; then
  echo "Memory primed before each run: $prime_mib MiB written to and freed from /dev/shm"
else
  echo "Memory not primed ($not_primed_because): a run's time may hang on what the run before" \
    "it freed, and the figures do not compare with primed ones"
  [[ "$prime" == 0 ]] || echo "copy_vs_cp: warning: memory not primed: $not_primed_because" >&2
fi
# One untimed run of each: the first writes to fresh areas of a virtual disk
# can be slower than later ones, and the source comes into the cache.
for side in kelvo floor cp; do timed_run "$side" >/dev/null; done

echo "Load average before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
cp_ratios=()
floor_ratios=()
for ((round = 1; round <= runs; round++)); do
  k1="$(timed_run kelvo)"
  f1="$(timed_run floor)"
  c1="$(timed_run cp)"
  c2="$(timed_run cp)"
  f2="$(timed_run floor)"
  k2="$(timed_run kelvo)"
  k="$(sum "$k1" "$k2")" f="$(sum "$f1" "$f2")" c="$(sum "$c1" "$c2")"
  cp_ratios+=("$(quotient "$k" "$c")")
  floor_ratios+=("$(quotient "$k" "$f")")
  echo "round $round: kelvo $k1 + $k2 s, floor $f1 + $f2 s, cp $c1 + $c2 s;" \
    "kelvo/cp ${cp_ratios[-1]}, kelvo/floor ${floor_ratios[-1]}"
done
for file in k/target.bin f/target.bin cp-target.bin; do
  cmp -s "$work/source.bin" "$work/$file" || die "$file differs from the source"
done
grep -q ' -> Done\.$' "$work/purlolog.html" || die "kelvo did not replace the file"

summary() { echo "  $1: $(spread "${@:2}")"; }
echo
echo "Per-round ratios over $runs rounds, $size_mib MiB with the companion on disk:"
summary "kelvo/cp   " "${cp_ratios[@]}"
summary "kelvo/floor" "${floor_ratios[@]}"
echo "Load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
