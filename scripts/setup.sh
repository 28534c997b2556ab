#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, where missing.
# As root it runs apt-get; otherwise it prints the exact line to run.
set -euo pipefail

# python3: the README's Python host example, tested, and the Mach-O signature check;
# python3-pytest: the Python client's tests; libxcb-xtest0-dev and xvfb: the
# X11 source's end-to-end tests.
packages=(g++ cmake ninja-build pkg-config libevdev-dev libutf8proc-dev libxcb1-dev
  libxcb-xinput-dev nlohmann-json3-dev libgtest-dev libfuse3-dev fuse3 util-linux python3
  python3-pytest libxcb-xtest0-dev xvfb "$@")
# The Node.js client's tests need node; any installed one will do.
command -v node >/dev/null || packages+=(nodejs)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. Run as root:" >&2
  echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
