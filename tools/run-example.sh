#!/usr/bin/env bash
# Builds kelvo and kelvo-check if needed, checks the bundled example and runs
# one pass over it in a scratch folder: copies of the executables,
# examples/kelvo.txt and its pool.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq cmake g++ make >/dev/null
fi
cmake -S . -B build/example -DKELVO_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/example -j "$(nproc)" --target kelvo kelvo-check >/dev/null

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-example-XXXXXX")
cp build/example/kelvo build/example/kelvo-check examples/kelvo.txt "$scratch/"
cp -r examples/pool "$scratch/"
echo "Checking the script first: kelvo-check reads it as kelvo would and changes nothing"
echo
"$scratch/kelvo-check"
echo
echo "Running kelvo -oneshot in $scratch"
echo
"$scratch/kelvo" -oneshot
echo
for file in title.txt greeting.txt; do
  echo "$file now holds: $(cat "$scratch/$file" 2>/dev/null || echo "(nothing)")"
done
echo "The log is $scratch/purlolog.html; run ./kelvo -oneshot there again to rotate once more."
