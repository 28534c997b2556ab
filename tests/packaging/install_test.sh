#!/usr/bin/env bash
# The from-source way: `cmake --install` of a build tree into a fresh prefix,
# then the installed helper runs as a host runs it.
#   tests/packaging/install_test.sh build-release-amd64
set -euo pipefail
build=$(realpath "${1:?a configured and built tree}")
source "$(dirname "$0")/helper_checks.sh"
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install failed"
for path in bin/qen-hotkey-helper share/man/man1/qen-hotkey-helper.1.gz \
  share/doc/qen-hotkey-helper/README.md share/qen-hotkey-helper/70-qen-hotkey.rules; do
  [ -f "$prefix/$path" ] || fail "cmake --install put no $path under the prefix"
done
[ ! -e "$prefix/etc" ] && [ ! -e "$prefix/lib/udev" ] || fail "cmake --install activated the udev rule"
echo "installed:" $(cd "$prefix" && find . -type f | sort)
check_error_line "$prefix/bin/qen-hotkey-helper"
check_start_and_sigterm any "$prefix/bin/qen-hotkey-helper"
