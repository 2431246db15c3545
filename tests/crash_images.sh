#!/usr/bin/env bash
# Power-cut test: runs kelvo on ext4, xfs and btrfs file systems that live on
# loop devices, and takes crash images of them while it works. The backing
# file of each sits on an outer btrfs, so a reflink copy of it holds exactly
# what the file system had written to its device at that instant: what a
# disk without a write cache keeps when the power goes. Each image is
# brought back as a reboot would (journal replay, log recovery), mounted, and
# every destination, companion, .orig and helper .old must be a whole file,
# the old content or the new. Half of the destinations draw their sources
# from beside them (xfs and btrfs copy those by sharing extents), half from
# another file system (a real copy everywhere). Needs root; exits 77
# (skipped) without root, loop devices or one of the file systems. A missing
# tool is a failure with KELVO_REQUIRE_TOOLS=1, where every test tool is
# meant to be installed.
#
#   tests/crash_images.sh [path/to/kelvo]        (or KELVO_EXE=...)
#
# CRASH_FILESYSTEMS="ext4 xfs btrfs" picks the file systems,
# CRASH_MOUNT_OPTIONS_ext4=data=writeback (and _xfs, _btrfs) adds mount options.
set -euo pipefail

kelvo=${1:-${KELVO_EXE:-}}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
helper="$here/crash_images.py"
filesystems=${CRASH_FILESYSTEMS:-ext4 xfs btrfs}
destinations=20

skip() {
  echo "crash_images: skipped: $*"
  exit 77
}

skip_for_missing_tool() {
  if [ "${KELVO_REQUIRE_TOOLS:-}" = 1 ]; then
    echo "crash_images: failed: $* (KELVO_REQUIRE_TOOLS=1)"
    exit 1
  fi
  skip "$@"
}

if [ -z "$kelvo" ] || [ ! -x "$kelvo" ]; then
  echo "usage: $0 path/to/kelvo (or KELVO_EXE); not an executable: '${kelvo}'" >&2
  exit 2
fi
kelvo=$(realpath "$kelvo")
[ "$(id -u)" -eq 0 ] || skip "needs root to attach loop devices and mount file systems"
[ -e /dev/loop-control ] || skip "no /dev/loop-control: this kernel or container has no loop devices"
for fs in btrfs $filesystems; do
  grep -qw "$fs" /proc/filesystems || modprobe -q "$fs" 2>/dev/null || true
  grep -qw "$fs" /proc/filesystems || skip "the kernel does not support $fs (not in /proc/filesystems)"
done
for tool in losetup mkfs.btrfs mkfs.xfs mkfs.ext4 e2fsck python3 cp realpath; do
  command -v "$tool" >/dev/null ||
    skip_for_missing_tool "$tool is missing (tools/install-deps.sh installs btrfs-progs, xfsprogs, e2fsprogs)"
done

# Jobs (one per file system) get process groups of their own, so that they
# can be stopped whole, and Ctrl+C reaches only this shell.
set -m
work=$(mktemp -d /tmp/kelvo-crash.XXXXXX)
jobs_started=()

# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
  local status=$? pid mount device file
  trap - EXIT INT TERM
  # (The shell's word on each stopped job goes to standard error.)
  {
    for pid in "${jobs_started[@]}"; do
      kill -TERM -- "-$pid" || true
    done
    for pid in "${jobs_started[@]}"; do
      sleep 0.2
      kill -KILL -- "-$pid" || true
      wait "$pid" || true
    done
  } 2>/dev/null
  # Every mount under the work folder, deepest first, then every loop
  # device whose backing file is in it: nothing else is ours.
  for _ in 1 2 3; do
    while read -r mount; do
      umount "$mount" 2>/dev/null || true
    done < <(awk -v w="$work/" 'index($2, w) == 1 { print $2 }' /proc/self/mounts | sort -r)
    while read -r device file; do
      case "$file" in "$work"/*) losetup -d "$device" 2>/dev/null || true ;; esac
    done < <(losetup -l -n -O NAME,BACK-FILE 2>/dev/null)
    awk -v w="$work/" 'index($2, w) == 1 { found = 1 } END { exit !found }' /proc/self/mounts ||
      break
    sleep 1
  done
  if awk -v w="$work/" 'index($2, w) == 1 { found = 1 } END { exit !found }' /proc/self/mounts; then
    echo "crash_images: could not unmount everything under $work; left in place" >&2
  else
    rm -rf "$work"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'echo "crash_images: interrupted"; exit 130' INT
trap 'exit 143' TERM

# Attaches a file to a new loop device and prints the device.
attach() {
  losetup -f --show "$1"
}

# Brings an image back as a reboot would, mounts it at $2 and prints nothing;
# fails with a reason on standard output when it cannot.
recover_and_mount() {
  local fs=$1 device=$2 mountpoint=$3 log=$4 status=0
  case "$fs" in
    ext4)
      e2fsck -fy "$device" >>"$log" 2>&1 || status=$?
      if [ "$status" -ge 4 ]; then
        echo "e2fsck exit status $status"
        return 1
      fi
      mount -t ext4 "$device" "$mountpoint" >>"$log" 2>&1 || { echo "mount failed after e2fsck"; return 1; }
      ;;
    xfs)
      # Log recovery happens at mount; nouuid lets the clone stand beside its original.
      mount -t xfs -o nouuid "$device" "$mountpoint" >>"$log" 2>&1 || { echo "mount (log recovery) failed"; return 1; }
      ;;
    btrfs)
      # The kernel gives a single-device clone a temporary fsid by itself.
      mount -t btrfs "$device" "$mountpoint" >>"$log" 2>&1 || { echo "mount failed"; return 1; }
      ;;
  esac
}

# Checks every image named in the capture list $4 against the manifest.
check_images() {
  local fs=$1 scenario=$2 manifest=$3 list=$4 image taken device why
  local mountpoint="$work/check-$fs" log="$work/$fs.log"
  mkdir -p "$mountpoint"
  while read -r image taken; do
    device=$(attach "$image")
    if why=$(recover_and_mount "$fs" "$device" "$mountpoint" "$log"); then
      python3 "$helper" check "$manifest" "$mountpoint/$scenario" \
        --label "$fs $scenario image at ${taken}s" --results "$work/$fs-$scenario.jsonl"
      umount "$mountpoint"
    else
      python3 "$helper" unusable "$manifest" --label "$fs $scenario image at ${taken}s" \
        --why "$why" --results "$work/$fs-$scenario.jsonl"
    fi
    losetup -d "$device"
    rm -f "$image"
  done <"$list"
}

# Lays out a scenario folder on the file system and puts it on the device;
# half of its sources are in the work folder, on another file system.
prepare() {
  local mountpoint=$1 scenario=$2 interval=$3
  python3 "$helper" setup "$mountpoint/$scenario" "$work/$fs-$scenario.json" \
    --ref "$work/ref-$fs-$scenario" --far "$work/pool-$fs-$scenario" --interval "$interval" --destinations "$destinations" --mode "$scenario"
  cp "$kelvo" "$mountpoint/$scenario/kelvo"
  # syncfs, not sync: the other file systems are being watched meanwhile.
  sync -f "$mountpoint/$scenario"
}

# One file system: make it, check the image method on it, then the two scenarios.
fs_job() {
  local fs=$1 images_endless=$2 window_endless=$3 images_oneshot=$4
  local backing="$work/outer/$fs.img" mountpoint="$work/fs-$fs" device options
  local log="$work/$fs.log"
  options_var="CRASH_MOUNT_OPTIONS_$fs"
  options=${!options_var:-}
  truncate -s 1G "$backing"
  device=$(attach "$backing")
  case "$fs" in
    ext4) mkfs.ext4 -q -F "$device" >>"$log" 2>&1 ;;
    xfs) mkfs.xfs -q -f "$device" >>"$log" 2>&1 ;;
    btrfs) mkfs.btrfs -q -f "$device" >>"$log" 2>&1 ;;
  esac
  mkdir -p "$mountpoint"
  mount -t "$fs" ${options:+-o "$options"} "$device" "$mountpoint"
  echo "[$fs] mounted with: $(awk -v m="$mountpoint" '$2 == m { print $4 }' /proc/self/mounts)"

  # The method: a file written and synced before the copy is in the image,
  # whole. (One written just before without a sync is reported, not judged.)
  head -c 65536 /dev/urandom >"$mountpoint/synced.bin"
  sync -f "$mountpoint"
  head -c 65536 /dev/urandom >"$mountpoint/unsynced.bin"
  cp --reflink=always "$backing" "$work/outer/$fs-method.img"
  local check_device
  check_device=$(attach "$work/outer/$fs-method.img")
  mkdir -p "$work/check-$fs"
  if ! why=$(recover_and_mount "$fs" "$check_device" "$work/check-$fs" "$log"); then
    echo "[$fs] METHOD FAILED: an image of the idle file system cannot be mounted ($why)"
    return 1
  fi
  if ! cmp -s "$mountpoint/synced.bin" "$work/check-$fs/synced.bin"; then
    echo "[$fs] METHOD FAILED: a file synced before the copy is not whole in the image"
    return 1
  fi
  local unsynced=missing
  if [ -e "$work/check-$fs/unsynced.bin" ]; then
    unsynced="$(stat -c %s "$work/check-$fs/unsynced.bin") of 65536 bytes"
  fi
  echo "[$fs] method: a synced file is whole in the image; one written without a sync: $unsynced"
  umount "$work/check-$fs"
  losetup -d "$check_device"
  rm -f "$work/outer/$fs-method.img" "$mountpoint/synced.bin" "$mountpoint/unsynced.bin"

  # 1. An endless run, a pass a second, imaged at random moments.
  prepare "$mountpoint" endless 1
  local start pid moments
  start=$(date +%s.%N)
  (cd "$mountpoint/endless" && exec ./kelvo) >"$work/$fs-endless.out" 2>&1 &
  pid=$!
  moments=$(python3 "$helper" moments --count "$images_endless" --start 1 --end "$window_endless")
  python3 "$helper" capture --image "$backing" --prefix "$work/outer/$fs-endless" \
    --base "$start" --moments "$moments" >"$work/$fs-endless.list"
  kill -TERM "$pid"
  local status=0
  wait "$pid" || status=$?
  local replaced
  replaced=$(grep -c -- '-> Done\.' "$work/$fs-endless.out" || true)
  echo "[$fs] endless run: $replaced replacements, exit status $status; checking $images_endless images"
  if [ "$status" -ne 0 ]; then
    echo "[$fs] the endless run did not end cleanly:"
    tail -5 "$work/$fs-endless.out"
    return 1
  fi
  check_images "$fs" endless "$work/$fs-endless.json" "$work/$fs-endless.list"

  # 2. A one-shot pass over destinations that already have companions and
  # .orig files (two passes made them, then the state went to the device),
  # imaged at delays over 45 seconds after the pass ended.
  sync -f "$mountpoint"
  prepare "$mountpoint" oneshot 60
  for _ in 1 2; do
    (cd "$mountpoint/oneshot" && exec ./kelvo -oneshot) >>"$work/$fs-oneshot.out" 2>&1 || {
      echo "[$fs] a one-shot pass failed:"
      tail -5 "$work/$fs-oneshot.out"
      return 1
    }
  done
  sync -f "$mountpoint"
  python3 "$helper" snapshot "$mountpoint/oneshot" "$work/$fs-oneshot.json"
  sleep 1
  (cd "$mountpoint/oneshot" && exec ./kelvo -oneshot) >>"$work/$fs-oneshot.out" 2>&1 || {
    echo "[$fs] the one-shot pass failed:"
    tail -5 "$work/$fs-oneshot.out"
    return 1
  }
  start=$(date +%s.%N)
  moments=$(python3 "$helper" moments --count "$images_oneshot" --start 1 --end 45)
  python3 "$helper" capture --image "$backing" --prefix "$work/outer/$fs-oneshot" \
    --base "$start" --moments "$moments" >"$work/$fs-oneshot.list"
  echo "[$fs] one-shot pass imaged at $moments s after its end; checking"
  check_images "$fs" oneshot "$work/$fs-oneshot.json" "$work/$fs-oneshot.list"
}

# The outer file system that holds the backing files and their reflink copies.
truncate -s 8G "$work/outer.img"
outer_device=$(attach "$work/outer.img" 2>/dev/null) || skip "cannot attach a loop device"
mkfs.btrfs -q -f "$outer_device" >"$work/outer.log" 2>&1
mkdir "$work/outer"
mount -t btrfs "$outer_device" "$work/outer"
echo "kelvo under test: $kelvo"
echo "outer btrfs on $outer_device, work folder $work"

results=()
minimums=()
declare -A job_of
for fs in $filesystems; do
  case "$fs" in
    # Images in the endless run, its length in seconds, images after the
    # one-shot pass. xfs and btrfs put their logs and transactions on the
    # device unasked only every 30 seconds: their runs last two rounds.
    ext4) counts="10 30 8" minimum=300 ;;
    *) counts="8 60 8" minimum=100 ;;
  esac
  # shellcheck disable=SC2086
  fs_job "$fs" $counts &
  job_of[$fs]=$!
  jobs_started+=("$!")
  results+=("$work/$fs-endless.jsonl" "$work/$fs-oneshot.jsonl")
  minimums+=(--minimum "$fs=$minimum")
done

unfinished=0
for fs in $filesystems; do
  if ! wait "${job_of[$fs]}"; then
    echo "[$fs] the test could not run to its end; the last words of its tools:"
    tail -8 "$work/$fs.log" | sed 's/^/    /'
    unfinished=$((unfinished + 1))
  fi
done
jobs_started=()

python3 "$helper" summary "${minimums[@]}" --unfinished "$unfinished" "${results[@]}"
