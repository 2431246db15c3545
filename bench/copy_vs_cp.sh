#!/usr/bin/env bash
# Times one "kelvo -oneshot" replacement of a large file against GNU cp copying
# the same file to a new name, on a disk file system, and prints the median of
# each, their ratio and the file system it ran on.
#
# Usage: bench/copy_vs_cp.sh [SIZE_MIB] [SCRATCH_PARENT] [KELVO] [RUNS]
#   SIZE_MIB        size of the source file in MiB (default 1024)
#   SCRATCH_PARENT  folder in which the scratch folder is made (default /var/tmp,
#                   else /tmp or the repository, whichever is first not held in memory)
#   KELVO           program to time (default build/linux/kelvo in the repository)
#   RUNS            timed runs of each (default 3)
#
# kelvo replaces an existing destination, so it copies into its staging file and
# then swaps it in through the companion. cp is run as a user would run it, with
# no options (coreutils 9 and later default to --reflink=auto). Every timed run
# starts from the same state: the previous results written back (sync) and, as
# root, the page cache dropped, so the source is read from disk each time. The
# companion left by the previous kelvo run and cp's previous copy are removed
# before timing, so neither side pays for freeing an old copy. A command's time
# ends when it returns, when the data may still be on its way to the disk; the
# "with sync" figures add the write-back that follows, i.e. until the copy is on disk.
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
readonly repo_root
readonly size_mib="${1:-1024}"
scratch_parent="${2:-}"
kelvo="${3:-$repo_root/build/linux/kelvo}"
readonly runs="${4:-3}"

die() {
  echo "copy_vs_cp: $*" >&2
  exit 1
}

# Timing, statistics and the choice of a disk folder, shared by the benchmarks.
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"

can_drop_caches=false
if [[ "$(id -u)" == 0 ]] && (echo 1 >/proc/sys/vm/drop_caches) 2>/dev/null; then
  can_drop_caches=true
fi

# Writes everything back and, where allowed, empties the page cache.
settle() {
  sync
  if $can_drop_caches; then echo 3 >/proc/sys/vm/drop_caches; fi
}

[[ "$size_mib" =~ ^[1-9][0-9]*$ ]] || die "size must be a positive number of MiB: $size_mib"
prepare_work_folder kelvo-copy-bench

# Room for the source, the destination, its companion and the staging copy.
available_mib="$(df -BM --output=avail "$work" | tail -n 1 | tr -dc 0-9)"
((available_mib > 4 * size_mib + 64)) || die "need $((4 * size_mib)) MiB free in $work"

source_file="$work/source.bin"
destination="$work/target.bin"
companion="$work/target.tmp"
cp_copy="$work/copy.bin"

cp "$kelvo" "$work/kelvo"
cat >"$work/kelvo.txt" <<EOF
SetInterval,600
SetSourcePath,$work/
SetDestinationPath,$work/
AddFile,target.bin,source.bin
EOF

echo "Making a $size_mib MiB source file..."
head -c "$((size_mib * 1024 * 1024))" /dev/urandom >"$source_file"
cp "$source_file" "$destination"

cp_major="$(cp --version | head -n 1 | sed -n 's/.* \([0-9][0-9]*\)\.[0-9.]*$/\1/p')"
cp_reflink="never"
if [[ -n "$cp_major" ]] && ((cp_major >= 9)); then cp_reflink="auto"; fi

echo "File system: $(fs_type "$work") on $(df --output=source "$work" | tail -n 1)" \
  "($(findmnt -n -o OPTIONS -T "$work" 2>/dev/null || echo "options unknown"))"
echo "Scratch: $work"
echo "cp: $(cp --version | head -n 1), default --reflink=$cp_reflink"
echo "kelvo: $kelvo"
echo "Load average: $(cut -d ' ' -f 1-3 /proc/loadavg) on $(nproc) cores"
if $can_drop_caches; then
  echo "Page cache: dropped before every run"
else
  echo "Page cache: cannot be dropped (not root or not allowed);" \
    "later runs may read a cached source"
fi
case "$(fs_type "$work")" in
  btrfs | xfs | bcachefs | zfs)
    echo "Note: this file system can share blocks; both copies may be near-instant"
    ;;
esac

kelvo_times=()
kelvo_synced=()
cp_times=()
cp_synced=()

run_kelvo() {
  rm -f "$companion"
  settle
  local start end synced output
  start="$(now)"
  output="$("$work/kelvo" -oneshot)"
  end="$(now)"
  sync
  synced="$(now)"
  [[ "$output" == *"Replacing $source_file to $destination -> Done."* ]] ||
    die "kelvo did not replace the file; it printed: $output"
  kelvo_times+=("$(elapsed "$start" "$end")")
  kelvo_synced+=("$(elapsed "$start" "$synced")")
}

run_cp() {
  rm -f "$cp_copy"
  settle
  local start end synced
  start="$(now)"
  cp "$source_file" "$cp_copy"
  end="$(now)"
  sync
  synced="$(now)"
  cp_times+=("$(elapsed "$start" "$end")")
  cp_synced+=("$(elapsed "$start" "$synced")")
}

# One untimed round first: on a virtual disk the first writes to fresh areas can
# be several times slower than later ones.
echo "Untimed first round..."
run_kelvo
run_cp
kelvo_times=()
kelvo_synced=()
cp_times=()
cp_synced=()

# Alternating, and changing which goes first, evens out drift of the disk.
for ((run = 1; run <= runs; run++)); do
  if ((run % 2)); then
    run_kelvo
    run_cp
  else
    run_cp
    run_kelvo
  fi
  echo "run $run: kelvo ${kelvo_times[-1]} s (with sync ${kelvo_synced[-1]} s)," \
    "cp ${cp_times[-1]} s (with sync ${cp_synced[-1]} s)"
done

cmp -s "$source_file" "$destination" || die "kelvo's destination differs from the source"
cmp -s "$source_file" "$cp_copy" || die "cp's copy differs from the source"

kelvo_median="$(median "${kelvo_times[@]}")"
cp_median="$(median "${cp_times[@]}")"
kelvo_best="$(best "${kelvo_times[@]}")"
cp_best="$(best "${cp_times[@]}")"
kelvo_synced_median="$(median "${kelvo_synced[@]}")"
cp_synced_median="$(median "${cp_synced[@]}")"
ratio="$(quotient "$kelvo_median" "$cp_median")"
best_ratio="$(quotient "$kelvo_best" "$cp_best")"
synced_ratio="$(quotient "$kelvo_synced_median" "$cp_synced_median")"

echo
echo "Median of $runs runs, $size_mib MiB (load average now $(cut -d ' ' -f 1 /proc/loadavg)):"
echo "  kelvo -oneshot  $kelvo_median s   (best $kelvo_best s, with sync $kelvo_synced_median s)"
echo "  cp              $cp_median s   (best $cp_best s, with sync $cp_synced_median s)"
echo "  kelvo/cp        $ratio   (best to best $best_ratio, with sync $synced_ratio)"
if awk -v r="$ratio" 'BEGIN { exit !(r <= 1.05) }'; then
  echo "  within 5% of cp"
else
  echo "  NOT within 5% of cp"
fi
