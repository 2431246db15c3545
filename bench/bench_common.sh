# Sourced by the whole-run benchmarks: time stamps, statistics over runs,
# and the choice of a scratch folder on a disk file system. The caller
# defines die() and scratch_parent.

now() {
  if [[ -n "${EPOCHREALTIME:-}" ]]; then echo "${EPOCHREALTIME/,/.}"; else date +%s.%N; fi
}

# Seconds between two time stamps taken with now().
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
    if (NR % 2) printf "%.3f", v[(NR + 1) / 2]
    else printf "%.3f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# "median M, range LOW-HIGH" of the values.
spread() {
  local sorted
  sorted="$(printf '%s\n' "$@" | sort -g)"
  echo "median $(median "$@"), range $(head -n 1 <<<"$sorted")-$(tail -n 1 <<<"$sorted")"
}

# a + b to three places.
sum() { awk -v x="$1" -v y="$2" 'BEGIN { printf "%.3f", x + y }'; }

# a / b to three places; 0 when b is 0.
quotient() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b > 0) ? a / b : 0 }'; }

# The fastest of the times: interference from other work on the machine only
# ever adds time, so on a busy machine this is the steadier figure.
best() { printf '%s\n' "$@" | sort -g | awk 'NR == 1'; }

fs_type() { df --output=fstype "$1" | tail -n 1 | tr -d ' '; }

is_memory_fs() { [[ "$(fs_type "$1")" == tmpfs || "$(fs_type "$1")" == ramfs ]]; }

pick_scratch_parent() {
  local candidate
  for candidate in /var/tmp /tmp "$repo_root"; do
    if [[ -d "$candidate" && -w "$candidate" ]] && ! is_memory_fs "$candidate"; then
      echo "$candidate"
      return
    fi
  done
  die "no writable folder on a disk file system; give one as an argument"
}

# Checks the arguments both benchmarks take ($runs, $kelvo, $scratch_parent)
# and makes the scratch folder $work, removed when the script exits.
prepare_work_folder() {
  [[ "$runs" =~ ^[1-9][0-9]*$ ]] || die "runs must be a positive number: $runs"
  [[ -x "$kelvo" ]] || die "no kelvo binary at $kelvo (build it or pass its path)"
  [[ -n "$scratch_parent" ]] || scratch_parent="$(pick_scratch_parent)"
  [[ -d "$scratch_parent" ]] || die "no folder $scratch_parent"
  if is_memory_fs "$scratch_parent"; then
    echo "warning: $scratch_parent is a memory file system; the figures say nothing about disks" >&2
  fi
  work="$(mktemp -d "$scratch_parent/$1.XXXXXX")"
  trap 'rm -rf "$work"' EXIT
  # The script's fields are separated by commas and may be quoted.
  [[ "$work" != *[,\"\']* ]] || die "scratch path must not hold commas or quotes: $work"
}
