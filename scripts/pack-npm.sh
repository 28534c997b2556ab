#!/usr/bin/env bash
# Builds the helper's binaries (Release) and packs the npm package with them:
#   scripts/pack-npm.sh   -> dist/qen-hotkey-helper-VERSION.tgz
# bin/linux-x64 and bin/linux-arm64 always; bin/darwin-universal when the
# macOS cross-build can run here (it says so when it leaves darwin out).
set -euo pipefail
cd "$(dirname "$0")/.."
stage=build-npm/package
rm -rf build-npm && mkdir -p "$stage/bin" dist
cp clients/node/{package.json,index.cjs,index.js,index.d.cts,index.d.ts,README.md} "$stage/"

add_binary() {
  mkdir -p "$stage/bin/$1"
  install -m 0755 "$2" "$stage/bin/$1/qen-hotkey-helper"
  echo "pack-npm: bin/$1 from $2" >&2
}
scripts/build-release.sh amd64
add_binary linux-x64 build-release-amd64/qen-hotkey-helper
scripts/build-release.sh arm64
add_binary linux-arm64 build-release-arm64/qen-hotkey-helper
strip "$stage/bin/linux-x64/qen-hotkey-helper"
aarch64-linux-gnu-strip "$stage/bin/linux-arm64/qen-hotkey-helper"
scripts/build-macos.sh >&2
if [ -f build-macos/qen-hotkey-helper ]; then
  add_binary darwin-universal build-macos/qen-hotkey-helper
else
  echo "pack-npm: left darwin out: the macOS cross-build did not run here (no SDK)" >&2
fi

(cd "$stage" && npm pack --silent --pack-destination "$OLDPWD/dist" | sed 's|^|dist/|')
