#!/usr/bin/env bash
# Sets up, builds and runs the helper with the given arguments,
# for example: scripts/run.sh --shortcut fn+space
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >&2
scripts/build.sh qen-hotkey-helper >&2
exec build/qen-hotkey-helper "$@"
