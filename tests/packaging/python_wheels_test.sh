#!/usr/bin/env bash
# Checks the Python wheels as pack-python.sh leaves them, then walks a host
# author's path with them:
# - one wheel per platform and one without a binary, all in SHA256SUMS and
#   matching; each with its one tag, and exactly the package's files (the
#   platform's release binary inside, byte for byte, mode 0755; Linux ones
#   within glibc 2.17, Windows ones as check-windows-binary.sh wants them, the
#   Mac one's arm64 signature intact);
# - pip takes each Windows wheel for its Windows platform, and puts its .exe
#   where the client on Windows looks for it;
# - this machine's wheel installs offline into a new virtual environment,
#   where the client's tests run against the wheel's own binary on virtual
#   keyboards, and read the win_amd64 wheel's diagnosis under Wine;
# - `pip install clients/python` installs offline without a binary, and runs
#   the one QEN_HOTKEY_HELPER_PATH names;
# - pack-python refuses a Linux binary that needs a newer glibc than 2.17.
#   tests/packaging/python_wheels_test.sh dist/python [build-macos/qen-hotkey-helper]
set -euo pipefail
dir=$(realpath "${1:?the wheels folder}")
universal=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
source "$here/helper_checks.sh"
"$repo/scripts/setup.sh" python3-venv python3-pytest unzip >&2
python=/usr/bin/python3  # Debian's, with its pytest
version=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' "$repo/clients/python/qen_hotkey_helper/__init__.py")
declare -A tags=([linux-x64]=manylinux2014_x86_64 [linux-arm64]=manylinux2014_aarch64
  [win32-x64]=win_amd64 [win32-arm64]=win_arm64 [any]=any)
if [ -n "$universal" ] || compgen -G "$dir/*macosx*.whl" >/dev/null; then
  tags[darwin-universal]=macosx_11_0_universal2
fi
wheel_of() { echo "qen_hotkey_helper-$version-py3-none-${tags[$1]}.whl"; }

present=$(cd "$dir" && ls | grep -vx SHA256SUMS | sort)
expected=$(for platform in "${!tags[@]}"; do wheel_of "$platform"; done | sort)
[ "$present" = "$expected" ] || fail "the wheels are" $present "not" $expected
[ "$(awk '{ print $2 }' "$dir/SHA256SUMS" | sort)" = "$present" ] || fail "SHA256SUMS lists other files"
(cd "$dir" && sha256sum --quiet -c SHA256SUMS) || fail "a wheel does not match SHA256SUMS"
echo "ok: ${#tags[@]} wheels, all of them in SHA256SUMS, all matching"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
package_files=$(cd "$repo/clients/python" && git ls-files qen_hotkey_helper | sort)

# The wheel's tag, whether it is pure, its files and their modes.
check_wheel() {
  local platform=$1 wheel=$dir/$(wheel_of "$1") binary="" extracted=$work/$1 exe=""
  [[ $platform != win32-* ]] || exe=.exe
  [ "$platform" = any ] || binary=qen_hotkey_helper/bin/qen-hotkey-helper$exe
  "$python" - "$wheel" "${tags[$platform]}" "$binary" "$package_files" <<'CHECK' ||
import sys, zipfile
wheel, platform_tag, binary, package_files = sys.argv[1:]
archive = zipfile.ZipFile(wheel)
info = next(n for n in archive.namelist() if n.endswith(".dist-info/WHEEL"))
fields = [line.split(": ", 1) for line in archive.read(info).decode().splitlines() if line]
tags = [value for key, value in fields if key == "Tag"]
assert tags == [f"py3-none-{platform_tag}"], f"tags {tags}"
assert ("Root-Is-Purelib", "false" if binary else "true") in map(tuple, fields), fields
metadata = archive.read(info.replace("WHEEL", "METADATA")).decode()
assert "Requires-Dist" not in metadata, "the package depends on something"
files = sorted(n for n in archive.namelist() if ".dist-info/" not in n)
assert files == sorted(package_files.split() + ([binary] if binary else [])), f"files {files}"
if binary:
    mode = archive.getinfo(binary).external_attr >> 16 & 0o777
    assert mode == 0o755, f"{binary} has mode {mode:o}"
CHECK
    fail "$(basename "$wheel") is not as packed"
  [ -n "$binary" ] || return 0
  unzip -q -o "$wheel" "$binary" -d "$extracted"
  cmp -s "$extracted/$binary" "$repo/build-binaries/$platform/qen-hotkey-helper$exe" ||
    fail "$(basename "$wheel") does not carry build-binaries/$platform/qen-hotkey-helper$exe"
  case $platform in
    linux-x64) "$repo/scripts/check-linux-binary.sh" "$extracted/$binary" x86_64 ;;
    linux-arm64) "$repo/scripts/check-linux-binary.sh" "$extracted/$binary" aarch64 ;;
    win32-x64) "$repo/scripts/check-windows-binary.sh" "$extracted/$binary" x64 ;;
    win32-arm64) "$repo/scripts/check-windows-binary.sh" "$extracted/$binary" arm64 ;;
    darwin-universal)
      [ -z "$universal" ] || cmp -s "$universal" "$extracted/$binary" ||
        fail "the Mac wheel's binary is not $universal"
      "$repo/scripts/check-macho-signature.py" "$extracted/$binary" arm64 ;;
  esac
}
for platform in "${!tags[@]}"; do
  check_wheel "$platform"
  echo "ok: $(wheel_of "$platform"): its tag, its files and modes"
done

# A new virtual environment; Debian's pytest is seen from it, nothing else
# of this project is.
new_environment() {
  "$python" -m venv --system-site-packages "$1"
  ! "$1/bin/python" -c 'import qen_hotkey_helper' 2>/dev/null || fail "qen_hotkey_helper is there before it is installed"
}

wheel=$dir/$(wheel_of linux-x64)
new_environment "$work/wheel"
"$work/wheel/bin/pip" install --quiet --no-index "$wheel" || fail "pip install --no-index $(basename "$wheel") failed"
site=$("$work/wheel/bin/python" -c 'import qen_hotkey_helper as q; print(q.__file__.rsplit("/", 1)[0])')
binary=$(env -u QEN_HOTKEY_HELPER_PATH "$work/wheel/bin/python" -c 'import qen_hotkey_helper as q; print(q.find_binary())')
[ "$binary" = "$site/bin/qen-hotkey-helper" ] || fail "the installed client runs $binary, not its own binary"
echo "ok: $(basename "$wheel") installs offline; the client runs its own binary, $binary"

# pip, asked to install for Windows, takes the Windows wheels, and lays the
# .exe out where the client on Windows looks for it.
for platform in win32-x64 win32-arm64; do
  wheel=$dir/$(wheel_of "$platform")
  "$work/wheel/bin/pip" install --quiet --no-index --no-deps --only-binary=:all: --platform "${tags[$platform]}" \
    --target "$work/target-$platform" "$wheel" || fail "pip refused $(basename "$wheel") for ${tags[$platform]}"
  [ -f "$work/target-$platform/qen_hotkey_helper/bin/qen-hotkey-helper.exe" ] ||
    fail "$(basename "$wheel") does not install qen_hotkey_helper/bin/qen-hotkey-helper.exe"
  ! "$work/wheel/bin/pip" install --quiet --no-index --no-deps --target "$work/here-$platform" "$wheel" 2>/dev/null ||
    fail "pip installed $(basename "$wheel") for this Linux machine"
done
echo "ok: pip installs the Windows wheels for win_amd64 and win_arm64 only, with bin/qen-hotkey-helper.exe"

# With the win_amd64 wheel's .exe under Wine for the Windows diagnosis.
(cd "$work" && env -u QEN_HELPER -u QEN_HOTKEY_HELPER_PATH -u PYTHONPATH \
  QEN_VKBD="${QEN_VKBD:-$repo/build/tools/vkbd/vkbd}" \
  QEN_WINDOWS_HELPER="$work/win32-x64/qen_hotkey_helper/bin/qen-hotkey-helper.exe" \
  QEN_WINKEYS="${QEN_WINKEYS:-$repo/build-windows/x64/tools/winkeys/winkeys.exe}" \
  "$work/wheel/bin/python" -m pytest -q -p no:cacheprovider "$repo/clients/python/tests") ||
  fail "the client's tests failed against the installed wheel"

new_environment "$work/source"
"$work/source/bin/pip" install --quiet --no-index --no-build-isolation "$repo/clients/python" ||
  fail "pip install clients/python failed"
out=$(env -u QEN_HOTKEY_HELPER_PATH "$work/source/bin/python" -m qen_hotkey_helper --diagnose 2>&1) &&
  fail "without a binary, --diagnose did not fail: $out"
[[ $out == *"this installation has no binary"* ]] || fail "without a binary: $out"
out=$(QEN_HOTKEY_HELPER_PATH=$repo/build-binaries/linux-x64/qen-hotkey-helper "$work/source/bin/python" -m qen_hotkey_helper --diagnose) ||
  fail "--diagnose with QEN_HOTKEY_HELPER_PATH failed: $out"
[[ $out == '{"type":"diagnosis",'* ]] || fail "--diagnose wrote $out"
echo "ok: pip install clients/python carries no binary, and runs the one QEN_HOTKEY_HELPER_PATH names"

# What a manylinux2014 tag cannot promise is refused: the native build, which
# needs Debian 12's glibc.
mkdir -p "$work/newer/linux-x64" "$work/newer/linux-arm64"
cp "$repo/build/qen-hotkey-helper" "$work/newer/linux-x64/"
cp "$repo/build-binaries/linux-arm64/qen-hotkey-helper" "$work/newer/linux-arm64/"
"$repo/scripts/pack-python.sh" "$work/newer" "$work/refused" >/dev/null 2>"$work/refusal" &&
  fail "pack-python packed a binary that needs glibc $(ldd --version | sed -n '1s/.* //p')"
grep -q "linux-x64/qen-hotkey-helper is not fit for a manylinux2014 wheel" "$work/refusal" ||
  fail "pack-python failed otherwise: $(cat "$work/refusal")"
! compgen -G "$work/refused/*.whl" >/dev/null || fail "pack-python left wheels after refusing"
echo "ok: pack-python refuses a binary that needs a newer glibc than 2.17"
