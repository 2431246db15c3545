#!/usr/bin/env bash
# Times whole one-shot runs of kelvo replacing one file of 4 KiB whose
# companion is on disk, start-up included, against cp copying onto an
# existing file, interleaved, and prints the median and range of the
# per-round ratio kelvo / cp with the load average.
#
# Usage: bench/oneshot_vs_cp.sh [ROUNDS] [RUNS_PER_ROUND] [SCRATCH_PARENT] [KELVO]
#   ROUNDS          interleaved rounds (default 9)
#   RUNS_PER_ROUND  runs of each program in a round (default 200)
#   SCRATCH_PARENT  folder for the scratch folder (default /var/tmp, else /tmp
#                   or the repository, whichever is first not held in memory)
#   KELVO           program to time (default build/linux/kelvo)
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
readonly repo_root
die() {
  echo "oneshot_vs_cp: $*" >&2
  exit 1
}
runs="${1:-9}"
per_round="${2:-200}"
scratch_parent="${3:-}"
kelvo="${4:-$repo_root/build/linux/kelvo}"

source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"
[[ "$per_round" =~ ^[1-9][0-9]*$ ]] || die "runs per round must be a positive number"
prepare_work_folder kelvo-oneshot
cp "$kelvo" "$work/kelvo"
head -c 4096 /dev/urandom >"$work/source.dat"
for file in target.dat target.tmp cp-target.dat; do cp "$work/source.dat" "$work/$file"; done
printf 'SetInterval,600\nAddFile,target.dat,source.dat\n' >"$work/kelvo.txt"

# Seconds for per_round runs of one side, one after the other.
timed_runs() {
  local start end i
  cd "$work"
  start="$(now)"
  if [[ "$1" == kelvo ]]; then
    for ((i = 0; i < per_round; i++)); do ./kelvo -oneshot >/dev/null; done
  else
    for ((i = 0; i < per_round; i++)); do cp source.dat cp-target.dat; done
  fi
  end="$(now)"
  cd - >/dev/null
  elapsed "$start" "$end"
}

echo "File system: $(fs_type "$work") ($(findmnt -n -o OPTIONS -T "$work" 2>/dev/null || echo "?"))"
echo "cp: $(command -v cp), $(cp --version | head -n 1)"
echo "kelvo: $kelvo ($(ldd "$work/kelvo" 2>/dev/null | grep -c '=>') shared libraries)"
timed_runs kelvo >/dev/null
timed_runs cp >/dev/null
grep -q ' -> Done\.$' "$work/purlolog.html" || die "kelvo did not replace the file"

echo "Load average before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
ratios=()
for ((round = 1; round <= runs; round++)); do
  k1="$(timed_runs kelvo)"
  c1="$(timed_runs cp)"
  c2="$(timed_runs cp)"
  k2="$(timed_runs kelvo)"
  ratios+=("$(awk -v a="$k1" -v b="$k2" -v c="$c1" -v d="$c2" 'BEGIN { printf "%.3f", (a + b) / (c + d) }')")
  awk -v a="$k1" -v b="$k2" -v c="$c1" -v d="$c2" -v n="$per_round" -v r="$round" -v q="${ratios[-1]}" \
    'BEGIN { printf "round %d: kelvo %.2f ms, cp %.2f ms a run; kelvo/cp %s\n", r,
      (a + b) * 500 / n, (c + d) * 500 / n, q }'
done
echo
echo "kelvo/cp over $runs rounds of $per_round runs each: $(spread "${ratios[@]}")"
echo "Load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
