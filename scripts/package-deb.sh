#!/usr/bin/env bash
# Builds the Debian package of the helper into dist/:
#   scripts/package-deb.sh [amd64|arm64]   -> dist/qen-hotkey-helper_VERSION_ARCH.deb
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:-$(dpkg --print-architecture)}
scripts/build-release.sh "$arch"
ninja -C "build-release-$arch" >&2  # the compressed changelog, too
mkdir -p dist
(cd "build-release-$arch" && cpack -G DEB -B "$PWD/../dist" >&2)
rm -rf dist/_CPack_Packages
ls dist/qen-hotkey-helper_*_"$arch".deb
