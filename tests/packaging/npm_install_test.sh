#!/usr/bin/env bash
# The path a host author walks: installs the packed npm package into a new
# project with no registry; then, under each Node.js given (default: node), a
# CommonJS host that requires it and an ES module host that imports it each
# start the helper without a binaryPath, wait for "ready", and stop it with
# status 0.
#
# A Windows node.exe is run under Wine (tests/windows/wine.sh), in a prefix
# that says Windows 10, and there npm itself, run by that node.exe, installs
# the package (the one npm of tests/packaging/fetch-node18.sh). Its hosts use
# the x64 .exe with fnKey 'rightctrl'; each also gets a "toggle" for a Right
# Ctrl that the project's key tool (winkeys.exe, QEN_WINKEYS, default the x64
# build's) sends with SendInput, and a diagnosis from diagnose(). Every
# Windows program starts through `winkeys --run`, a live Windows parent whose
# status Wine passes on faithfully, with its output in a file: Node.js for
# Windows cannot write into a Linux pipe under Wine. Then the client's own
# tests run under that node.exe, against the installed .exe, with the key tool.
#   tests/packaging/npm_install_test.sh dist/qen-hotkey-helper-VERSION.tgz [NODE...]
set -euo pipefail
tarball=$(realpath "${1:?the packed tarball}")
shift
here=$(cd "$(dirname "$0")" && pwd)
source "$here/helper_checks.sh"
nodes=()
for node in "${@:-node}"; do
  # A Windows node.exe is a file for Wine, not a program of this machine's.
  if [[ $node == *.exe ]]; then path=$node && [ -f "$path" ]; else path=$(command -v "$node"); fi ||
    fail "no Node.js at $node"
  nodes+=("$(realpath "$path")")
done
project=$(mktemp -d)
trap 'rm -rf "$project"' EXIT
cd "$project"
cat >run.cjs <<'HOST'
// What both hosts do with the client their module system loaded; on Windows,
// with a Right Ctrl in Fn's part, a toggle sent by the key tool and a diagnosis.
const { spawnSync } = require('node:child_process');
const { realpathSync } = require('node:fs');

const onWindows = process.platform === 'win32';
const within = (ms, promise, what) => Promise.race([promise, new Promise((_, reject) =>
  setTimeout(() => reject(new Error(`no ${what} within ${ms} ms`)), ms))]);

module.exports = async function run({ defaultBinaryPath, diagnose, startHotkeyHelper }, loadedBy) {
  const inside = realpathSync('node_modules/qen-hotkey-helper');
  if (!defaultBinaryPath.startsWith(inside)) {
    console.error(`the helper is not the package's own: ${defaultBinaryPath}`);
    process.exit(1);
  }
  const seen = [];
  const helper = startHotkeyHelper(onWindows ? { shortcut: 'fn', fnKey: 'rightctrl' } : { shortcut: 'fn+space' });
  const ready = await helper.ready;
  seen.push(ready);
  if (onWindows) {
    const toggle = new Promise((resolve) => helper.once('toggle', resolve));
    const sent = spawnSync(process.env.QEN_WINKEYS, ['press rightctrl', 'release rightctrl'], { encoding: 'utf8' });
    if (sent.status !== 0) throw new Error(`the key tool failed: ${sent.stdout}${sent.stderr}`);
    seen.push(await within(10000, toggle, 'toggle for Right Ctrl'));
    seen.push(await diagnose({ fnKey: 'rightctrl' }));
  }
  await new Promise((settle) => setTimeout(settle, 300)); // its signal watchers follow "ready"
  const ended = await helper.stop();
  seen.push({ stopped: ended });
  for (const line of seen) console.log(JSON.stringify(line));
  console.log(JSON.stringify({ node: process.version, platform: process.platform, loadedBy, binary: defaultBinaryPath }));
  const [toggle, diagnosis] = seen.slice(1);
  const windowsSaw = !onWindows || (ready.fnKey === 'rightctrl' && ready.accessibilityTrusted
    && toggle?.type === 'toggle' && diagnosis?.type === 'diagnosis' && diagnosis.platform === 'windows');
  process.exit(ready.type === 'ready' && windowsSaw && ended.code === 0 && !ended.killed ? 0 : 1);
};
HOST
echo "require('./run.cjs')(require('qen-hotkey-helper'), 'require');" >host.cjs
cat >host.mjs <<'HOST'
import * as client from 'qen-hotkey-helper';
import run from './run.cjs';

await run(client, 'import');
HOST

install_for_linux() {
  [ -d node_modules ] && return 0
  npm init -y >/dev/null
  npm install --offline --no-audit --no-fund --silent "$tarball" || fail "npm install --offline failed"
}

# Node.js for Windows, under Wine.
wine=$here/../windows/wine.sh
winkeys=${QEN_WINKEYS:-$here/../../build-windows/x64/tools/winkeys/winkeys.exe}
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
# A new prefix says Windows 7, where Node.js 18 refuses to start.
prefix_as_windows_10() { "$wine" winecfg -v win10 </dev/null >/dev/null 2>&1 || fail "winecfg -v win10 failed"; }
# Runs a Windows program under Wine through winkeys --run, its output into $1;
# for ten minutes at most, so that a hang cannot hold the run.
run_windows() {
  local out=$1
  shift
  timeout 600 env QEN_WINKEYS="$(windows_path "$winkeys")" "$wine" "$winkeys" --run "$@" </dev/null >"$out" 2>&1
}
install_for_windows() {
  local node=$1 npm
  [ -f "$winkeys" ] || fail "no key tool at $winkeys (scripts/build-windows.sh x64 builds it)"
  prefix_as_windows_10
  npm=$("$here/fetch-node18.sh" npm)
  rm -rf node_modules package.json package-lock.json
  echo '{"name":"windows-host","version":"1.0.0","private":true}' >package.json
  run_windows npm.out "$(windows_path "$node")" "$(windows_path "$npm")" install --offline --no-audit --no-fund \
    --cache "$(windows_path "$project/npm-cache")" "$(windows_path "$tarball")" ||
    fail "npm install --offline under $(basename "$node") failed: $(cat npm.out)"
  [ -f node_modules/qen-hotkey-helper/bin/win32-x64/qen-hotkey-helper.exe ] ||
    fail "the installed package has no bin/win32-x64/qen-hotkey-helper.exe"
}

for node in "${nodes[@]}"; do
  if [[ $node == *.exe ]]; then
    install_for_windows "$node"
    for host in host.cjs host.mjs; do
      run_windows "$host.out" "$(windows_path "$node")" "$host" ||
        fail "$host under $(basename "$node") (Wine) did not start, toggle, diagnose and stop the installed helper: $(cat "$host.out")"
      sed "s/^/$host: /" "$host.out"
    done
    echo "ok: Node.js for Windows under Wine: installed offline by its own npm, required and imported," \
      "ready, a toggle for Right Ctrl, a diagnosis, stopped with 0"
    helper=$(realpath node_modules/qen-hotkey-helper/bin/win32-x64/qen-hotkey-helper.exe)
    status=0
    QEN_HELPER=$(windows_path "$helper") run_windows client-tests.out "$(windows_path "$node")" --test \
      "$(windows_path "$(realpath "$here/../../clients/node/test")")" || status=$?
    grep -E '^# (tests|pass|fail|skipped) |^not ok|# SKIP' client-tests.out || true
    [ "$status" -eq 0 ] || fail "the client's tests under $(basename "$node") (Wine) failed: $(cat client-tests.out)"
    echo "ok: the Node.js client's tests under Node.js for Windows, against the installed .exe"
    continue
  fi
  install_for_linux
  for host in host.cjs host.mjs; do
    "$node" "$host" || fail "$host under $node ($("$node" --version)) did not start and stop the installed helper"
  done
  echo "ok: Node.js $("$node" --version): required and imported, started without binaryPath, ready, stopped with 0"
done
