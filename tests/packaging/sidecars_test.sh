#!/usr/bin/env bash
# Checks the Tauri sidecars: one for each target triple, SHA256SUMS listing
# exactly them and matching, the Linux ones running (arm64 under qemu-user),
# the Windows ones the release .exe files and fit for Windows (the x64 one
# writing its error line under Wine),
# the Mac ones of the right architectures with the arm64 signature intact.
# Given the universal macOS binary that its build checked, the Mac sidecars
# must be there, the universal one that very file.
#   tests/packaging/sidecars_test.sh dist/sidecars [build-macos/qen-hotkey-helper]
set -euo pipefail
dir=$(realpath "${1:?the sidecars folder}")
universal=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
source "$here/helper_checks.sh"
name=qen-hotkey-helper
expected=("$name-aarch64-unknown-linux-gnu" "$name-x86_64-unknown-linux-gnu"
  "$name-aarch64-pc-windows-msvc.exe" "$name-x86_64-pc-windows-msvc.exe")
declare -A mac_archs=([aarch64]=arm64 [x86_64]=x86_64 [universal]="x86_64 arm64")
with_mac=false
if [ -n "$universal" ] || [ -e "$dir/$name-universal-apple-darwin" ]; then
  with_mac=true
  expected+=("$name-aarch64-apple-darwin" "$name-universal-apple-darwin" "$name-x86_64-apple-darwin")
fi

present=$(cd "$dir" && ls | grep -vx SHA256SUMS | sort)
[ "$present" = "$(printf '%s\n' "${expected[@]}" | sort)" ] ||
  fail "the sidecars are" $present "not" "${expected[@]}"
[ "$(awk '{ print $2 }' "$dir/SHA256SUMS" | sort)" = "$present" ] || fail "SHA256SUMS lists other files"
(cd "$dir" && sha256sum --quiet -c SHA256SUMS) || fail "a sidecar does not match SHA256SUMS"
echo "ok: ${#expected[@]} sidecars, all of them in SHA256SUMS, all matching"

sidecar=$dir/$name-x86_64-unknown-linux-gnu
check_error_line "$sidecar"
check_start_without_keyboards "$sidecar"
"$here/arm64_test.sh" "$dir/$name-aarch64-unknown-linux-gnu"
declare -A windows_archs=([x86_64]=x64 [aarch64]=arm64)
for triple in "${!windows_archs[@]}"; do
  sidecar=$dir/$name-$triple-pc-windows-msvc.exe
  cmp -s "$sidecar" "$repo/build-binaries/win32-${windows_archs[$triple]}/$name.exe" ||
    fail "$(basename "$sidecar") is not build-binaries/win32-${windows_archs[$triple]}/$name.exe"
  "$repo/scripts/check-windows-binary.sh" "$sidecar" "${windows_archs[$triple]}"
done
# The x64 one under Wine, through the key tool as its Windows parent, which
# passes its status on faithfully.
winkeys=${QEN_WINKEYS:-$repo/build-windows/x64/tools/winkeys/winkeys.exe}
sidecar=$dir/$name-x86_64-pc-windows-msvc.exe
"$repo/tests/windows/wine.sh" --start >/dev/null
check_error_line "$repo/tests/windows/wine.sh" "$winkeys" --run "Z:${sidecar//\//\\}"

$with_mac || { echo "ok: no Mac sidecars to check here"; exit 0; }
[ -z "$universal" ] || cmp -s "$universal" "$dir/$name-universal-apple-darwin" ||
  fail "$name-universal-apple-darwin is not $universal"
for triple in "${!mac_archs[@]}"; do
  archs=$(llvm-lipo-14 -archs "$dir/$name-$triple-apple-darwin" | xargs)
  [ "$archs" = "${mac_archs[$triple]}" ] || fail "$name-$triple-apple-darwin holds $archs"
done
checker=$repo/scripts/check-macho-signature.py
"$checker" "$dir/$name-aarch64-apple-darwin" arm64
# The check itself must see a change to the code it covers.
tampered=$(mktemp)
trap 'rm -f "$tampered"' EXIT
cp "$dir/$name-aarch64-apple-darwin" "$tampered"
python3 -c 'import sys; d = bytearray(open(sys.argv[1], "rb").read()); d[5000] ^= 1; open(sys.argv[1], "wb").write(d)' \
  "$tampered"
! "$checker" "$tampered" arm64 2>/dev/null || fail "the signature check passed a changed binary"
echo "ok: the Mac sidecars hold the right architectures; a change to the arm64 code fails its signature check"
