#!/usr/bin/env bash
# Builds the .deb (from a Linux build folder) and the .zip (from a Windows
# build folder), checks what they hold, and runs the example from the
# unpacked .deb as a user would after installing it.
set -euo pipefail
linux_build=$1
windows_build=$2

(cd "$linux_build" && cpack -G DEB >/dev/null)
(cd "$windows_build" && cpack -G ZIP >/dev/null)
deb=$(ls "$linux_build"/kelvo_*.deb)
zip=$(ls "$windows_build"/kelvo-*.zip)

fail() { echo "check-packages: $*" >&2; exit 1; }

contents=$(dpkg-deb -c "$deb")
for path in ./usr/lib/kelvo/kelvo ./usr/share/doc/kelvo/README.md \
  ./usr/share/doc/kelvo/examples/kelvo.txt \
  ./usr/share/doc/kelvo/examples/systemd/kelvo.service \
  ./usr/share/doc/kelvo/examples/systemd/kelvo-oneshot.service \
  ./usr/share/doc/kelvo/examples/systemd/kelvo-oneshot.timer; do
  grep -q " $path\$" <<<"$contents" || fail "$deb lacks $path"
done

python3 - "$zip" <<'PY' || fail "$zip lacks a file"
import sys, zipfile
names = {n.split("/", 1)[1] for n in zipfile.ZipFile(sys.argv[1]).namelist()}
missing = {"kelvo.exe", "kelvo.txt", "README.md"} - names
sys.exit(1 if missing else 0)
PY

# Install into a scratch root and run the example the way the README says.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
work="$root/work"
mkdir "$work"
cp "$root/usr/lib/kelvo/kelvo" "$root/usr/share/doc/kelvo/examples/kelvo.txt" "$work/"
cp -r "$root/usr/share/doc/kelvo/examples/pool" "$work/"
output=$(cd "$work" && ./kelvo -oneshot)
[ "$(grep -c -- ', Replacing .* -> Done.$' <<<"$output")" = 2 ] || fail "example run: $output"
echo "packages: $(basename "$deb") and $(basename "$zip") hold what they should; the example runs"
