#!/usr/bin/env bash
# Builds the helper's binaries (Release) and packs the npm package with them:
#   scripts/pack-npm.sh   -> dist/qen-hotkey-helper-VERSION.tgz
# bin/linux-x64, bin/linux-arm64, bin/win32-x64 and bin/win32-arm64 (each
# with qen-hotkey-helper.exe) always; bin/darwin-universal when the macOS
# cross-build can run here (it says so when it leaves darwin out).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/release-binaries.sh
stage=build-npm/package
rm -rf build-npm && mkdir -p "$stage" dist
cp clients/node/{package.json,index.cjs,index.js,index.d.cts,index.d.ts,README.md} "$stage/"
cp -a build-binaries "$stage/bin"
for folder in "$stage"/bin/*; do
  echo "pack-npm: bin/${folder##*/}" >&2
done
[ -d "$stage/bin/darwin-universal" ] ||
  echo "pack-npm: left darwin out: the macOS cross-build did not run here (no SDK)" >&2

(cd "$stage" && npm pack --silent --pack-destination "$OLDPWD/dist" | sed 's|^|dist/|')
