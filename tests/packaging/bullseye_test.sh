#!/usr/bin/env bash
# The shipped x86_64 helper on an older system: a Debian 11 root (glibc 2.31)
# from debootstrap, kept in build-bullseye/ between runs. There, the helper
# starts with "ready" and ends with status 0 on SIGTERM, and --diagnose writes
# its one "diagnosis" line; then the npm tarball is installed offline, by a
# pinned npm under Node.js 18, and a CommonJS and an ES module host start the
# helper from it and stop it with status 0 (npm_install_test.sh, run there).
#   tests/packaging/bullseye_test.sh HELPER dist/qen-hotkey-helper-VERSION.tgz NODE18
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
helper=$(realpath "${1:?the x86_64 helper}")
tarball=$(realpath "${2:?the packed npm tarball}")
node18=$(realpath "${3:?a Node.js 18 (tests/packaging/fetch-node18.sh)}")
source "$here/helper_checks.sh"
[ "$(id -u)" -eq 0 ] || fail "needs root, for debootstrap and chroot"
# The mounts below vanish with this private mount namespace.
[ -n "${QEN_IN_OWN_MOUNTS:-}" ] ||
  exec env QEN_IN_OWN_MOUNTS=1 unshare --mount --propagation private "$0" "$@"

cache=$top/build-bullseye
root=$cache/root

make_root() {
  "$top/scripts/setup.sh" debootstrap >&2
  echo "bullseye_test: making a Debian 11 root with debootstrap (minutes)" >&2
  rm -rf "$root.new"
  debootstrap --variant=minbase bullseye "$root.new" http://deb.debian.org/debian >&2
  mv "$root.new" "$root"
}

[ -x "$root/bin/bash" ] || make_root
# npm itself, which Node.js 18's package lacks; its tarball bundles what it needs.
npm=$(dirname "$(dirname "$("$here/fetch-node18.sh" npm)")")
echo "ok: Debian $(cat "$root/etc/debian_version"), $(chroot "$root" ldd --version | head -n 1)"

mount -t proc proc "$root/proc"
rm -rf "$root/qen" && mkdir -p "$root/qen/node18/bin"
install -m 0755 "$helper" "$root/qen/qen-hotkey-helper"
cp "$tarball" "$here/npm_install_test.sh" "$here/helper_checks.sh" "$root/qen/"
cp "$node18" "$root/qen/node18/bin/node"
cp -r "$npm" "$root/qen/npm"
printf '#!/bin/sh\nexec /qen/node18/bin/node /qen/npm/bin/npm-cli.js "$@"\n' >"$root/qen/node18/bin/npm"
chmod 0755 "$root/qen/node18/bin/npm"

# No /dev/input in the root: an untrusted start.
check_start_and_sigterm untrusted chroot "$root" /qen/qen-hotkey-helper
status=0
diagnosis=$(chroot "$root" /qen/qen-hotkey-helper --diagnose) || status=$?
[ "$status" -eq 0 ] || fail "--diagnose ended with $status, not 0"
[ "$(wc -l <<<"$diagnosis")" -eq 1 ] || fail "--diagnose wrote more than one line: $diagnosis"
case $diagnosis in
  '{"type":"diagnosis",'*'"problems":[{"code":"no-input-devices"'*) ;;
  *) fail "--diagnose wrote $diagnosis" ;;
esac
echo "ok: one diagnosis line, status 0 (--diagnose)"

chroot "$root" /usr/bin/env -i PATH=/qen/node18/bin:/usr/bin:/bin HOME=/root \
  bash /qen/npm_install_test.sh "/qen/$(basename "$tarball")" /qen/node18/bin/node
