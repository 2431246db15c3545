#!/usr/bin/env bash
# Installs what is missing, builds kelvo's Linux build, its sanitizer build
# and its Windows builds, runs every test of each, checks formatting and lint,
# checks the packages and the README's commands, and gives each fuzz target a bounded run
# (KELVO_FUZZ_SECONDS, 60 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out="$root/build"
jobs=$(nproc)

tools/install-deps.sh
source tools/wine-env.sh
# Every test tool is installed now: a test that would skip for want of one
# fails instead.
export KELVO_REQUIRE_TOOLS=1

step() { echo; echo "=== $* ($(date +%H:%M:%S))"; }

if wine_runs_32bit; then
  windows_build="$out/win32"
  loader=$(command -v wine)
else
  windows_build="$out/win64"
  loader=$(wine64_loader)
fi

step "Windows 32-bit build (the product)"
cmake -S . -B "$out/win32" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CROSSCOMPILING_EMULATOR="$loader" >/dev/null
cmake --build "$out/win32" -j "$jobs"

if [ "$windows_build" = "$out/win64" ]; then
  step "Windows 64-bit build (this kernel runs no 32-bit programs, so Wine runs this one)"
  cmake -S . -B "$out/win64" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CROSSCOMPILING_EMULATOR="$loader" >/dev/null
  cmake --build "$out/win64" -j "$jobs"
fi
start_wine_server "$loader"
trap stop_wine_server EXIT

step "Windows unit tests under Wine ($windows_build)"
(cd "$windows_build" && ctest --output-on-failure)

step "Linux build, with the end-to-end tests of both builds"
cmake -S . -B "$out/linux" -DKELVO_BENCHMARKS=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DKELVO_WINDOWS_EXE="$windows_build/kelvo.exe" -DKELVO_WINE="$loader" \
  -DKELVO_WINDOWS_CHECK_EXE="$windows_build/kelvo-check.exe" \
  -DKELVO_WIN32_EXE="$out/win32/kelvo.exe" >/dev/null
cmake --build "$out/linux" -j "$jobs"
(cd "$out/linux" && ctest --output-on-failure -j "$jobs")

step "Layering of the folders (tools/check-includes.py)"
python3 tools/check-includes.py

step "Formatting and lint (.clang-format, .clang-tidy)"
mapfile -t sources < <(git ls-files '*.cpp' '*.h')
clang-format --dry-run --Werror "${sources[@]}"
mapfile -t product < <(git ls-files 'app/*.cpp' 'rotate/*.cpp' 'replace/*.cpp' 'check/*.cpp' \
  'log/*.cpp' 'platform/paths.cpp' \
  'platform/pci_devices.cpp' 'platform/posix.cpp' 'random/*.cpp' 'script/*.cpp' | grep -v _test)
clang-tidy -p "$out/linux" --quiet "${product[@]}"

step "Packages"
tools/check-packages.sh "$out/linux" "$out/win32"

step "README commands, in a scratch copy"
tools/check-readme.sh

step "Linux build under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B "$out/sanitize" -DKELVO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$out/sanitize" -j "$jobs"
(cd "$out/sanitize" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j "$jobs")

step "Fuzz targets, ${KELVO_FUZZ_SECONDS:-60} seconds each"
tools/fuzz.sh "${KELVO_FUZZ_SECONDS:-60}"

step "All tests passed"
