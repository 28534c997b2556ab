#!/usr/bin/env bash
# Runs a Windows program under Debian's Wine 8 in the project's own prefix,
# build-wine/prefix, made on first use (about 15 s) and kept between runs. A
# persistent wineserver serves every command (about 0.1 s each instead of 2),
# with an Xvfb of its own as the display, so that a Wine window can take keys
# typed through XTEST too.
#
#   tests/windows/wine.sh PROGRAM.exe [ARGS...]   runs it: the status and the
#                                                 standard streams are its own
#   tests/windows/wine.sh --start                 starts what is not running;
#                                                 prints the DISPLAY of its Xvfb
#   tests/windows/wine.sh --stop                  ends the wineserver and the Xvfb
#
# Each command runs with WINEDEBUG=-all, so that whatever reaches standard
# error is the program's, and LC_ALL=C.UTF-8, without which Wine mangles
# arguments outside ASCII. The wineserver, Wine's services and the Xvfb run
# with their standard streams on /dev/null: they outlive the first command,
# and a reader of its pipes would otherwise never see their end.
# QEN_WINE_DIR (default build-wine/) holds the prefix and the state.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
dir=${QEN_WINE_DIR:-$top/build-wine}
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
export WINEPREFIX=$dir/prefix WINEDEBUG=-all LC_ALL=C.UTF-8 WINEARCH=win64
# No prompt for Wine's Mono and Gecko, which nothing here needs.
export WINEDLLOVERRIDES="mscoree,mshtml="

alive() { [ -f "$dir/$1.pid" ] && kill -0 "$(cat "$dir/$1.pid")" 2>/dev/null; }

# wineserver -k ends Wine's own services (winedevice.exe and the rest) with
# the server; a plain kill leaves them behind.
stop_all() {
  local name
  if alive wineserver; then
    timeout 10 "$wineserver" -k </dev/null >/dev/null 2>&1 || true
  fi
  for name in wineserver xvfb; do
    if alive $name; then
      kill "$(cat "$dir/$name.pid")" 2>/dev/null || true
      while alive $name; do sleep 0.05; done
    fi
    rm -f "$dir/$name.pid"
  done
}

# Xvfb picks a free display itself; -noreset keeps the key map below when
# the last client goes. Its default map has no keysyms for F13 to F20.
start_xvfb() {
  local fifo=$dir/displayfd
  rm -f "$fifo" && mkfifo "$fifo"
  setsid Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1024x768x24 \
    3>"$fifo" </dev/null >/dev/null 2>&1 &
  echo $! >"$dir/xvfb.pid"
  local number
  read -r number <"$fifo"
  rm -f "$fifo"
  echo ":$number" >"$dir/display"
  local code=191 key
  for key in F13 F14 F15 F16 F17 F18 F19 F20; do
    DISPLAY=:$number xmodmap -e "keycode $code = $key"
    code=$((code + 1))
  done
}

start_wine() {
  mkdir -p "$WINEPREFIX"
  DISPLAY=$(cat "$dir/display") setsid "$wineserver" -f -p </dev/null >/dev/null 2>&1 &
  echo $! >"$dir/wineserver.pid"
  # Makes the prefix the first time; afterwards it starts Wine's services.
  DISPLAY=$(cat "$dir/display") "$wine" wineboot </dev/null >/dev/null 2>&1
}

ensure_running() {
  mkdir -p "$dir"
  exec 9>"$dir/lock"
  flock 9
  if ! alive xvfb || ! alive wineserver; then
    "$top/scripts/setup.sh" wine wine64 xvfb x11-xserver-utils >&2
    [ -f "$WINEPREFIX/system.reg" ] || echo "wine.sh: making the Wine prefix $WINEPREFIX (once)" >&2
    stop_all
    start_xvfb
    start_wine
  fi
  flock -u 9
  exec 9>&-
}

case ${1:-} in
  "") echo "usage: $0 PROGRAM.exe [ARGS...] | --start | --stop" >&2; exit 2 ;;
  --stop) stop_all; exit 0 ;;
  --start) ensure_running; cat "$dir/display"; exit 0 ;;
esac
ensure_running
DISPLAY=$(cat "$dir/display")
export DISPLAY
exec "$wine" "$@"
