#!/usr/bin/env bash
# Builds the .deb (from a Linux build folder) and the .zip (from a Windows
# build folder) and checks them as an administrator would: what they hold,
# stripped programs, lintian, the service units (systemd-analyze verify and
# an exposure of 2.0 or less). Then, as root and where no kelvo package is
# installed already, installs the .deb for real, runs the README's commands
# for the installed package, runs the program the way the units do (mounted
# into the data folder, as the user kelvo), removes and purges the package
# and checks that nothing of it is left.
set -euo pipefail
linux_build=$(cd "$1" && pwd)
windows_build=$(cd "$2" && pwd)
source_root=$(cd "$(dirname "$0")/.." && pwd)

(cd "$linux_build" && cpack -G DEB >/dev/null)
(cd "$windows_build" && cpack -G ZIP >/dev/null)
deb=$(ls "$linux_build"/kelvo_*.deb)
zip=$(ls "$windows_build"/kelvo-*.zip)

fail() { echo "check-packages: $*" >&2; exit 1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-packages-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# --- What the .deb holds ---------------------------------------------------
contents=$(dpkg-deb -c "$deb")
units=/usr/lib/systemd/system
for path in /usr/lib/kelvo/kelvo /usr/lib/kelvo/kelvo-check /usr/share/doc/kelvo/README.md \
  /usr/share/doc/kelvo/copyright /usr/share/doc/kelvo/changelog.gz \
  /usr/share/doc/kelvo/examples/kelvo.txt /usr/share/doc/kelvo/examples/pool/title_night.txt \
  $units/kelvo.service $units/kelvo-oneshot.service $units/kelvo-oneshot.timer \
  /usr/share/man/man1/kelvo.1.gz /usr/share/man/man1/kelvo-check.1.gz \
  /usr/share/man/man5/kelvo.txt.5.gz; do
  grep -q " \.$path\$" <<<"$contents" || fail "$deb lacks $path"
done
unpacked="$scratch/deb"
dpkg-deb -x "$deb" "$unpacked"
for program in kelvo kelvo-check; do
  file "$unpacked/usr/lib/kelvo/$program" | grep -q ', stripped' ||
    fail "the .deb's $program is not stripped"
done

echo "lintian:"
lintian --fail-on error,warning "$deb" 2>&1 | grep -v 'running with root privileges' || true
lintian --fail-on error,warning "$deb" >/dev/null 2>&1 || fail "lintian reports errors or warnings"

# --- The service units, as installed ---------------------------------------
systemd-analyze verify "$unpacked$units"/kelvo.service "$unpacked$units"/kelvo-oneshot.service \
  "$unpacked$units"/kelvo-oneshot.timer || fail "systemd-analyze verify finds fault with the units"
for unit in kelvo.service kelvo-oneshot.service; do
  # --threshold is in tenths: 20 is an exposure of 2.0.
  exposure=$(systemd-analyze security --offline=true --threshold=20 "$unpacked$units/$unit" |
    grep 'Overall exposure level') || fail "$unit: exposure above 2.0"
  echo "$unit: ${exposure#→ }"
done
grep -q '^ExecStartPre=.*install' "$unpacked$units"/kelvo*.service &&
  fail "a unit copies the program at start"

# --- What the .zip holds ----------------------------------------------------
python3 - "$zip" "$scratch/zip" <<'PY' || fail "$zip: see above"
import os, sys, zipfile
archive = zipfile.ZipFile(sys.argv[1])
top = archive.namelist()[0].split("/", 1)[0]
names = {n.split("/", 1)[1] for n in archive.namelist()}
missing = {"kelvo.exe", "kelvo-check.exe", "kelvo.txt", "kelvo-task.xml", "LICENSE", "README.md",
           "pool/title_night.txt"} - names
if missing:
    sys.exit(f"missing {sorted(missing)}")
archive.extractall(sys.argv[2])
folder = os.path.join(sys.argv[2], top)
script = open(os.path.join(folder, "kelvo.txt"), "rb").read()
if b"\r\n" not in script or b"/srv" in script or b"/usr" in script:
    sys.exit("kelvo.txt is not written for Windows (CRLF lines, Windows paths)")
task = open(os.path.join(folder, "kelvo-task.xml"), "rb").read()
if not task.startswith(b"\xff\xfe"):
    sys.exit("kelvo-task.xml is not UTF-16")
import xml.dom.minidom
document = xml.dom.minidom.parseString(task)
folders = document.getElementsByTagName("WorkingDirectory")
if not folders or not folders[0].firstChild.data.strip():
    sys.exit("kelvo-task.xml sets no start folder")
for program in ("kelvo.exe", "kelvo-check.exe"):
    os.rename(os.path.join(folder, program), os.path.join(sys.argv[2], program))
PY
objdump=i686-w64-mingw32-objdump
if command -v "$objdump" >/dev/null; then
  for program in kelvo.exe kelvo-check.exe; do
    ! "$objdump" -h "$scratch/zip/$program" | grep -q '\.debug' ||
      fail "the .zip's $program carries debug sections"
  done
fi
echo "packages: $(basename "$deb") and $(basename "$zip") hold what they should"

# --- Installed for real ----------------------------------------------------
if [ "$(id -u)" -ne 0 ]; then
  echo "packages: not root, so the .deb is not installed (the install, remove and purge checks need root)"
  exit 0
fi
# One check at a time on a machine; never over a kelvo that someone installed.
exec 9>/run/lock/kelvo-package-check.lock
flock 9
if dpkg-query -W -f='${Status}' kelvo 2>/dev/null | grep -qv 'not-installed'; then
  echo "packages: a kelvo package is installed here already, so the install check is skipped"
  exit 0
fi
leftovers() {
  # Scratch folders (/var/tmp) are left out: other runs come and go there.
  find /etc /usr /var /srv /opt -xdev -path /var/tmp -prune -o -name '*kelvo*' -print 2>/dev/null |
    sort
  getent passwd kelvo || true
  getent group kelvo || true
}
before=$(leftovers)
installed_ok=0
# Purge keeps the user, the group and the drop-ins; where this check made
# them, it takes them away itself.
take_away_what_purge_keeps() {
  grep -q '^kelvo:' <<<"$before" && return
  deluser --system --quiet kelvo >/dev/null 2>&1 || true
  delgroup --system --quiet kelvo >/dev/null 2>&1 || true
  rm -rf /etc/systemd/system/kelvo.service.d
}
cleanup_install() {
  if [ "$installed_ok" != 1 ]; then
    apt-get purge -y -qq kelvo >/dev/null 2>&1 || true
    take_away_what_purge_keeps
  fi
  rm -rf "$scratch"
}
trap cleanup_install EXIT

# The README's commands for the installed package, with the home folder and
# /srv/kelvo moved into the scratch folder; without sudo, root runs them
# itself (and runuser stands in for sudo -u).
mkdir -p "$scratch/bin" "$scratch/home" "$scratch/srv"
chmod 755 "$scratch" "$scratch/srv"
if ! command -v sudo >/dev/null; then
  printf '%s\n' '#!/bin/sh' \
    'if [ "$1" = -u ]; then user=$2; shift 2; exec runuser -u "$user" -- "$@"; fi' \
    'exec "$@"' >"$scratch/bin/sudo"
  chmod +x "$scratch/bin/sudo"
fi
srv="$scratch/srv/kelvo"
"$source_root/tools/readme-blocks.py" "$source_root/README.md" installed |
  sed "s#/srv/kelvo#$srv#g" >"$scratch/installed.sh"
echo "README commands for the installed package:"
(cd "$linux_build" && HOME="$scratch/home" PATH="$scratch/bin:$PATH" DEBIAN_FRONTEND=noninteractive \
  bash -euo pipefail -x "$scratch/installed.sh" </dev/null >"$scratch/installed.log" 2>&1) ||
  { cat "$scratch/installed.log"; fail "a README command for the installed package failed"; }
[ "$(grep -c -- ', Replacing .* -> Done.$' "$scratch/installed.log")" = 2 ] ||
  { cat "$scratch/installed.log"; fail "the example in ~/rotate did not replace both destinations"; }
getent passwd kelvo >/dev/null || fail "the package made no user kelvo"
[ -f "$srv/kelvo.txt" ] || fail "the README's set-up made no $srv/kelvo.txt"

# What the units do, without systemd: the installed program mounted read-only
# at the data folder's kelvo, run there as the user kelvo.
if unshare -m true 2>/dev/null; then
  check_status=0
  setpriv --reuid kelvo --regid kelvo --clear-groups /usr/lib/kelvo/kelvo-check "$srv/kelvo.txt" \
    >"$scratch/check.log" 2>&1 || check_status=$?
  [ "$check_status" -le 1 ] || { cat "$scratch/check.log"; fail "kelvo-check finds errors in $srv"; }
  : >"$srv/kelvo"
  output=$(unshare -m sh -c "mount --bind -o ro /usr/lib/kelvo/kelvo '$srv/kelvo' && cd '$srv' &&
    exec setpriv --reuid kelvo --regid kelvo --clear-groups '$srv/kelvo' -oneshot") ||
    fail "the program mounted into $srv failed as user kelvo: $output"
  [ "$(grep -c -- ", Replacing $srv/pool/.* -> Done.\$" <<<"$output")" = 2 ] ||
    fail "the program mounted into $srv did not work on that folder: $output"
  [ "$(stat -c %U "$srv/purlolog.html")" = kelvo ] || fail "the log in $srv is not the user kelvo's"
  [ -s "$srv/kelvo" ] && fail "the mount point in $srv was written to"
  echo "packages: the installed program, mounted into $srv, works there as the user kelvo"

  # The units' pre-start command, taken from the installed unit and run as
  # the unit runs it: a source moved away lets kelvo start, with the reason
  # on standard error (the journal); a fatal line keeps it from starting.
  prestart=$(sed -n 's/^ExecStartPre=//p' "$units/kelvo.service" |
    sed -e 's/\$\$/$/g' -e "s#/srv/kelvo#$srv#g")
  run_prestart() {
    setpriv --reuid kelvo --regid kelvo --clear-groups sh -c "$prestart" \
      >"$scratch/prestart.out" 2>"$scratch/prestart.err"
  }
  cp "$srv/kelvo.txt" "$scratch/kelvo.txt.saved"
  echo 'AddFile,moved.txt,pool/moved-away.txt' >>"$srv/kelvo.txt"
  run_prestart || fail "the pre-start check stops kelvo for a missing source: $(cat "$scratch/prestart.err")"
  grep -q "^$srv/kelvo.txt:[0-9]*: error: the source .*moved-away.txt is missing" "$scratch/prestart.err" ||
    fail "the pre-start check gives no reason on standard error: $(cat "$scratch/prestart.err")"
  echo 'AddFile,broken.txt' >>"$srv/kelvo.txt"
  run_prestart && fail "the pre-start check lets kelvo start on a fatal line"
  grep -q "^$srv/kelvo.txt:[0-9]*: error: AddFile needs 2 values" "$scratch/prestart.err" ||
    fail "the pre-start check does not say why kelvo cannot start: $(cat "$scratch/prestart.err")"
  cp "$scratch/kelvo.txt.saved" "$srv/kelvo.txt"
  echo "packages: the units' pre-start check, run as the unit runs it, lets a missing source start" \
    "and stops a fatal line, with the reason on standard error"
else
  echo "packages: no mount namespace here, so the run as the units do it is skipped"
fi

# The manual pages, as man shows them: no formatting warnings.
for page in man1/kelvo.1 man1/kelvo-check.1 man5/kelvo.txt.5; do
  shown=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "/usr/share/man/$page.gz" 2>&1 >/dev/null) ||
    fail "man cannot show $page"
  [ -z "$shown" ] || fail "man warns about $page: $shown"
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "/usr/share/man/$page.gz" 2>/dev/null | grep -q '^NAME' ||
    fail "$page shows no NAME section"
done
echo "packages: the manual pages kelvo(1), kelvo-check(1) and kelvo.txt(5) show without warnings"

# A run of the installed program in place leaves its log there; removing the
# package must take it.
(cd / && /usr/lib/kelvo/kelvo -oneshot >/dev/null 2>&1) || true
[ -f /usr/lib/kelvo/purlolog.html ] || fail "the run in place left no log (the test would prove nothing)"

apt-get remove -y -qq kelvo >"$scratch/remove.log" 2>&1 || { cat "$scratch/remove.log"; fail "apt-get remove failed"; }
grep -i 'not empty\|warning' "$scratch/remove.log" && fail "apt-get remove left something behind"
[ -e /usr/lib/kelvo ] && fail "apt-get remove left /usr/lib/kelvo"
apt-get purge -y -qq kelvo >"$scratch/purge.log" 2>&1 || { cat "$scratch/purge.log"; fail "apt-get purge failed"; }
grep -i 'deluser\|delgroup' "$scratch/purge.log" && fail "purge tried to delete a user or group"
# Purge keeps the system user and group, whose files may remain in the
# administrator's folders, and the administrator's own drop-ins.
getent passwd kelvo >/dev/null || fail "purge deleted the user kelvo"
getent group kelvo >/dev/null || fail "purge deleted the group kelvo"
dropin=/etc/systemd/system/kelvo.service.d/destinations.conf
[ -f "$dropin" ] || fail "purge deleted the administrator's drop-in $dropin"
take_away_what_purge_keeps
installed_ok=1
after=$(leftovers)
[ "$before" = "$after" ] || fail "left after purge: $(diff <(echo "$before") <(echo "$after") || true)"
echo "packages: installed, the README's commands and the example run, removed and purged;" \
  "the user, the group and the drop-in stay, and nothing else"
