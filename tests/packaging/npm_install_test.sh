#!/usr/bin/env bash
# The path a host author walks: installs the packed npm package into a new
# project with no registry; then, under each Node.js given (default: node), a
# CommonJS host that requires it and an ES module host that imports it each
# start the helper without a binaryPath, wait for "ready", and stop it with
# status 0.
#   tests/packaging/npm_install_test.sh dist/qen-hotkey-helper-VERSION.tgz [NODE...]
set -euo pipefail
tarball=$(realpath "${1:?the packed tarball}")
shift
source "$(dirname "$0")/helper_checks.sh"
nodes=()
for node in "${@:-node}"; do
  path=$(command -v "$node") || fail "no Node.js at $node"
  nodes+=("$(realpath "$path")")
done
project=$(mktemp -d)
trap 'rm -rf "$project"' EXIT
cd "$project"
npm init -y >/dev/null
npm install --offline --no-audit --no-fund --silent "$tarball" || fail "npm install --offline failed"
cat >run.cjs <<'HOST'
// What both hosts do with the client their module system loaded.
const { realpathSync } = require('node:fs');

module.exports = async function run({ defaultBinaryPath, startHotkeyHelper }, loadedBy) {
  const inside = realpathSync('node_modules/qen-hotkey-helper');
  if (!defaultBinaryPath.startsWith(inside)) {
    console.error(`the helper is not the package's own: ${defaultBinaryPath}`);
    process.exit(1);
  }
  const helper = startHotkeyHelper({ shortcut: 'fn+space' });
  const ready = await helper.ready;
  await new Promise((settle) => setTimeout(settle, 300)); // its signal watchers follow "ready"
  const ended = await helper.stop();
  console.log(JSON.stringify({ node: process.version, loadedBy, binary: defaultBinaryPath, ready, ended }));
  process.exit(ready.type === 'ready' && ended.code === 0 ? 0 : 1);
};
HOST
echo "require('./run.cjs')(require('qen-hotkey-helper'), 'require');" >host.cjs
cat >host.mjs <<'HOST'
import * as client from 'qen-hotkey-helper';
import run from './run.cjs';

await run(client, 'import');
HOST
for node in "${nodes[@]}"; do
  for host in host.cjs host.mjs; do
    "$node" "$host" || fail "$host under $node ($("$node" --version)) did not start and stop the installed helper"
  done
  echo "ok: Node.js $("$node" --version): required and imported, started without binaryPath, ready, stopped with 0"
done
