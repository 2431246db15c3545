# Sourced by the scripts that run Windows builds: picks the Wine loader that
# can run a build here and keeps one Wine server up for all runs.
#
# Wine runs the 32-bit build only where the kernel runs 32-bit programs; on
# machines without that, the 64-bit build of the same sources runs instead.

export WINEDEBUG=-all
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-kelvo}"

wine_runs_32bit() {
  [ -x /lib/ld-linux.so.2 ] && /lib/ld-linux.so.2 --help >/dev/null 2>&1
}

wine64_loader() {
  for loader in /usr/lib/wine/wine64 /usr/bin/wine64; do
    [ -x "$loader" ] && { echo "$loader"; return 0; }
  done
  return 1
}

start_wine_server() {
  # The first start makes the prefix, which takes a while; later runs are quick.
  local loader=$1
  "$loader" cmd /c exit >/dev/null 2>&1 || true
  local server
  server=$(dirname "$loader")/wineserver
  [ -x "$server" ] || server=wineserver
  "$server" -p >/dev/null 2>&1 || true
}

stop_wine_server() {
  wineserver -k >/dev/null 2>&1 || /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
}
