#!/usr/bin/env bash
# Builds kelvo if needed and runs one pass over the bundled example in a
# scratch folder: a copy of the executable, examples/kelvo.txt and its pool.
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
cmake --build build/example -j "$(nproc)" --target kelvo >/dev/null

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-example-XXXXXX")
cp build/example/kelvo examples/kelvo.txt "$scratch/"
cp -r examples/pool "$scratch/"
echo "Running kelvo -oneshot in $scratch"
echo
"$scratch/kelvo" -oneshot
echo
for file in title.txt greeting.txt; do
  echo "$file now holds: $(cat "$scratch/$file" 2>/dev/null || echo "(nothing)")"
done
echo "The log is $scratch/purlolog.html; run ./kelvo -oneshot there again to rotate once more."
