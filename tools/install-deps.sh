#!/usr/bin/env bash
# Installs what building and testing kelvo needs on Debian, when missing:
# the compilers (native and MinGW), GoogleTest, Google Benchmark, Wine,
# faketime, strace (the kill-at-every-call test), chattr and the character
# maps that make a Shift_JIS locale; lintian, systemd's analyzer and adduser
# for the package check; btrfs-progs and xfsprogs for the crash-image test. Safe to run again; does nothing when all
# is there.
set -euo pipefail

packages=(cmake g++ make googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 faketime clang-format clang-tidy python3
  dpkg-dev file strace e2fsprogs locales lintian systemd adduser btrfs-progs xfsprogs)
have_i386=$(dpkg --print-foreign-architectures | grep -c '^i386$' || true)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ "$have_i386" = 0 ] ||
  ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  missing+=("wine32:i386")
fi
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo dpkg --add-architecture i386
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
