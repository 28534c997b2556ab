#!/usr/bin/env bash
# Builds the helper's release binaries and packs the Python package as wheels,
# each platform's with its binary inside, and one without (for hosts that bring
# their own, as `pip install clients/python` gives):
#   scripts/pack-python.sh   -> dist/python/qen_hotkey_helper-VERSION-py3-none-TAG.whl, SHA256SUMS
#   scripts/pack-python.sh BINARIES OUT   (binaries laid out as build-binaries/, into OUT)
# TAG: manylinux2014_x86_64 and manylinux2014_aarch64 always, each binary
# checked first for what that tag promises (glibc 2.17 at most); win_amd64 and
# win_arm64 always, each .exe checked first (its machine, Windows' own DLLs);
# macosx_11_0_universal2 when the macOS cross-build can run here (it says so
# when it leaves it out); and any, without a binary.
set -euo pipefail
binaries=${1:+$(realpath "$1")}
out=${2:+$(realpath -m "$2")}
cd "$(dirname "$0")/.."
scripts/setup.sh python3-build python3-hatchling >&2
if [ -z "$binaries" ]; then
  scripts/release-binaries.sh >&2
  binaries=$PWD/build-binaries
fi
out=${out:-dist/python}
rm -rf "$out" && mkdir -p "$out"

# Debian's python3, the one its python3-build and python3-hatchling serve
# (another may come first on PATH). Hatchling's optional dependency for
# editable installs is not packaged there, hence no dependency check.
wheel() {
  /usr/bin/python3 -m build --wheel --no-isolation --skip-dependency-check --outdir "$out" \
    clients/python >&2
}

declare -A linux_archs=([linux-x64]=x86_64 [linux-arm64]=aarch64)
declare -A windows_archs=([win32-x64]=x64 [win32-arm64]=arm64)
for platform in linux-x64 linux-arm64 win32-x64 win32-arm64 darwin-universal; do
  binary=$binaries/$platform/qen-hotkey-helper
  [ -z "${windows_archs[$platform]:-}" ] || binary+=.exe
  if [ "$platform" = darwin-universal ] && [ ! -f "$binary" ]; then
    echo "pack-python: left out the $platform wheel: the macOS cross-build did not run here (no SDK)" >&2
    continue
  fi
  if [ -n "${linux_archs[$platform]:-}" ] &&
    ! scripts/check-linux-binary.sh "$binary" "${linux_archs[$platform]}" >&2; then
    echo "pack-python: $binary is not fit for a manylinux2014 wheel (glibc 2.17 at most)" >&2
    exit 1
  fi
  if [ -n "${windows_archs[$platform]:-}" ] &&
    ! scripts/check-windows-binary.sh "$binary" "${windows_archs[$platform]}" >&2; then
    echo "pack-python: $binary is not fit for a Windows wheel" >&2
    exit 1
  fi
  QEN_WHEEL_PLATFORM=$platform QEN_WHEEL_BINARY=$binary wheel
done
wheel
chmod 0644 "$out"/*.whl
(cd "$out" && sha256sum -- *.whl >SHA256SUMS)
echo "$out"
