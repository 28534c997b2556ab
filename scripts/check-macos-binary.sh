#!/usr/bin/env bash
# Checks a macOS helper binary from its load commands: both architectures,
# each for macOS with a minimum of 11.0, loading nothing outside the system,
# and each sending the messages of AppKit's event loop, without which no
# monitor sees a key (a bare run loop would pass every other check), the one
# that keeps the helper out of App Nap, and the one that tells an F-key's
# repeats from its presses; and each importing, from the framework that Apple
# files it under, what reads an F-key's state and the system shortcuts.
#   scripts/check-macos-binary.sh build-macos/qen-hotkey-helper
set -euo pipefail
binary=${1:?binary}
headers=$(llvm-objdump-14 --macho --private-headers --arch=all "$binary")
methnames=$(llvm-readobj-14 --string-dump=__objc_methname "$binary")
event_loop="nextEventMatchingMask:untilDate:inMode:dequeue: sendEvent: finishLaunching postEvent:atStart:"
app_nap="beginActivityWithOptions:reason:"
# Without it an F-key in Fn's part would take its repeats for new presses.
fn_key="isARepeat"
# library:symbol. An F-key held while its key-up was lost is let go by the HID
# system's key state; --diagnose reads the symbolic hot keys' dictionaries.
imports="CoreGraphics:_CGEventSourceKeyState
  CoreFoundation:_CFDictionaryGetTypeID CoreFoundation:_CFDictionaryGetValue
  CoreFoundation:_CFArrayGetTypeID CoreFoundation:_CFArrayGetCount
  CoreFoundation:_CFArrayGetValueAtIndex CoreFoundation:_CFBooleanGetTypeID
  CoreFoundation:_CFBooleanGetValue"
failed=0
fail() { echo "check-macos-binary: $*" >&2; failed=1; }

# The selectors a slice names, one a line; llvm-readobj calls arm64 aarch64.
selectors() {
  awk -v want="${1/arm64/aarch64}" '/^Arch: / { inside = ($2 == want) } inside && /^\[/ { print $NF }' \
    <<<"$methnames"
}

# What a slice imports, as library:symbol, one a line.
bindings() {
  llvm-objdump-14 --macho --bind --lazy-bind --arch="$1" "$binary" |
    awk 'NF >= 5 && $NF ~ /^_/ { print $(NF - 1) ":" $NF }'
}

# Reported, not checked: zig's linker writes 16 bytes where Apple's writes 8;
# dyld and the runtime read the first 8.
imageinfo_size() {
  local size
  size=$(llvm-objdump-14 --macho --section-headers --arch="$1" "$binary" |
    awk '$2 == "__objc_imageinfo" { print $3 }')
  if [ -n "$size" ]; then echo "$((16#$size)) bytes"; else echo "absent"; fi
}

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
  names=$(selectors "$arch")
  for selector in $event_loop $app_nap $fn_key; do
    grep -qxF -- "$selector" <<<"$names" || fail "$arch: never sends $selector"
  done
  bound=$(bindings "$arch")
  for import in $imports; do
    grep -qxF -- "$import" <<<"$bound" || fail "$arch: does not import ${import#*:} from ${import%%:*}"
  done
  echo "$arch: macOS 11.0, loads:" $libraries
  echo "$arch: __objc_imageinfo $(imageinfo_size "$arch") (Apple's linker writes 8)"
done
# macOS runs no arm64 code without a valid signature (the linker's ad-hoc one at least).
"$(dirname "$0")/check-macho-signature.py" "$binary" arm64 || failed=1
[ "$failed" -eq 0 ] && echo "check-macos-binary: $binary passed ($(stat -c %s "$binary") bytes)"
exit "$failed"
