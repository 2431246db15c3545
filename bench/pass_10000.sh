#!/usr/bin/env bash
# Times "kelvo -oneshot" passes over 10,000 destinations of 4 KiB, each listing
# 3 of 100 pool sources of 4 KiB, and prints replacements per second, the share
# of the pass spent outside the copies and the time of parsing the script.
#
# Usage: bench/pass_10000.sh [SCRATCH_PARENT] [KELVO] [RUNS]
#   SCRATCH_PARENT  folder in which the scratch folder is made (default /var/tmp,
#                   else /tmp or the repository, whichever is first not held in memory)
#   KELVO           program to time (default build/linux/kelvo in the repository)
#   RUNS            timed passes (default 3); the median is reported
#
# An untimed first pass creates the companions, so every timed pass is a pass of
# the running program: copy, exchange, rename over the old companion. Caches stay warm, as
# they do for a program that keeps running.
#
# How the time outside the copies is found. A copy is what cp does too; the rest
# (reading the script, drawing sources, deleting companions, swapping names,
# console and log records) is kelvo's own. Two independent figures:
#  1. Copy cost measured apart, in wall-clock time: cp copies a folder of 10,000
#     files of 4 KiB into a fresh folder in one invocation, keeping mode and
#     modification time as kelvo's copy does. Per file that is kelvo's copy step
#     and nothing more: open the source, create the target, copy 4 KiB, set mode
#     and time, close. Outside share = 1 - cp time / pass time. These copies run
#     before any pass and each into a folder of its own: after mass deletions
#     some file systems (ext4 without a journal) allocate inodes much more
#     slowly for a while, which would bill kelvo's deletions to cp.
#  2. Where perf works, attributed inside one pass: perf stat gives the pass's
#     time on the CPU (task-clock) and so its time off it (elapsed - task-clock).
#     One pass sampled on the CPU with DWARF call stacks gives the share of CPU
#     time with CopyInto on the stack; one pass sampled at every 10th context
#     switch gives the share of switches made inside CopyInto, which is taken
#     as its share of the time off the CPU (an estimate: it weighs every switch
#     alike). Copies = CPU share x task-clock + switch share x time off the CPU.
#     The same two shares are printed for the other big steps.
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
readonly repo_root
scratch_parent="${1:-}"
kelvo="${2:-$repo_root/build/linux/kelvo}"
readonly runs="${3:-3}"
readonly destination_count=10000
readonly source_count=100
readonly file_size=4096

die() {
  echo "pass_10000: $*" >&2
  exit 1
}

# Timing, statistics and the choice of a disk folder, shared by the benchmarks.
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"

# Fills folder $1 with $2 files of random data named $3NNNNN.dat (width $4).
make_files() {
  mkdir -p "$1"
  head -c "$(($2 * file_size))" /dev/urandom |
    split -b "$file_size" -a "$4" -d --additional-suffix=.dat - "$1/$3"
}

# Sets up folder $1 as a kelvo installation with the given first script line.
make_installation() {
  mkdir -p "$1"
  cp "$kelvo" "$1/kelvo"
  {
    echo "$2"
    echo "SetSourcePath,$work/pool/"
    echo "SetDestinationPath,$work/out/"
    awk -v n="$destination_count" -v m="$source_count" 'BEGIN {
      for (i = 0; i < n; i++)
        for (k = 0; k < 3; k++)
          printf "AddFile,dest_%05d.dat,src_%02d.dat\n", i, (i + 37 * k) % m }'
  } >"$1/kelvo.txt"
}

# Runs the kelvo in folder $1 once and prints its wall-clock seconds; the
# console output goes to $1/console.txt.
time_kelvo() {
  local start end
  start="$(now)"
  "$1/kelvo" -oneshot >"$1/console.txt"
  end="$(now)"
  elapsed "$start" "$end"
}

check_pass() {
  local done_count
  done_count="$(grep -c ', Replacing .* -> Done\.$' "$1/console.txt" || true)"
  ((done_count == destination_count)) ||
    die "a pass replaced $done_count of $destination_count destinations; see $1/console.txt"
}

# Share in percent of the samples with function $2 on the stack, from the
# children column of a perf report in file $1.
sample_share() {
  awk -v name="$2" '$3 == "[.]" {
      symbol = $4; for (i = 5; i <= NF; i++) symbol = symbol " " $i
      sub(/ \(inlined\)$/, "", symbol)
      if (symbol == name) { gsub(/%/, "", $1); share += $1 }
    } END { printf "%.1f", share }' "$1"
}

prepare_work_folder kelvo-pass-bench

echo "Making $destination_count destinations and $source_count sources of $file_size bytes..."
make_files "$work/pool" "$source_count" src_ 2
make_files "$work/out" "$destination_count" dest_ 5
make_files "$work/cp-source" "$destination_count" file_ 5
make_installation "$work/pass" "SetInterval,600"
make_installation "$work/parse" "SetInterval,0"
make_installation "$work/start" "SetInterval,0"
echo "SetInterval,0" >"$work/start/kelvo.txt"

echo "File system: $(fs_type "$work") on $(df --output=source "$work" | tail -n 1)" \
  "($(findmnt -n -o OPTIONS -T "$work" 2>/dev/null || echo "options unknown"))"
echo "Scratch: $work"
echo "kelvo: $kelvo"
echo "Script: $(wc -l <"$work/pass/kelvo.txt") lines"
echo "Load average: $(cut -d ' ' -f 1-3 /proc/loadavg) on $(nproc) cores"

copy_times=()
for ((run = 1; run <= runs; run++)); do
  sync
  start="$(now)"
  cp -r --preserve=mode,timestamps "$work/cp-source" "$work/cp-target-$run"
  end="$(now)"
  copy_times+=("$(elapsed "$start" "$end")")
  echo "cp of $destination_count files into a new folder, run $run: ${copy_times[-1]} s"
done

sync
first_pass="$(time_kelvo "$work/pass")"
check_pass "$work/pass"
echo "first pass (no companions yet): $first_pass s"

pass_times=()
for ((run = 1; run <= runs; run++)); do
  sync
  pass_times+=("$(time_kelvo "$work/pass")")
  check_pass "$work/pass"
  echo "pass $run: ${pass_times[-1]} s"
done

parse_times=()
start_times=()
for ((run = 1; run <= runs; run++)); do
  parse_times+=("$(time_kelvo "$work/parse")")
  grep -q "Error, Interval equal 0\." "$work/parse/console.txt" ||
    die "the parse-only run did not stop after parsing; see $work/parse/console.txt"
  start_times+=("$(time_kelvo "$work/start")")
done

pass_median="$(median "${pass_times[@]}")"
copy_median="$(median "${copy_times[@]}")"
pass_best="$(best "${pass_times[@]}")"
copy_best="$(best "${copy_times[@]}")"
parse_median="$(median "${parse_times[@]}")"
start_median="$(median "${start_times[@]}")"

# Prints the time outside the copies and its share of the pass.
print_outside() {
  awk -v label="$1" -v t="$2" -v c="$3" 'BEGIN {
    outside = t - c; share = (t > 0) ? 100 * outside / t : 0
    printf "  %-26s %.3f s = %.1f%% of the pass\n", label, outside, share }'
}

echo
echo "Median of $runs runs, $destination_count replacements of $file_size bytes" \
  "(load average now $(cut -d ' ' -f 1 /proc/loadavg)):"
echo "  pass                       $pass_median s (best $pass_best s)"
awk -v n="$destination_count" -v t="$pass_median" -v b="$pass_best" 'BEGIN {
  printf "  replacements per second    %.0f (best %.0f)\n",
    (t > 0) ? n / t : 0, (b > 0) ? n / b : 0 }'
echo "  copies alone (cp)          $copy_median s (best $copy_best s)"
print_outside "outside the copies" "$pass_median" "$copy_median"
print_outside "  best to best" "$pass_best" "$copy_best"
echo "  start + parse (interval 0) $parse_median s"
echo "  start alone (empty script) $start_median s"
awk -v p="$parse_median" -v s="$start_median" \
  'BEGIN { printf "  parsing alone              %.3f s\n", p - s }'

# Runs one pass under perf with the given options; false when perf fails here.
perf_pass() {
  sync
  perf "$@" -- "$work/pass/kelvo" -oneshot >"$work/pass/console.txt" 2>/dev/null || return 1
  check_pass "$work/pass"
}

if ! command -v perf >/dev/null; then
  echo "perf not found: no attribution inside the pass"
  exit 0
fi
start="$(now)"
if ! perf_pass stat -x, -e task-clock -o "$work/stat.txt"; then
  echo "perf cannot count here: no attribution inside the pass"
  exit 0
fi
end="$(now)"
counted_pass="$(elapsed "$start" "$end")"
cpu_ms="$(awk -F, '$3 == "task-clock" { printf "%.0f", $1 }' "$work/stat.txt")"
if ! perf_pass record -q -F 999 --call-graph dwarf,16384 -o "$work/cpu.data" ||
  ! perf_pass record -q -e context-switches -c 10 --call-graph dwarf,8192 \
    -o "$work/switch.data"; then
  echo "perf cannot sample here: no attribution inside the pass"
  exit 0
fi
for profile in cpu switch; do
  perf report -i "$work/$profile.data" --children --sort sym --stdio -g none 2>/dev/null \
    >"$work/$profile.txt"
done

echo
echo "Inside one pass (perf; share with the function on the stack):"
awk -v cpu="$cpu_ms" -v t="$counted_pass" 'BEGIN {
  printf "  pass %.3f s: %.3f s on the CPU, %.3f s off it\n", t, cpu / 1000, t - cpu / 1000 }'
printf "  %-24s %12s %12s\n" "" "CPU samples" "switches"
for function in CopyInto CreateAnonymousFile NameAnonymousFile ExchangeNames RenameOver \
  LogService::Report EntrySet::Contains InterpretScript; do
  printf "  %-24s %11s%% %11s%%\n" "$function" "$(sample_share "$work/cpu.txt" "$function")" \
    "$(sample_share "$work/switch.txt" "$function")"
done
awk -v on="$(sample_share "$work/cpu.txt" CopyInto)" \
  -v off="$(sample_share "$work/switch.txt" CopyInto)" \
  -v cpu="$cpu_ms" -v t="$counted_pass" 'BEGIN {
    copy = on / 100 * cpu / 1000 + off / 100 * (t - cpu / 1000)
    printf "  copies %.3f s; outside them %.3f s = %.1f%% of the pass\n",
      copy, t - copy, (t > 0) ? 100 * (t - copy) / t : 0 }'
