#!/usr/bin/env bash
# Checks a Windows helper binary from its PE headers, and prints what it
# found: the machine is the one expected, every DLL it imports is one of
# Windows' own (the C runtime is the Universal CRT's api-ms-win-crt-* set,
# part of Windows 10 and later), no debug file (PDB) is asked for, and the
# subsystem is the GUI one, so that no console window appears when a host
# starts it (see "Windows" in the README).
#   scripts/check-windows-binary.sh build-binaries/win32-x64/qen-hotkey-helper.exe [x64|arm64]
set -euo pipefail
binary=${1:?binary}
arch=${2:-x64}
case $arch in
  x64) machine=IMAGE_FILE_MACHINE_AMD64 ;;
  arm64) machine=IMAGE_FILE_MACHINE_ARM64 ;;
  *) echo "check-windows-binary: x64 or arm64, not $arch" >&2; exit 2 ;;
esac
"$(dirname "$0")/setup.sh" llvm-14 >&2
failed=0
fail() { echo "check-windows-binary: $*" >&2; failed=1; }

headers=$(llvm-readobj-14 --file-headers "$binary")
found_machine=$(awk '$1 == "Machine:" { print $2 }' <<<"$headers")
subsystem=$(awk '$1 == "Subsystem:" { print $2 }' <<<"$headers")
[ "$found_machine" = "$machine" ] || fail "machine $found_machine, not $machine"
[ "$subsystem" = IMAGE_SUBSYSTEM_WINDOWS_GUI ] || fail "subsystem $subsystem, not IMAGE_SUBSYSTEM_WINDOWS_GUI"

# Windows' own DLLs, as the helper may use them; any other would have to ship beside it.
own='^(kernel32|user32|shell32|advapi32|ntdll|api-ms-win-crt-[a-z]+-l1-1-0)\.dll$'
imports=$(llvm-readobj-14 --coff-imports "$binary" | awk '$1 == "Name:" { print $2 }' | sort -u)
[ -n "$imports" ] || fail "imports no DLL at all"
for dll in $imports; do
  grep -qiE "$own" <<<"$dll" || fail "imports $dll, which is not one of Windows' own"
done

debug=$(llvm-readobj-14 --coff-debug-directory "$binary" | awk '$1 == "PDBFileName:" { print $2 }')
[ -z "$debug" ] || fail "asks for the debug file $debug"

echo "$arch: $found_machine, $subsystem, $(stat -c %s "$binary") bytes, imports:" $imports
[ "$failed" -eq 0 ] && echo "check-windows-binary: $binary passed"
exit "$failed"
