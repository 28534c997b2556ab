#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR), with the tests; or only
# the targets named: scripts/build.sh qen-hotkey-helper
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja ${CMAKE_ARGS:-} >/dev/null
ninja -C "$build_dir" "$@"
