#!/usr/bin/env bash
# Runs the arm64 helper under qemu-user: an error line with status 1, and an
# untrusted start (no /dev/input) ending with status 0 on SIGTERM.
#   tests/packaging/arm64_test.sh build-release-arm64/qen-hotkey-helper
set -euo pipefail
binary=$(realpath "${1:?the arm64 helper}")
here=$(cd "$(dirname "$0")" && pwd)
"$(dirname "$0")/../../scripts/setup.sh" qemu-user-static >&2
source "$here/helper_checks.sh"
qemu=$(command -v qemu-aarch64-static || command -v qemu-aarch64) || fail "no qemu-aarch64"
readelf -h "$binary" | grep -q AArch64 || fail "$binary is not an arm64 program"
# The arm64 libc is multiarch's libc6:arm64 (pulled in by the -dev packages),
# loader included. Pointing QEMU_LD_PREFIX at the cross toolchain's copy would
# pair its loader with multiarch's libc.so.6, two glibc builds that disagree
# (pthread_create then loops forever).
unset QEMU_LD_PREFIX

check_error_line "$qemu" "$binary"
check_start_without_keyboards "$qemu" "$binary"
