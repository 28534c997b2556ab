#!/usr/bin/env bash
# The path a host author walks: installs the packed npm package into a new
# project with no registry, imports it from there, starts the helper without
# a binaryPath, waits for "ready", and stops it with status 0.
#   tests/packaging/npm_install_test.sh dist/qen-hotkey-helper-VERSION.tgz
set -euo pipefail
tarball=$(realpath "${1:?the packed tarball}")
source "$(dirname "$0")/helper_checks.sh"
project=$(mktemp -d)
trap 'rm -rf "$project"' EXIT
cd "$project"
npm init -y >/dev/null
npm install --offline --no-audit --no-fund --silent "$tarball" || fail "npm install --offline failed"
cat >host.mjs <<'HOST'
import { defaultBinaryPath, startHotkeyHelper } from 'qen-hotkey-helper';
import { realpathSync } from 'node:fs';

const inside = realpathSync('node_modules/qen-hotkey-helper');
if (!defaultBinaryPath.startsWith(inside)) {
  console.error(`the helper is not the package's own: ${defaultBinaryPath}`);
  process.exit(1);
}
const helper = startHotkeyHelper({ shortcut: 'fn+space' });
const ready = await helper.ready;
await new Promise((settle) => setTimeout(settle, 300)); // its signal watchers follow "ready"
const ended = await helper.stop();
console.log(JSON.stringify({ binary: defaultBinaryPath, ready, ended }));
process.exit(ready.type === 'ready' && ended.code === 0 ? 0 : 1);
HOST
node host.mjs || fail "the installed package did not start and stop its helper"
echo "ok: installed offline, started without binaryPath, ready, stopped with status 0"
