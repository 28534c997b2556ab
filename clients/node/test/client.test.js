// The client against the real built helper (and fake ones for what it cannot show yet).
import { spawn, spawnSync } from 'node:child_process';
import { EventEmitter, once } from 'node:events';
import {
  accessSync, chmodSync, copyFileSync, mkdirSync, mkdtempSync, readFileSync, rmSync, statSync, writeFileSync,
  constants,
} from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { after, test } from 'node:test';
import assert from 'node:assert/strict';

import * as client from '../index.js';

const {
  HelperStartError, binaryCandidates, createLineSplitter, defaultBinaryPath, diagnose, outsideAsar,
  packagedBinaryPath, startHotkeyHelper,
} = client;

const repo = resolve(import.meta.dirname ?? new URL('.', import.meta.url).pathname, '../../..');
const helperPath = process.env.QEN_HELPER ?? defaultBinaryPath;
const runner = join(repo, 'tools/vkbd/run-with-input.sh');
const vkbdPath = process.env.QEN_VKBD ?? join(repo, 'build/tools/vkbd/vkbd');
const work = mkdtempSync(join(tmpdir(), 'qen-node-'));

const isRoot = process.getuid?.() === 0;
const canUseNamespaces = isRoot && spawnSync('unshare', ['--mount', 'true']).status === 0;
const canUseVirtualKeyboards = canUseNamespaces && executable(vkbdPath) && executable('/dev/fuse', constants.R_OK);

function executable(path, mode = constants.X_OK) {
  try {
    accessSync(path, mode);
    return true;
  } catch {
    return false;
  }
}

function script(name, body) {
  const path = join(work, name);
  writeFileSync(path, body);
  chmodSync(path, 0o755);
  return path;
}

// Runs the helper with the given directory (or none) as its /dev/input.
// Without what points at a desktop session: no X server stands in for the keyboards.
function helperWithInput(input) {
  return script(`helper-${Math.random().toString(36).slice(2)}`,
    `#!/bin/sh\nexec env -u DISPLAY -u XAUTHORITY -u XDG_SESSION_TYPE ${runner} ${input} ${helperPath} "$@"\n`);
}

// The helper installs its signal watchers just after its start-up lines; a
// signal before that ends it by the signal, not with status 0.
const settle = () => new Promise((r) => setTimeout(r, 100));

// Unlike events.once, not rejected by an 'error' event meanwhile.
const nextEvent = (emitter, name) => new Promise((resolveEvent) => emitter.once(name, resolveEvent));

// Every helper a test starts is stopped at the end, passed or failed.
const started = [];
const start = (options) => {
  const helper = startHotkeyHelper(options);
  started.push(helper);
  return helper;
};
after(async () => {
  await Promise.all(started.map((helper) => helper.stop({ graceMs: 500 })));
  rmSync(work, { recursive: true, force: true });
});

test('an unsupported shortcut or Fn key rejects ready with the helper\'s message and status 1', async () => {
  for (const [options, message] of [
    [{ shortcut: 'cmd+k' }, 'Unsupported native shortcut: cmd+k. This helper currently supports Fn and Fn+Space.'],
    [{ shortcut: 'fn', fnKey: 'CapsLock' },
      'Unsupported Fn key: capslock. Use fn, rightctrl, rightalt, rightmeta or f13 to f20.'],
  ]) {
    const helper = start({ ...options, binaryPath: helperPath });
    await assert.rejects(helper.ready, (error) => {
      assert.ok(error instanceof HelperStartError);
      assert.equal(error.message, message);
      assert.equal(error.exitCode, 1);
      return true;
    });
  }
});

test('a missing binary is an error that names the path it tried', async () => {
  const missing = join(work, 'no-such-helper');
  const helper = start({ shortcut: 'fn', binaryPath: missing });
  await assert.rejects(helper.ready, { message: `qen-hotkey-helper not found at ${missing} (from binaryPath)` });
});

test('QEN_HOTKEY_HELPER_PATH is where the helper is looked for; binaryPath wins over it', async () => {
  const fromEnvironment = join(work, 'helper-named-by-the-environment');
  const notFound = { message: `qen-hotkey-helper not found at ${fromEnvironment} (from QEN_HOTKEY_HELPER_PATH)` };
  const saved = process.env.QEN_HOTKEY_HELPER_PATH;
  process.env.QEN_HOTKEY_HELPER_PATH = fromEnvironment;
  try {
    await assert.rejects(start({ shortcut: 'fn' }).ready, notFound);
    await assert.rejects(diagnose(), notFound);
    assert.equal((await start({ shortcut: 'fn', binaryPath: helperPath }).ready).shortcut, 'Fn');
  } finally {
    if (saved === undefined) delete process.env.QEN_HOTKEY_HELPER_PATH;
    else process.env.QEN_HOTKEY_HELPER_PATH = saved;
  }
});

test('require and import load one module, with every name', () => {
  const required = createRequire(import.meta.url)('../index.cjs');
  assert.deepEqual(Object.keys(client).sort(), Object.keys(required).sort());
  for (const name of Object.keys(required)) assert.equal(client[name], required[name], name);
});

// A copy of this package whose binary lost its execute bit, as some archive
// tools leave it.
async function packageWithoutExecuteBit() {
  const folder = mkdtempSync(join(work, 'package-'));
  for (const file of ['package.json', 'index.cjs', 'index.js']) {
    copyFileSync(resolve(repo, 'clients/node', file), join(folder, file));
  }
  const copy = join(folder, 'index.js');
  const binary = (await import(copy)).packagedBinaryPath();
  mkdirSync(dirname(binary), { recursive: true });
  copyFileSync(helperPath, binary);
  chmodSync(binary, 0o644);
  return { folder, copy, binary };
}

const mode = (path) => statSync(path).mode & 0o777;

test('a binary without its execute bit is restored, or named as such', async (t) => {
  await t.test('the package\'s own binary gets mode 0755 back', async () => {
    const { copy, binary } = await packageWithoutExecuteBit();
    const { startHotkeyHelper: startCopy } = await import(copy);
    const helper = startCopy({ shortcut: 'fn' });
    started.push(helper);
    assert.equal((await helper.ready).shortcut, 'Fn');
    assert.equal(mode(binary), 0o755);
  });
  await t.test('where it cannot be restored (a read-only mount), ready says so',
    { skip: !canUseNamespaces && 'needs root and mount namespaces for a read-only mount' },
    async () => {
      const { folder, copy, binary } = await packageWithoutExecuteBit();
      const host = `import(${JSON.stringify(copy)}).then((c) => c.startHotkeyHelper({ shortcut: 'fn' }).ready)
        .then(() => console.log('ready'), (error) => console.log(error.message)).then(() => process.exit());`;
      const run = spawnSync('unshare', ['--mount', '--propagation', 'private', 'sh', '-ec',
        'mount --bind "$1" "$1"; mount -o remount,bind,ro "$1"; exec "$2" -e "$3"',
        'read-only', folder, process.execPath, host], { encoding: 'utf8' });
      assert.equal(run.stdout, `${binary} cannot run: its execute bit is missing (mode 0644), ` +
        'and restoring it failed (EROFS); run chmod 755 on it\n', run.stderr);
      assert.equal(mode(binary), 0o644);
    });
  await t.test('a binaryPath is named, and left as it is', async () => {
    const { binary } = await packageWithoutExecuteBit();
    await assert.rejects(start({ shortcut: 'fn', binaryPath: binary }).ready,
      { message: `${binary} cannot run: its execute bit is missing (mode 0644); run chmod 755 on it` });
    assert.equal(mode(binary), 0o644);
  });
});

test('the packaged binary is chosen by platform and architecture, and never run from app.asar', () => {
  const bin = resolve(repo, 'clients/node/bin');
  for (const [platform, arch, folder] of [
    ['linux', 'x64', 'linux-x64'], ['linux', 'arm64', 'linux-arm64'],
    ['darwin', 'x64', 'darwin-universal'], ['darwin', 'arm64', 'darwin-universal'],
  ]) {
    assert.equal(packagedBinaryPath(platform, arch), join(bin, folder, 'qen-hotkey-helper'));
  }
  for (const [path, mapped] of [
    ['/A/Res/app.asar/node_modules/q/bin/h', '/A/Res/app.asar.unpacked/node_modules/q/bin/h'],
    ['C:\\A\\app.asar\\q\\h', 'C:\\A\\app.asar.unpacked\\q\\h'],
    ['/A/app.asar.unpacked/q/h', '/A/app.asar.unpacked/q/h'],
    ['/A/my-app.asar/q/h', '/A/my-app.asar/q/h'],
    ['/A/app.asarx/q/h', '/A/app.asarx/q/h'],
  ]) {
    assert.equal(outsideAsar(path), mapped);
  }
  assert.deepEqual(binaryCandidates, [packagedBinaryPath(), resolve(repo, 'build/qen-hotkey-helper')]);
});

test('an untrusted start emits ready, then permission; stop resolves with status 0',
  { skip: !canUseNamespaces && 'needs root and mount namespaces for a machine without keyboards' },
  async () => {
    const helper = start({ shortcut: 'fn+space', binaryPath: helperWithInput('--none') });
    const seen = [];
    helper.on('ready', () => seen.push('ready'));
    const permission = nextEvent(helper, 'permission').then((event) => { seen.push('permission'); return event; });
    const ready = await helper.ready;
    assert.deepEqual(ready, { type: 'ready', shortcut: 'Fn+Space', accessibilityTrusted: false });
    assert.equal((await permission).message, 'Accessibility permission is required for global Fn shortcuts.');
    assert.deepEqual(seen, ['ready', 'permission']);
    await settle();
    assert.deepEqual(await helper.stop(), { code: 0, signal: null, killed: false });
  });

test('a helper killed from outside is reported and, with restart, comes back', async () => {
  const helper = start({
    shortcut: 'fn', binaryPath: helperPath, restart: { initialDelayMs: 10, maxRestarts: 2 },
  });
  const errors = [];
  helper.on('error', (error) => errors.push(error));
  await helper.ready;
  const exit = nextEvent(helper, 'exit');
  const readyAgain = nextEvent(helper, 'ready');
  process.kill(helper.pid, 'SIGKILL');
  assert.deepEqual(await exit, { code: null, signal: 'SIGKILL', expected: false });
  assert.equal((await readyAgain).shortcut, 'Fn');
  assert.match(errors[0].message, /ended unexpectedly \(SIGKILL\)/);
  await settle();
  assert.equal((await helper.stop()).code, 0);
});

test('without restart a killed helper stays stopped', async () => {
  const helper = start({ shortcut: 'fn', binaryPath: helperPath });
  await helper.ready;
  const exit = nextEvent(helper, 'exit');
  process.kill(helper.pid, 'SIGKILL');
  assert.equal((await exit).signal, 'SIGKILL');
  await new Promise((r) => setTimeout(r, 100));
  assert.equal(helper.listenerCount('ready'), 0);
  assert.deepEqual(await helper.stop(), { code: null, signal: 'SIGKILL', killed: false });
});

test('a helper that ignores SIGTERM is killed after the grace period, and that is reported', async () => {
  const stubborn = script('stubborn.js', `#!/usr/bin/env node
process.on('SIGTERM', () => {});
process.stdout.write('{"type":"ready","shortcut":"Fn","accessibilityTrusted":true}\\n');
setInterval(() => {}, 1000);
`);
  const helper = start({ shortcut: 'fn', binaryPath: stubborn });
  await helper.ready;
  assert.deepEqual(await helper.stop({ graceMs: 200 }), { code: null, signal: 'SIGKILL', killed: true });
});

test('lines parse whatever the chunking; bad lines are errors, never throws', async () => {
  const fake = script('chunky.js', `#!/usr/bin/env node
const pieces = ['{"type":"rea', 'dy","shortcut":"Fn","accessibilityTrusted":true}\\n{"type":"toggle",',
  '"shortcut":"Fn","source":"fn"}\\n{"type":"toggle","shortcut":"Fn","source":"fn"}\\nnot json\\n',
  '{"type":"surprise"}\\n{"type":"tog', 'gle","shortcut":"Fn","source":"fn"}\\n'];
let i = 0;
const next = () => { if (i < pieces.length) { process.stdout.write(pieces[i++]); setTimeout(next, 20); } };
next();
process.on('SIGTERM', () => process.exit(0));
setInterval(() => {}, 1000);
`);
  const helper = start({ shortcut: 'fn', binaryPath: fake });
  const toggles = [];
  const errors = [];
  helper.on('toggle', (event) => toggles.push(event));
  helper.on('error', (error) => errors.push(error.message));
  await helper.ready;
  while (toggles.length < 3) await nextEvent(helper, 'toggle');
  assert.deepEqual(toggles, Array(3).fill({ type: 'toggle', shortcut: 'Fn', source: 'fn' }));
  assert.deepEqual(errors, ['helper wrote a line that is not JSON: not json',
    'helper wrote an unknown event: {"type":"surprise"}']);
  assert.equal((await helper.stop()).code, 0);
});

test('diagnose resolves with the diagnosis, and rejects whenever the helper ends otherwise', async () => {
  if (canUseNamespaces) {
    const diagnosis = await diagnose({ binaryPath: helperWithInput('--none') });
    assert.equal(diagnosis.type, 'diagnosis');
    assert.equal(diagnosis.platform, 'linux');
    assert.deepEqual(diagnosis.devices, []);
    assert.deepEqual(diagnosis.problems.map((problem) => problem.code), ['no-input-devices']);
    assert.deepEqual(diagnosis.x11,
      { display: false, connected: false, xinputVersion: null, xwayland: false, used: false });
    assert.equal(diagnosis.fnKey, undefined);
    const named = await diagnose({ binaryPath: helperWithInput('--none'), fnKey: 'RightSuper' });
    assert.equal(named.fnKey, 'rightmeta');
  }
  const fake = (name, body) => script(name, `#!/bin/sh\n[ "$*" = --diagnose ] || exit 3\n${body}\n`);
  const ready = '{"type":"ready","shortcut":"Fn","accessibilityTrusted":true}';
  for (const [body, message, exitCode] of [
    // a helper from before --diagnose
    ['echo \'{"type":"error","message":"Missing --shortcut argument."}\'; exit 1',
      'failed (status 1): Missing --shortcut argument.', 1],
    ['kill -KILL $$', 'ended with SIGKILL without a diagnosis line', null],
    [`echo '${ready}'`, `ended with status 0 without a diagnosis line; it wrote: ${ready}`, 0],
  ]) {
    const binary = fake(`fails-${exitCode}`, body);
    await assert.rejects(diagnose({ binaryPath: binary }), (error) => {
      assert.ok(error instanceof HelperStartError);
      assert.equal(error.message, `${binary} --diagnose ${message}`);
      assert.equal(error.exitCode, exitCode);
      return true;
    });
  }
  const missing = join(work, 'no-helper-to-diagnose');
  await assert.rejects(diagnose({ binaryPath: missing }), { message: `qen-hotkey-helper not found at ${missing} (from binaryPath)` });
});

test('a helper that the loader refuses: ready and diagnose reject with what the system said', async () => {
  // A copy that needs a libq.so.6 in place of libc.so.6, which no system has.
  const bytes = readFileSync(helperPath);
  const needed = Buffer.from('libc.so.6\0');
  assert.ok(bytes.includes(needed), `${helperPath} names no libc.so.6`);
  for (let at = bytes.indexOf(needed); at >= 0; at = bytes.indexOf(needed, at + 1)) bytes.write('libq', at);
  const refused = join(work, 'refused-by-the-loader');
  writeFileSync(refused, bytes, { mode: 0o755 });
  const systemSaid = `; the system said: ${refused}: error while loading shared libraries: libq.so.6: `
    + 'cannot open shared object file: No such file or directory';
  const helper = start({ shortcut: 'fn', binaryPath: refused });
  await assert.rejects(helper.ready, (error) => {
    assert.ok(error instanceof HelperStartError);
    assert.equal(error.message, `helper ended before it was ready (status 127)${systemSaid}`);
    assert.equal(error.exitCode, 127);
    return true;
  });
  await assert.rejects(diagnose({ binaryPath: refused }), {
    message: `${refused} --diagnose ended with status 127 without a diagnosis line${systemSaid}`,
  });
});

// A vkbd with one keyboard, event0: `send` drives it, `input` is its mount.
async function withVirtualKeyboard(name, body) {
  const input = join(work, `${name}-input`);
  const control = join(work, `${name}-control`);
  mkdirSync(input);
  const vkbd = spawn(vkbdPath, [input, control], { stdio: ['ignore', 'pipe', 'ignore'] });
  await once(vkbd.stdout, 'data');
  const send = (...commands) => assert.equal(spawnSync(vkbdPath, ['--send', control, ...commands]).status, 0);
  try {
    send('add event0');
    await body({ input, send });
  } finally {
    vkbd.kill('SIGTERM');
    await once(vkbd, 'exit');
  }
}

test('Fn+Space on a virtual keyboard arrives as a toggle, and with reportRelease its release',
  { skip: !canUseVirtualKeyboards && 'needs root, /dev/fuse and a built vkbd' },
  () => withVirtualKeyboard('toggle', async ({ input, send }) => {
    const helper = start({ shortcut: 'fn+space', binaryPath: helperWithInput(input), reportRelease: true });
    assert.equal((await helper.ready).accessibilityTrusted, true);
    const toggle = nextEvent(helper, 'toggle');
    const release = nextEvent(helper, 'release');
    send('press event0 fn', 'press event0 space');
    assert.deepEqual(await toggle, { type: 'toggle', shortcut: 'Fn+Space', source: 'fn+space' });
    send('press event0 a', 'release event0 space');
    assert.deepEqual(await release, { type: 'release', shortcut: 'Fn+Space', source: 'fn+space', chord: true });
    assert.equal((await helper.stop()).code, 0);
  }));

test('the README shows the Python host example as it is, and it works on a virtual keyboard', async (t) => {
  const example = resolve(repo, 'clients/python/hotkey_host.py');
  const source = readFileSync(example, 'utf8');
  assert.ok(readFileSync(resolve(repo, 'README.md'), 'utf8').includes('```python\n' + source + '```\n'),
    'README.md does not show clients/python/hotkey_host.py as it is now');
  if (!canUseVirtualKeyboards) {
    t.skip('needs root, /dev/fuse and a built vkbd');
    return;
  }
  await withVirtualKeyboard('python', async ({ input, send }) => {
    const host = spawn(runner, [input, 'python3', example, helperPath, 'fn+space'],
      { stdio: ['ignore', 'pipe', 'pipe'] });
    const lines = [];
    const seen = new EventEmitter();
    host.stdout.setEncoding('utf8');
    host.stdout.on('data', createLineSplitter((line) => {
      lines.push(line);
      seen.emit('line');
    }));
    let errors = '';
    host.stderr.on('data', (chunk) => { errors += chunk; });
    let closed = false;
    const ended = once(host, 'close').finally(() => { closed = true; });
    const waitFor = async (text) => {
      while (!lines.includes(text)) {
        assert.ok(!closed, `the example ended without writing "${text}": ${lines.join(' | ')} ${errors}`);
        await Promise.race([once(seen, 'line'), ended]);
      }
    };
    await waitFor('ready: Fn+Space keyboard access: True');
    send('press event0 fn', 'press event0 space');
    await waitFor('toggle: Fn+Space');
    await settle();
    host.kill('SIGTERM');
    assert.deepEqual(await ended, [0, null]);
    assert.deepEqual(lines, ['ready: Fn+Space keyboard access: True', 'toggle: Fn+Space', 'helper stopped']);
    assert.equal(errors, '');
  });
});

test('when the host process exits, the helper gets SIGTERM', async () => {
  const marker = join(work, 'terminated');
  const fake = script('marks-sigterm.js', `#!/usr/bin/env node
const { writeFileSync } = require('node:fs');
process.on('SIGTERM', () => { writeFileSync(${JSON.stringify(marker)}, 'yes'); process.exit(0); });
process.stdout.write('{"type":"ready","shortcut":"Fn","accessibilityTrusted":true}\\n');
setInterval(() => {}, 1000);
`);
  writeFileSync(join(work, 'package.json'), '{"type":"commonjs"}');
  const host = join(work, 'host.mjs');
  writeFileSync(host, `import { startHotkeyHelper } from ${JSON.stringify(resolve(repo, 'clients/node/index.js'))};
const helper = startHotkeyHelper({ shortcut: 'fn', binaryPath: ${JSON.stringify(fake)} });
await helper.ready;
process.exit(0);
`);
  assert.equal(spawnSync(process.execPath, [host]).status, 0);
  for (let i = 0; i < 100 && !executable(marker, constants.R_OK); i++) await new Promise((r) => setTimeout(r, 20));
  assert.ok(executable(marker, constants.R_OK), 'the helper never saw SIGTERM');
});

test('npm pack ships only what a user needs',
  { skip: spawnSync('npm', ['--version']).status !== 0 && 'npm is not installed' },
  () => {
    const packed = spawnSync('npm', ['pack', '--dry-run', '--json'], { cwd: resolve(repo, 'clients/node') });
    assert.equal(packed.status, 0, String(packed.stderr));
    const files = JSON.parse(packed.stdout)[0].files.map((file) => file.path).sort();
    assert.deepEqual(files, ['README.md', 'index.cjs', 'index.d.cts', 'index.d.ts', 'index.js', 'package.json']);
  });
