#!/usr/bin/env bash
# Runs the README's shell blocks as a new user would, in a scratch copy of the
# repository: the building, packaging and quick-start blocks in the copy, and
# the "Using kelvo" block in a folder that holds the built kelvo with the
# example script (each line stopped with SIGTERM after 5 seconds at most,
# and expected to end with status 0). Blocks for the installed package are
# run by tools/check-packages.sh; blocks that need systemd running or Windows
# are skipped, as their markers say (tools/readme-blocks.py).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

fail() { echo "check-readme: $*" >&2; exit 1; }

tools/readme-blocks.py README.md >/dev/null || fail "README blocks without a readme-check marker"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-readme-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# The repository's files as they are in the work tree, without build folders.
clone="$scratch/kelvo"
mkdir "$clone"
git ls-files -z | tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$clone"
mkdir -p "$scratch/bin"
if ! command -v sudo >/dev/null && [ "$(id -u)" -eq 0 ]; then
  printf '#!/bin/sh\nexec "$@"\n' >"$scratch/bin/sudo"
  chmod +x "$scratch/bin/sudo"
fi
export PATH="$scratch/bin:$PATH"

tools/readme-blocks.py README.md clone >"$scratch/clone.sh"
echo "README: building and packaging in a scratch copy"
(cd "$clone" && bash -euo pipefail -x "$scratch/clone.sh" >"$scratch/clone.log" 2>&1) ||
  { tail -40 "$scratch/clone.log"; fail "a README command failed in a fresh copy"; }
for made in build/linux/kelvo build/win32/kelvo.exe build/linux/kelvo_1.0.100.1_amd64.deb \
  build/win32/kelvo-1.0.100.1-win32.zip; do
  [ -f "$clone/$made" ] || fail "the README's commands made no $made"
done

folder="$scratch/folder"
mkdir "$folder"
cp "$clone/build/linux/kelvo" "$clone/examples/kelvo.txt" "$folder/"
cp -r "$clone/examples/pool" "$folder/"
while IFS= read -r line; do
  command=${line%%#*}
  [ -n "${command// /}" ] || continue
  echo "README: in a folder with kelvo and kelvo.txt: $command"
  status=0
  (cd "$folder" && timeout --preserve-status -s TERM 5 bash -c "$command" >"$scratch/folder.log" 2>&1) ||
    status=$?
  [ "$status" = 0 ] || { cat "$scratch/folder.log"; fail "'$command' ended with status $status"; }
  grep -q ', Replacing .* -> Done.$' "$scratch/folder.log" ||
    { cat "$scratch/folder.log"; fail "'$command' replaced nothing"; }
done < <(tools/readme-blocks.py README.md folder | grep -v '^# README line')
echo "README: every command that runs here works as written"
