#!/usr/bin/env bash
# Cross-builds the Windows helper here on Linux with zig, for x64 and arm64,
# Release and stripped, and leaves it where the packing scripts take it from:
#   scripts/build-windows.sh [x64|arm64]...
#     -> build-binaries/win32-x64/qen-hotkey-helper.exe
#        build-binaries/win32-arm64/qen-hotkey-helper.exe
# (both when no architecture is named). Each has its build tree in
# build-windows/ARCH, through cmake/zig-windows.cmake; the x64 one also builds
# what runs under Wine (tests/windows/wine.sh): the unit suite (ctest
# --test-dir build-windows/x64), the key tool build-windows/x64/tools/winkeys/
# winkeys.exe and the bench's floor. zig's cache, build-windows/zig-cache,
# takes minutes to fill for each architecture (MinGW's runtime and libc++),
# and is kept. Takes ZIG (default: scripts/fetch-zig.sh) and
# UTF8PROC_SOURCE_DIR (default: Debian's source package) from the environment.
set -euo pipefail
cd "$(dirname "$0")/.."
# Progress only, on standard error: callers take their own results from stdout.
exec >&2
top=$PWD
out=$top/build-windows
architectures=("$@")
[ ${#architectures[@]} -gt 0 ] || architectures=(x64 arm64)
for arch in "${architectures[@]}"; do
  case $arch in
    x64 | arm64) ;;
    *) echo "build-windows: builds x64 or arm64, not $arch"; exit 2 ;;
  esac
done

scripts/setup.sh nlohmann-json3-dev googletest
zig=${ZIG:-$(scripts/fetch-zig.sh)}
mkdir -p "$out/json"
utf8proc=${UTF8PROC_SOURCE_DIR:-$(scripts/fetch-utf8proc.sh "$out/utf8proc")}
ln -sfn /usr/include/nlohmann "$out/json/nlohmann"

for arch in "${architectures[@]}"; do
  processor=x86_64
  tests=ON
  [ "$arch" = arm64 ] && processor=aarch64 && tests=OFF
  tree=$out/$arch
  note=""
  [ -d "$tree" ] || note=" (a first build: zig compiles MinGW's runtime and its libc++, minutes)"
  echo "build-windows: $arch$note"
  cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/zig-windows.cmake" -DCMAKE_SYSTEM_PROCESSOR=$processor \
    -DQEN_ZIG="$zig" -DQEN_ZIG_CACHE_DIR="$out/zig-cache" \
    -DQEN_UTF8PROC_SOURCE_DIR="$utf8proc" -DQEN_JSON_INCLUDE_DIR="$out/json" \
    -DQEN_GTEST_SOURCE_DIR=/usr/src/googletest -DQEN_BUILD_TESTS=$tests -DQEN_BENCH=$tests \
    -DCMAKE_EXE_LINKER_FLAGS_RELEASE=-s >/dev/null
  if [ $tests = ON ]; then ninja -C "$tree" -j2; else ninja -C "$tree" -j2 qen-hotkey-helper; fi
  mkdir -p "build-binaries/win32-$arch"
  install -m 0755 "$tree/qen-hotkey-helper.exe" "build-binaries/win32-$arch/qen-hotkey-helper.exe"
done
