#!/usr/bin/env bash
# The helper as Tauri sidecars, named with the target triple Tauri appends to
# a bundle.externalBin entry, and their checksums:
#   scripts/pack-sidecars.sh   -> dist/sidecars/qen-hotkey-helper-TRIPLE, SHA256SUMS
# The Linux and Windows ones always (the Windows .exe, built with zig, serves
# under Tauri's -pc-windows-msvc triples); the Mac ones (universal, and the
# thin arm64 and x86_64 slices cut from it) when the macOS cross-build can run
# here (it says so when it leaves them out).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/release-binaries.sh
out=dist/sidecars
name=qen-hotkey-helper
rm -rf "$out" && mkdir -p "$out"
cp build-binaries/linux-x64/$name "$out/$name-x86_64-unknown-linux-gnu"
cp build-binaries/linux-arm64/$name "$out/$name-aarch64-unknown-linux-gnu"
cp build-binaries/win32-x64/$name.exe "$out/$name-x86_64-pc-windows-msvc.exe"
cp build-binaries/win32-arm64/$name.exe "$out/$name-aarch64-pc-windows-msvc.exe"
universal=build-binaries/darwin-universal/$name
if [ -f "$universal" ]; then
  cp "$universal" "$out/$name-universal-apple-darwin"
  llvm-lipo-14 -thin arm64 -output "$out/$name-aarch64-apple-darwin" "$universal"
  llvm-lipo-14 -thin x86_64 -output "$out/$name-x86_64-apple-darwin" "$universal"
  # macOS runs no arm64 code without a valid signature, ad-hoc at least.
  scripts/check-macho-signature.py "$out/$name-aarch64-apple-darwin" arm64 >&2
else
  echo "pack-sidecars: left out $name-universal-apple-darwin, -aarch64-apple-darwin and" \
    "-x86_64-apple-darwin: the macOS cross-build did not run here (no SDK)" >&2
fi
chmod 0755 "$out"/$name-*
(cd "$out" && sha256sum $name-* >SHA256SUMS)
echo "$out"
