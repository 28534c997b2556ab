#!/usr/bin/env bash
# Shows the helper at work without a keyboard that reports Fn: starts it on a
# virtual keyboard, presses Fn and Fn+Space, and prints what it writes.
# Needs root (FUSE and a private mount namespace); builds first.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/setup.sh >&2
scripts/build.sh >/dev/null

work=$(mktemp -d)
mkdir "$work/input"
build/tools/vkbd/vkbd "$work/input" "$work/control" >/dev/null 2>"$work/vkbd.log" &
vkbd=$!
helper=
cleanup() {
  [ -n "$helper" ] && kill "$helper" 2>/dev/null || true
  kill "$vkbd" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
while [ ! -S "$work/control" ]; do sleep 0.05; done

send() { build/tools/vkbd/vkbd --send "$work/control" "$@" >/dev/null; }
send "add event0"

echo "== qen-hotkey-helper --diagnose"
tools/vkbd/run-with-input.sh "$work/input" build/qen-hotkey-helper --diagnose

for shortcut in fn fn+space; do
  echo "== qen-hotkey-helper --shortcut $shortcut"
  tools/vkbd/run-with-input.sh "$work/input" build/qen-hotkey-helper --shortcut "$shortcut" &
  helper=$!
  sleep 0.3
  echo "-- press and release Fn"
  send "press event0 fn" "release event0 fn"
  sleep 0.1
  echo "-- hold Fn, press Space twice"
  send "press event0 fn" "press event0 space" "release event0 space" \
    "press event0 space" "release event0 space" "release event0 fn"
  sleep 0.1
  kill -TERM "$helper"
  wait "$helper" && echo "-- exit status 0 after SIGTERM"
  helper=
done
