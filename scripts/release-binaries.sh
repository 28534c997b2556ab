#!/usr/bin/env bash
# Builds the helper's Release binaries for every platform this machine can,
# and leaves stripped copies where the packing scripts take them from:
#   scripts/release-binaries.sh   -> build-binaries/PLATFORM/qen-hotkey-helper
# PLATFORM is linux-x64 and linux-arm64 always, built with zig against glibc
# 2.17 so that they run on the desktops hosts ship to; win32-x64 and
# win32-arm64 always, as qen-hotkey-helper.exe, cross-built with the same zig;
# darwin-universal when the macOS cross-build can run here (build-macos says
# when it cannot). The builds are incremental: after one packing script, the
# next rebuilds nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build-binaries
rm -rf "$out"

put() {
  mkdir -p "$out/$1"
  install -m 0755 "$2" "$out/$1/qen-hotkey-helper"
}
# Linked stripped, and checked by the build.
scripts/build-glibc217.sh amd64
put linux-x64 build-glibc217-amd64/qen-hotkey-helper
scripts/build-glibc217.sh arm64
put linux-arm64 build-glibc217-arm64/qen-hotkey-helper
# Into build-binaries/win32-x64/ and win32-arm64/, each checked by the build.
scripts/build-windows.sh >&2
rm -f build-macos/qen-hotkey-helper  # made anew by each run, so none is left from an old one
scripts/build-macos.sh >&2
# Linked stripped already; stripping it again would void its signature.
[ ! -f build-macos/qen-hotkey-helper ] || put darwin-universal build-macos/qen-hotkey-helper
