#!/usr/bin/env bash
# Builds the helper that hosts ship, Release and stripped, with zig against
# glibc 2.17 (cmake/zig-linux.cmake), then checks what it imports:
#   scripts/build-glibc217.sh [amd64|arm64]   -> build-glibc217-ARCH/qen-hotkey-helper
# Takes ZIG (default: scripts/fetch-zig.sh) from the environment.
set -euo pipefail
cd "$(dirname "$0")/.."
# Progress only, on standard error: callers take their own results from stdout.
exec >&2
arch=${1:-amd64}
case $arch in
  amd64) processor=x86_64 ;;
  arm64) processor=aarch64 ;;
  *) echo "build-glibc217: builds amd64 or arm64, not $arch" >&2; exit 2 ;;
esac
packages=(libevdev-dev:$arch libutf8proc-dev:$arch libxcb1-dev:$arch libxcb-xinput-dev:$arch
  nlohmann-json3-dev pkg-config binutils)
if [ "$arch" != "$(dpkg --print-architecture)" ] &&
  ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
  [ "$(id -u)" -eq 0 ] || { echo "Run as root: dpkg --add-architecture $arch" >&2; exit 1; }
  dpkg --add-architecture "$arch"
  apt-get update -qq
fi
scripts/setup.sh "${packages[@]}"
zig=${ZIG:-$(scripts/fetch-zig.sh)}
build_dir=build-glibc217-$arch
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQEN_BUILD_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/zig-linux.cmake" -DCMAKE_SYSTEM_PROCESSOR=$processor \
  -DQEN_ZIG="$zig" -DQEN_ZIG_CACHE_DIR="$PWD/build-zig/cache" \
  -DCMAKE_EXE_LINKER_FLAGS_RELEASE=-s >/dev/null
ninja -C "$build_dir" qen-hotkey-helper
scripts/check-linux-binary.sh "$build_dir/qen-hotkey-helper" $processor
