#!/usr/bin/env bash
# Times one-shot passes of the Windows build under Wine over a small and a
# large folder of destinations (1,000 and 3,000 by default, 4 KiB each, the
# companions already on disk), interleaved (small, large, large, small in
# every round), and prints the median and range of the per-round ratio of
# the time per replacement, large / small, with the load average. A ratio
# above 1 is a cost per replacement that grows with the folder. The time of
# a run over one destination, taken in every round, is subtracted first, so
# that Wine's and kelvo's start-up does not count as replacements.
#
# Usage: bench/wine_scaling.sh [ROUNDS] [SMALL] [LARGE] [SCRATCH_PARENT] [KELVO_EXE]
#   ROUNDS          interleaved rounds (default 9)
#   SMALL, LARGE    destinations in the two folders (default 1000 and 3000)
#   SCRATCH_PARENT  folder for the scratch folder (default /var/tmp, else /tmp
#                   or the repository, whichever is first not held in memory)
#   KELVO_EXE       program to time (default build/win32/kelvo.exe)
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
readonly repo_root
die() {
  echo "wine_scaling: $*" >&2
  exit 1
}
runs="${1:-9}"
small="${2:-1000}"
large="${3:-3000}"
scratch_parent="${4:-}"
kelvo="${5:-$repo_root/build/win32/kelvo.exe}"
readonly source_count=100 file_size=4096

source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"
source "$repo_root/tools/wine-env.sh"
[[ "$small" =~ ^[1-9][0-9]*$ && "$large" =~ ^[1-9][0-9]*$ ]] || die "counts must be positive numbers"
command -v wine >/dev/null || die "wine is needed"
prepare_work_folder kelvo-wine
export WINEDEBUG=-all
start_wine_server "$(command -v wine)"
trap 'stop_wine_server; rm -rf "$work"' EXIT

# One program folder per size: kelvo.exe, its script, its pool and its
# destinations.
for count in 1 "$small" "$large"; do
  folder="$work/n$count"
  mkdir -p "$folder/pool" "$folder/dest"
  cp "$kelvo" "$folder/kelvo.exe"
  head -c "$((source_count * file_size))" /dev/urandom |
    split -b "$file_size" -a 3 -d --additional-suffix=.dat - "$folder/pool/s"
  awk -v n="$count" -v s="$source_count" 'BEGIN {
    print "SetInterval,60"
    for (i = 0; i < n; i++) for (k = 0; k < 3; k++)
      printf "AddFile,dest\\d%05d.dat,pool\\s%03d.dat\n", i, (i * 3 + k) % s }' |
    sed 's/$/\r/' >"$folder/kelvo.txt"
done

# Milliseconds of one whole run.
timed_pass() {
  local count="$1" start end
  sync
  start="$(now)"
  (cd "$work/n$count" && wine kelvo.exe -oneshot >/dev/null)
  end="$(now)"
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", (b - a) * 1000 }'
}

# Milliseconds per replacement: two runs over count destinations less two
# runs over one, over the replacements beyond the first.
per_replacement() {
  awk -v a="$1" -v b="$2" -v s="$3" -v n="$4" 'BEGIN { printf "%.3f", (a + b - s) / (2 * (n - 1)) }'
}

echo "kelvo: $kelvo"
echo "Settling: two untimed passes of each, so that every companion and original exists"
for count in 1 "$small" "$large" 1 "$small" "$large"; do timed_pass "$count" >/dev/null; done
grep -q ' -> Failed\.' "$work/n$small/purlolog.html" "$work/n$large/purlolog.html" &&
  die "a replacement failed; see the logs under $work"

echo "Load average before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
ratios=()
for ((round = 1; round <= runs; round++)); do
  o1="$(timed_pass 1)"
  s1="$(timed_pass "$small")"
  l1="$(timed_pass "$large")"
  l2="$(timed_pass "$large")"
  s2="$(timed_pass "$small")"
  o2="$(timed_pass 1)"
  start_up="$(awk -v x="$o1" -v y="$o2" 'BEGIN { print x + y }')"
  per_small="$(per_replacement "$s1" "$s2" "$start_up" "$small")"
  per_large="$(per_replacement "$l1" "$l2" "$start_up" "$large")"
  ratios+=("$(quotient "$per_large" "$per_small")")
  echo "round $round: a run over one destination $o1 + $o2 ms; a replacement" \
    "$per_small ms among $small, $per_large ms among $large; ratio ${ratios[-1]}"
done
echo
echo "Time per replacement, $large / $small destinations, over $runs rounds: $(spread "${ratios[@]}")"
echo "Load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
