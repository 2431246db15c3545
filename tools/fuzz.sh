#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang in build/fuzz and runs each
# for a bounded time on its own copy of fuzz/corpus, then prints libFuzzer's
# executions per second and corpus size. Exits non-zero when a target crashes.
#
#   tools/fuzz.sh [SECONDS]    # seconds per target, 60 by default
set -euo pipefail

seconds=${1:-60}
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [SECONDS]" >&2
  exit 2
fi

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/fuzz"
targets=(fuzz_script_text fuzz_interpret_script)

install_missing() {
  local missing=()
  command -v cmake >/dev/null || missing+=(cmake)
  command -v make >/dev/null || missing+=(make)
  command -v clang++ >/dev/null || missing+=(clang)
  dpkg-query -W -f='${Status}' libclang-rt-14-dev 2>/dev/null | grep -q "install ok installed" ||
    missing+=(libclang-rt-14-dev)
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

build_targets() {
  cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DKELVO_FUZZ=ON >/dev/null
  cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null
}

# Runs one target; its corpus grows from run to run in build/fuzz, while the
# seeds in fuzz/corpus are only read.
run_target() {
  local target=$1
  local corpus="$build/corpus-$target"
  local artifacts="$build/artifacts-$target/"
  local log="$build/$target.log"
  mkdir -p "$corpus" "$artifacts"
  cp "$root"/fuzz/corpus/* "$corpus/"

  # Every input is written to a scratch file: in memory that is several times
  # faster than on a disk.
  local scratch=${TMPDIR:-}
  [ -z "$scratch" ] && [ -d /dev/shm ] && [ -w /dev/shm ] && scratch=/dev/shm
  local status=0
  (cd "$build" && TMPDIR="${scratch:-/tmp}" "./$target" "$corpus" -max_total_time="$seconds" \
    -max_len=4096 -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts") \
    >"$log" 2>&1 || status=$?

  local execs entries
  execs=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  entries=$(find "$corpus" -type f | wc -l)
  echo "$target: ${execs:-?} executions per second, $entries corpus entries"
  if [ "$status" -ne 0 ]; then
    echo "$target: FAILED with exit status $status (log: $log, inputs: $artifacts)"
    grep -E "ERROR|SUMMARY|runtime error|Test unit written" "$log" | head -n 20 || true
    return 1
  fi
}

install_missing
build_targets
failed=0
for target in "${targets[@]}"; do
  run_target "$target" || failed=1
done
exit "$failed"
