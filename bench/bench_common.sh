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

# Makes in $work the files of a pass over $destination_count destinations of
# $file_size bytes with $source_count pool files: pool/, dest/, kelvo.txt
# (each destination drawing from three sources) and floor.list (each with the
# first of them, for the floor program).
make_pass_files() {
  mkdir -p "$work/pool" "$work/dest"
  head -c "$((source_count * file_size))" /dev/urandom |
    split -b "$file_size" -a 3 -d --additional-suffix=.dat - "$work/pool/s"
  head -c "$((destination_count * file_size))" /dev/urandom |
    split -b "$file_size" -a 5 -d --additional-suffix=.dat - "$work/dest/d"
  awk -v n="$destination_count" -v s="$source_count" -v w="$work" 'BEGIN {
    print "SetInterval,60" > (w "/kelvo.txt")
    for (i = 0; i < n; i++) {
      for (k = 0; k < 3; k++)
        printf "AddFile,dest/d%05d.dat,pool/s%03d.dat\n", i, (i * 3 + k) % s > (w "/kelvo.txt")
      printf "%s/dest/d%05d.dat\t%s/pool/s%03d.dat\n", w, i, w, (i * 3) % s > (w "/floor.list")
    } }'
}
