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
import { fileURLToPath, pathToFileURL } from 'node:url';
import { after, test } from 'node:test';
import assert from 'node:assert/strict';

import * as client from '../index.js';

const {
  HelperStartError, binaryCandidates, createLineSplitter, defaultBinaryPath, diagnose, outsideAsar,
  packagedBinaryPath, startHotkeyHelper,
} = client;

const repo = resolve(import.meta.dirname ?? fileURLToPath(new URL('.', import.meta.url)), '../../..');
const helperPath = process.env.QEN_HELPER ?? defaultBinaryPath;
const runner = join(repo, 'tools/vkbd/run-with-input.sh');
// The project's Windows key tool (SendInput), where the helper runs on Windows.
const winkeysPath = process.env.QEN_WINKEYS;
const vkbdPath = process.env.QEN_VKBD ?? join(repo, 'build/tools/vkbd/vkbd');
const work = mkdtempSync(join(tmpdir(), 'qen-node-'));

const onWindows = process.platform === 'win32';
const isRoot = process.getuid?.() === 0;
const canUseNamespaces = isRoot && spawnSync('unshare', ['--mount', 'true']).status === 0;
const canUseVirtualKeyboards = canUseNamespaces && executable(vkbdPath) && executable('/dev/fuse', constants.R_OK);
const canSendWindowsKeys = onWindows && Boolean(winkeysPath) && executable(winkeysPath, constants.R_OK);
const fakesNeedPosix = onWindows && 'fake helpers are shell and Node.js scripts, which Windows cannot run as a binary';

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
  const binary = (await import(pathToFileURL(copy))).packagedBinaryPath();
  mkdirSync(dirname(binary), { recursive: true });
  copyFileSync(helperPath, binary);
  chmodSync(binary, 0o644);
  return { folder, copy, binary };
}

const mode = (path) => statSync(path).mode & 0o777;

test('a binary without its execute bit is restored, or named as such', { skip: onWindows && 'no execute bit on Windows' }, async (t) => {
  await t.test('the package\'s own binary gets mode 0755 back', async () => {
    const { copy, binary } = await packageWithoutExecuteBit();
    const { startHotkeyHelper: startCopy } = await import(pathToFileURL(copy));
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

test('on Windows, where no execute bit exists, the package\'s own binary runs as it is', { skip: !onWindows && 'Windows only' }, async () => {
  const { copy, binary } = await packageWithoutExecuteBit();
  chmodSync(binary, 0o444); // read-only: a repair would make it writable
  try {
    const { startHotkeyHelper: startCopy } = await import(pathToFileURL(copy));
    const helper = startCopy({ shortcut: 'fn' });
    started.push(helper);
    assert.equal((await helper.ready).shortcut, 'Fn');
    assert.equal(mode(binary), 0o444);
    assert.equal((await helper.stop()).code, 0);
  } finally {
    chmodSync(binary, 0o666);
  }
});

test('the packaged binary is chosen by platform and architecture, and never run from app.asar', () => {
  const bin = resolve(repo, 'clients/node/bin');
  for (const [platform, arch, file] of [
    ['linux', 'x64', 'linux-x64/qen-hotkey-helper'], ['linux', 'arm64', 'linux-arm64/qen-hotkey-helper'],
    ['darwin', 'x64', 'darwin-universal/qen-hotkey-helper'], ['darwin', 'arm64', 'darwin-universal/qen-hotkey-helper'],
    ['win32', 'x64', 'win32-x64/qen-hotkey-helper.exe'], ['win32', 'arm64', 'win32-arm64/qen-hotkey-helper.exe'],
  ]) {
    assert.equal(packagedBinaryPath(platform, arch), join(bin, file));
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
  assert.deepEqual(binaryCandidates,
    [packagedBinaryPath(), resolve(repo, 'build', onWindows ? 'qen-hotkey-helper.exe' : 'qen-hotkey-helper')]);
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

// On Windows process.kill() is TerminateProcess with status 1, a signal only to the killer.
const killedFromOutside = onWindows ? { code: 1, signal: null } : { code: null, signal: 'SIGKILL' };

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
  assert.deepEqual(await exit, { ...killedFromOutside, expected: false });
  assert.equal((await readyAgain).shortcut, 'Fn');
  assert.match(errors[0].message, new RegExp(`ended unexpectedly \\(${killedFromOutside.signal ?? 'status 1'}\\)`));
  await settle();
  assert.equal((await helper.stop()).code, 0);
});

test('without restart a killed helper stays stopped', async () => {
  const helper = start({ shortcut: 'fn', binaryPath: helperPath });
  await helper.ready;
  const exit = nextEvent(helper, 'exit');
  process.kill(helper.pid, 'SIGKILL');
  assert.deepEqual(await exit, { ...killedFromOutside, expected: false });
  await new Promise((r) => setTimeout(r, 100));
  assert.equal(helper.listenerCount('ready'), 0);
  assert.deepEqual(await helper.stop(), { ...killedFromOutside, killed: false });
});

// A host run as a child Node.js that takes this machine for Windows, for the
// client's Windows branch where no Windows is at hand.
function runAsWindowsHost(body) {
  const host = `Object.defineProperty(process, 'platform', { value: 'win32' });
const client = require(${JSON.stringify(resolve(repo, 'clients/node/index.cjs'))});
(async () => { ${body} })().then(() => process.exit(0), (error) => { console.error(error); process.exit(1); });`;
  return spawnSync(process.execPath, ['-e', host], { encoding: 'utf8' });
}

test('on Windows, stop ends the helper\'s standard input, waits for it, then kills it and says so',
  { skip: onWindows && 'taking Linux for Windows; the real helper shows it on Windows' },
  () => {
    const ready = '{"type":"ready","shortcut":"Fn","accessibilityTrusted":true}';
    // As the Windows helper: deaf to SIGTERM, ended by the end of its standard input.
    const obeys = script('stops-at-end-of-input', `#!/bin/sh\ntrap '' TERM\necho '${ready}'\ncat >/dev/null\nexit 0\n`);
    const deaf = script('ignores-end-of-input', `#!/bin/sh\ntrap '' TERM\necho '${ready}'\nexec sleep 30\n`);
    const run = runAsWindowsHost(`
      for (const binaryPath of ${JSON.stringify([obeys, deaf])}) {
        const helper = client.startHotkeyHelper({ shortcut: 'fn', binaryPath });
        await helper.ready;
        console.log(JSON.stringify(await helper.stop({ graceMs: 500 })));
      }`);
    assert.equal(run.stderr, '');
    assert.deepEqual(run.stdout.trim().split('\n').map((line) => JSON.parse(line)), [
      { code: 0, signal: null, killed: false },
      { code: null, signal: 'SIGKILL', killed: true },
    ]);
  });

test('a helper that ignores SIGTERM is killed after the grace period, and that is reported', { skip: fakesNeedPosix }, async () => {
  const stubborn = script('stubborn.js', `#!/usr/bin/env node
process.on('SIGTERM', () => {});
process.stdout.write('{"type":"ready","shortcut":"Fn","accessibilityTrusted":true}\\n');
setInterval(() => {}, 1000);
`);
  const helper = start({ shortcut: 'fn', binaryPath: stubborn });
  await helper.ready;
  assert.deepEqual(await helper.stop({ graceMs: 200 }), { code: null, signal: 'SIGKILL', killed: true });
});

test('lines parse whatever the chunking; bad lines are errors, never throws', { skip: fakesNeedPosix }, async () => {
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

test('diagnose resolves with the diagnosis, and rejects whenever the helper ends otherwise', async (t) => {
  if (onWindows) {
    // Windows never sees Fn: without a key in its part nothing can toggle.
    const codes = (diagnosis) => diagnosis.problems.map((problem) => problem.code);
    const diagnosis = await diagnose({ binaryPath: helperPath });
    assert.equal(diagnosis.platform, 'windows');
    assert.ok(codes(diagnosis).includes('no-fn-key'), JSON.stringify(diagnosis));
    const named = await diagnose({ binaryPath: helperPath, fnKey: 'RightControl' });
    assert.equal(named.fnKey, 'rightctrl');
    assert.ok(!codes(named).includes('no-fn-key'), JSON.stringify(named));
  }
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
  await t.test('a helper that ends otherwise', { skip: fakesNeedPosix }, async () => {
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
  });
  const missing = join(work, 'no-helper-to-diagnose');
  await assert.rejects(diagnose({ binaryPath: missing }), { message: `qen-hotkey-helper not found at ${missing} (from binaryPath)` });
});

// Bounded: should Windows ask about the missing DLL in a dialog, nobody would answer it.
test('a helper that the loader refuses: ready and diagnose reject with what the system said', { timeout: 60000 }, async () => {
  // A copy that needs a library no system has, in place of the C library (on
  // Windows, of KERNEL32.dll); Windows writes nothing on standard error, and
  // its status says why.
  const refused = join(work, onWindows ? 'refused-by-the-loader.exe' : 'refused-by-the-loader');
  const [needed, replaced, status, how, systemSaid] = onWindows
    ? ['KERNEL32.dll', 'KERNEQ32.dll', 0xC0000135, 'status 0xC0000135',
      'STATUS_DLL_NOT_FOUND (a DLL that it needs is missing)']
    : ['libc.so.6\0', 'libq.so.6\0', 127, 'status 127', `${refused}: error while loading shared libraries: `
      + 'libq.so.6: cannot open shared object file: No such file or directory'];
  const bytes = readFileSync(helperPath);
  assert.ok(bytes.includes(needed), `${helperPath} names no ${needed}`);
  for (let at = bytes.indexOf(needed); at >= 0; at = bytes.indexOf(needed, at + 1)) bytes.write(replaced, at);
  writeFileSync(refused, bytes, { mode: 0o755 });
  const helper = start({ shortcut: 'fn', binaryPath: refused });
  await assert.rejects(helper.ready, (error) => {
    assert.ok(error instanceof HelperStartError);
    assert.equal(error.message, `helper ended before it was ready (${how}); the system said: ${systemSaid}`);
    assert.equal(error.exitCode, status);
    return true;
  });
  await assert.rejects(diagnose({ binaryPath: refused }), {
    message: `${refused} --diagnose ended with ${how} without a diagnosis line; the system said: ${systemSaid}`,
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

test('on Windows, a Right Ctrl and an F13 sent with SendInput each arrive as a toggle and its release',
  { skip: !canSendWindowsKeys && 'needs Windows and the key tool named by QEN_WINKEYS' },
  async () => {
    const send = (...commands) => {
      const sent = spawnSync(winkeysPath, commands, { encoding: 'utf8' });
      assert.equal(sent.status, 0, `${winkeysPath} ${commands.join(' | ')}: ${sent.stdout}${sent.stderr}`);
    };
    for (const fnKey of ['rightctrl', 'f13']) {
      const helper = start({ shortcut: 'fn', fnKey, reportRelease: true, binaryPath: helperPath });
      assert.deepEqual(await helper.ready, { type: 'ready', shortcut: 'Fn', accessibilityTrusted: true, fnKey });
      const toggle = nextEvent(helper, 'toggle');
      const release = nextEvent(helper, 'release');
      send(`press ${fnKey}`);
      assert.deepEqual(await toggle, { type: 'toggle', shortcut: 'Fn', source: 'fn' });
      send(`release ${fnKey}`);
      assert.deepEqual(await release, { type: 'release', shortcut: 'Fn', source: 'fn', chord: false });
      assert.deepEqual(await helper.stop(), { code: 0, signal: null, killed: false });
    }
  });

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

test('when the host process exits, the helper is told: by SIGTERM, on Windows by the end of its standard input',
  { skip: fakesNeedPosix },
  async () => {
    // As the helper on Windows, it watches its standard input when that is a pipe (a
    // socket, as Node.js makes it here).
    for (const [platform, told] of [[process.platform, 'SIGTERM'], ['win32', 'end of input']]) {
      const marker = join(work, `told-on-${platform}`);
      const fake = script(`marks-how-it-is-told-${platform}.js`, `#!/usr/bin/env node
const { fstatSync, writeFileSync } = require('node:fs');
const told = (how) => { writeFileSync(${JSON.stringify(marker)}, how); process.exit(0); };
process.on('SIGTERM', () => told('SIGTERM'));
const input = fstatSync(0);
if (input.isFIFO() || input.isSocket()) process.stdin.on('end', () => told('end of input')).resume();
process.stdout.write('{"type":"ready","shortcut":"Fn","accessibilityTrusted":true}\\n');
setInterval(() => {}, 1000);
`);
      writeFileSync(join(work, 'package.json'), '{"type":"commonjs"}');
      const host = join(work, `host-${platform}.mjs`);
      writeFileSync(host, `Object.defineProperty(process, 'platform', { value: ${JSON.stringify(platform)} });
const { startHotkeyHelper } = await import(${JSON.stringify(resolve(repo, 'clients/node/index.js'))});
const helper = startHotkeyHelper({ shortcut: 'fn', binaryPath: ${JSON.stringify(fake)} });
await helper.ready;
process.exit(0);
`);
      assert.equal(spawnSync(process.execPath, [host]).status, 0);
      for (let i = 0; i < 100 && !executable(marker, constants.R_OK); i++) await new Promise((r) => setTimeout(r, 20));
      assert.ok(executable(marker, constants.R_OK), `the helper was never told (${platform})`);
      assert.equal(readFileSync(marker, 'utf8'), told);
    }
  });

test('on Windows, when the host process exits, the helper ends with it', { skip: !onWindows && 'Windows only' },
  async () => {
    const pidFile = join(work, 'helper.pid');
    const host = join(work, 'host-leaves.mjs');
    writeFileSync(host, `import { writeFileSync } from 'node:fs';
const { startHotkeyHelper } = await import(${JSON.stringify(pathToFileURL(resolve(repo, 'clients/node/index.js')).href)});
const helper = startHotkeyHelper({ shortcut: 'fn', binaryPath: ${JSON.stringify(helperPath)} });
await helper.ready;
writeFileSync(${JSON.stringify(pidFile)}, String(helper.pid));
process.exit(0);
`);
    assert.equal(spawnSync(process.execPath, [host]).status, 0);
    const pid = Number(readFileSync(pidFile, 'utf8'));
    const alive = () => { try { process.kill(pid, 0); return true; } catch { return false; } };
    for (let i = 0; i < 100 && alive(); i++) await new Promise((r) => setTimeout(r, 50));
    assert.ok(!alive(), `the helper (${pid}) still runs 5 s after its host ended`);
  });

test('npm pack ships only what a user needs',
  { skip: spawnSync('npm', ['--version'], { shell: onWindows }).status !== 0 && 'npm is not installed' },
  () => {
    // npm is npm.cmd on Windows, which only a shell runs.
    const packed = spawnSync('npm', ['pack', '--dry-run', '--json'], { cwd: resolve(repo, 'clients/node'), shell: onWindows });
    assert.equal(packed.status, 0, String(packed.stderr));
    const files = JSON.parse(packed.stdout)[0].files.map((file) => file.path).sort();
    assert.deepEqual(files, ['README.md', 'index.cjs', 'index.d.cts', 'index.d.ts', 'index.js', 'package.json']);
  });
