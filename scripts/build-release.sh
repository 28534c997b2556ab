#!/usr/bin/env bash
# Builds the helper alone, Release, for this machine or for arm64:
#   scripts/build-release.sh [amd64|arm64]   -> build-release-ARCH/qen-hotkey-helper
# arm64 uses Debian's cross compiler and the arm64 -dev packages (multiarch).
set -euo pipefail
cd "$(dirname "$0")/.."
# Progress only, on standard error: callers take their own results from stdout.
exec >&2
arch=${1:-$(dpkg --print-architecture)}
cmake_args=(-DCMAKE_BUILD_TYPE=Release -DQEN_BUILD_TESTS=OFF)
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
  [ "$arch" = arm64 ] || { echo "build-release: cross-builds arm64 only, not $arch" >&2; exit 2; }
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    [ "$(id -u)" -eq 0 ] || { echo "Run as root: dpkg --add-architecture arm64" >&2; exit 1; }
    dpkg --add-architecture arm64
    apt-get update -qq
  fi
  scripts/setup.sh crossbuild-essential-arm64 libevdev-dev:arm64 libutf8proc-dev:arm64 \
    libxcb1-dev:arm64 libxcb-xinput-dev:arm64 dpkg-dev
  cmake_args+=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake")
else
  scripts/setup.sh dpkg-dev
fi
build_dir=build-release-$arch
cmake -S . -B "$build_dir" -G Ninja "${cmake_args[@]}" >/dev/null
ninja -C "$build_dir" qen-hotkey-helper >&2
