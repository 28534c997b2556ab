#!/usr/bin/env bash
# Checks a macOS helper binary from its load commands: both architectures,
# each for macOS with a minimum of 11.0, loading nothing outside the system.
#   scripts/check-macos-binary.sh build-macos/qen-hotkey-helper
set -euo pipefail
binary=${1:?binary}
headers=$(llvm-objdump-14 --macho --private-headers --arch=all "$binary")
failed=0
fail() { echo "check-macos-binary: $*" >&2; failed=1; }

for arch in arm64 x86_64; do
  slice=$(awk -v want="(architecture $arch):" '
    /\(architecture [a-z0-9_]+\):$/ { inside = (index($0, want) > 0) }
    inside' <<<"$headers")
  if [ -z "$slice" ]; then
    fail "no $arch slice"
    continue
  fi
  build=$(grep -A 4 'cmd LC_BUILD_VERSION' <<<"$slice" || true)
  grep -q 'platform macos' <<<"$build" || fail "$arch: not built for macOS"
  grep -q 'minos 11.0' <<<"$build" || fail "$arch: minimum is not macOS 11.0"
  libraries=$(grep -A 2 'cmd LC_LOAD_DYLIB' <<<"$slice" | awk '$1 == "name" { print $2 }')
  [ -n "$libraries" ] || fail "$arch: loads no library at all"
  for library in $libraries; do
    case $library in
      /usr/lib/* | /System/*) ;;
      *) fail "$arch: loads $library, outside /usr/lib and /System" ;;
    esac
  done
  echo "$arch: macOS 11.0, loads:" $libraries
done
# macOS runs no arm64 code without a valid signature (the linker's ad-hoc one at least).
"$(dirname "$0")/check-macho-signature.py" "$binary" arm64 || failed=1
[ "$failed" -eq 0 ] && echo "check-macos-binary: $binary passed ($(stat -c %s "$binary") bytes)"
exit "$failed"
