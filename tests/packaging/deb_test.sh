#!/usr/bin/env bash
# Installs the Debian package as a user would, runs the installed helper, and
# removes the package again; lintian must report no error. Root only.
#   tests/packaging/deb_test.sh dist/qen-hotkey-helper_VERSION_ARCH.deb
set -euo pipefail
deb=$(realpath "${1:?the .deb}")
"$(dirname "$0")/../../scripts/setup.sh" lintian >&2
source "$(dirname "$0")/helper_checks.sh"
[ "$(id -u)" -eq 0 ] || fail "installing a package needs root"

lintian --fail-on error --tag-display-limit 0 "$deb" || fail "lintian reports errors on $deb"
echo "ok: lintian reports no error"
dpkg-deb -f "$deb"
[ "$(dpkg --print-architecture)" = "$(dpkg-deb -f "$deb" Architecture)" ] || {
  echo "ok: $(dpkg-deb -f "$deb" Architecture) package checked by lintian only here"
  exit 0
}

dpkg -i "$deb" >/dev/null
files=$(dpkg -L qen-hotkey-helper | while read -r path; do [ -f "$path" ] && echo "$path"; done)
echo "installed:" $files
[ -x /usr/bin/qen-hotkey-helper ] || fail "no /usr/bin/qen-hotkey-helper"
check_error_line /usr/bin/qen-hotkey-helper
check_start_and_sigterm any /usr/bin/qen-hotkey-helper
dpkg -r qen-hotkey-helper >/dev/null
for path in $files; do
  [ ! -e "$path" ] || fail "$path is still there after dpkg -r"
done
echo "ok: dpkg -r removed every file it installed"
