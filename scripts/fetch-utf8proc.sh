#!/usr/bin/env bash
# utf8proc's source, from Debian's source package, for the cross-builds that
# compile it into the helper (macOS, Windows). Prints the folder; later calls
# reuse it. The deb-src entry is ours and goes again afterwards.
#   scripts/fetch-utf8proc.sh DIR   -> DIR/utf8proc.c
set -euo pipefail
dir=${1:?the folder to put the source in}
if [ ! -f "$dir/utf8proc.c" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "fetch-utf8proc: set UTF8PROC_SOURCE_DIR, or run as root to fetch Debian's source" >&2
    exit 1
  fi
  entry=/etc/apt/sources.list.d/qen-utf8proc-src.sources
  sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$entry"
  work=$(mktemp -d)
  { apt-get update -qq && (cd "$work" && apt-get source --download-only -qq -o APT::Sandbox::User=root utf8proc); } >&2 ||
    { rm -f "$entry"; exit 1; }
  rm -f "$entry"
  apt-get update -qq >&2
  rm -rf "$dir" && mkdir -p "$dir"
  tar -xf "$work"/utf8proc_*.orig.tar.* -C "$dir" --strip-components=1
  rm -rf "$work"
fi
echo "$dir"
