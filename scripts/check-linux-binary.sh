#!/usr/bin/env bash
# Checks a Linux helper binary that hosts ship, from its ELF headers: the
# expected architecture, no imported symbol version newer than GLIBC_2.17, and
# no library needed but glibc's own. Prints the highest version and the list.
#   scripts/check-linux-binary.sh BINARY [x86_64|aarch64]
# Without the architecture, the path says it: linux-x64 or
# x86_64-unknown-linux-gnu, linux-arm64 or aarch64-unknown-linux-gnu.
set -euo pipefail
binary=${1:?binary}
arch=${2:-}
newest_allowed=2.17
glibc_libraries="libc.so.6 libpthread.so.0 libdl.so.2 librt.so.1 libm.so.6 ld-linux-x86-64.so.2 ld-linux-aarch64.so.1"
fail() { echo "check-linux-binary: $*" >&2; failed=1; }

if [ -z "$arch" ]; then
  case $binary in
    *linux-x64* | *x86_64-unknown-linux-gnu*) arch=x86_64 ;;
    *linux-arm64* | *aarch64-unknown-linux-gnu*) arch=aarch64 ;;
    *) echo "check-linux-binary: cannot tell the architecture of $binary; name it" >&2; exit 2 ;;
  esac
fi
declare -A machines=([x86_64]="Advanced Micro Devices X86-64" [aarch64]=AArch64)
expected_machine=${machines[$arch]:-}
[ -n "$expected_machine" ] || { echo "check-linux-binary: no architecture $arch" >&2; exit 2; }

failed=0
machine=$(readelf -h "$binary" | sed -n 's/^ *Machine: *//p')
[ "$machine" = "$expected_machine" ] || fail "$binary is for $machine, not $arch"

newer_than_allowed() { [ "$(printf '%s\n' "$1" "$newest_allowed" | sort -V | tail -n 1)" != "$newest_allowed" ]; }

# Every version the binary asks of a library, from its version needs.
versions=$(readelf -V -W "$binary" | sed -n 's/.* Name: \([A-Za-z_]*_[0-9.]*\|GLIBC_PRIVATE\) .*/\1/p' | sort -u)
glibc_versions=$(sed -n 's/^GLIBC_\([0-9.]*\)$/\1/p' <<<"$versions" | sort -V)
newest=$(tail -n 1 <<<"$glibc_versions")
[ -n "$newest" ] || fail "$binary imports no GLIBC_ version: not a program linked against glibc"
for version in $glibc_versions; do
  newer_than_allowed "$version" && fail "$binary needs GLIBC_$version, newer than GLIBC_$newest_allowed"
done
others=$(grep -v '^GLIBC_[0-9]' <<<"$versions" || true)
[ -z "$others" ] || fail "$binary asks for versions that are not glibc's:" $others

needed=$(readelf -d -W "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for library in $needed; do
  [[ " $glibc_libraries " == *" $library "* ]] || fail "$binary needs $library, not one of glibc's"
done

echo "check-linux-binary: $binary: $arch, highest GLIBC_${newest:-none}, needs:" $needed
[ "$failed" -eq 0 ] && echo "check-linux-binary: $binary passed ($(stat -c %s "$binary") bytes)"
exit "$failed"
