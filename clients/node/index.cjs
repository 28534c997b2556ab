// Host client for QenHotkeyHelper: spawns the helper, turns its JSON lines
// into events, and stops it cleanly. No dependencies beyond Node itself.
// CommonJS, so that `require` and `import` (through index.js) load this one
// module: one implementation, and one HelperStartError class for both.
'use strict';

const { spawn } = require('node:child_process');
const { EventEmitter } = require('node:events');
const { accessSync, chmodSync, constants, existsSync, statSync } = require('node:fs');
const { resolve } = require('node:path');

/** The environment variable that names the helper for every client in a host. */
const pathVariable = 'QEN_HOTKEY_HELPER_PATH';

// Windows has no SIGTERM: the helper stops at the end of its standard input there.
const onWindows = process.platform === 'win32';

function executableName(platform) {
  return platform === 'win32' ? 'qen-hotkey-helper.exe' : 'qen-hotkey-helper';
}

/**
 * Electron packs an app into app.asar, from which nothing can be executed;
 * files listed under asarUnpack sit beside it in app.asar.unpacked instead.
 */
function outsideAsar(path) {
  return path.replace(/([\\/])app\.asar(?=[\\/])/, '$1app.asar.unpacked');
}

/** This package's own binary for a platform and architecture. */
function packagedBinaryPath(platform = process.platform, arch = process.arch) {
  // One universal binary serves both Mac architectures.
  const folder = platform === 'darwin' ? 'darwin-universal' : `${platform}-${arch}`;
  return outsideAsar(resolve(__dirname, 'bin', folder, executableName(platform)));
}

/** Where the helper is looked for, in order: this package's binary, then a build of the repository. */
const binaryCandidates = Object.freeze([
  packagedBinaryPath(),
  // Only inside the repository, never some other build folder of the host's.
  ...(existsSync(resolve(__dirname, '../../src/platform/platform.h'))
    ? [resolve(__dirname, '../../build', executableName(process.platform))]
    : []),
]);

function isExecutable(path) {
  try {
    accessSync(path, constants.X_OK);
    return true;
  } catch {
    return false;
  }
}

function fileMode(path) {
  try {
    const stats = statSync(path);
    return stats.isFile() ? stats.mode & 0o777 : null;
  } catch {
    return null;
  }
}

/** The first of `binaryCandidates` that exists, as it was when the package was loaded. */
const defaultBinaryPath = binaryCandidates.find((path) => fileMode(path) !== null) ?? binaryCandidates[0];

// The helper to run and what named it: binaryPath, else the environment
// variable, else the first candidate that exists.
function chooseBinary(binaryPath) {
  if (binaryPath) return { path: outsideAsar(binaryPath), origin: 'binaryPath' };
  const fromEnvironment = process.env[pathVariable];
  if (fromEnvironment) return { path: outsideAsar(fromEnvironment), origin: pathVariable };
  const found = binaryCandidates.find((path) => fileMode(path) !== null);
  return found ? { path: found, origin: 'package' } : null;
}

/**
 * The path of a helper that can run; throws a HelperStartError saying why not.
 * Archive tools and package managers sometimes drop execute bits: the
 * package's own binary gets its mode back, a host's own path is only named.
 */
function runnableBinary(binaryPath) {
  const chosen = chooseBinary(binaryPath);
  if (!chosen) {
    throw new HelperStartError(`qen-hotkey-helper not found at any of ${binaryCandidates.join(', ')}; ` +
      `no binary for ${process.platform}-${process.arch} in this package: build it, pass binaryPath ` +
      `or set ${pathVariable}`);
  }
  const { path, origin } = chosen;
  // Windows has no execute bit: there, a file that exists can run.
  if (onWindows ? fileMode(path) !== null : isExecutable(path)) return path;
  const mode = fileMode(path);
  if (mode === null) throw new HelperStartError(`qen-hotkey-helper not found at ${path} (from ${origin})`);
  let failure = '';
  if (origin === 'package') {
    try {
      chmodSync(path, 0o755);
      return path;
    } catch (error) {
      failure = `, and restoring it failed (${error.code ?? error.message})`;
    }
  }
  throw new HelperStartError(`${path} cannot run: its execute bit is missing ` +
    `(mode ${mode.toString(8).padStart(4, '0')})${failure}; run chmod 755 on it`);
}

const eventTypes = new Set(['ready', 'permission', 'toggle', 'release', 'error']);
const defaultRestart = { maxRestarts: 5, initialDelayMs: 200, maxDelayMs: 5000 };

/** The helper could not start: its own "error" line, or how it ended. */
class HelperStartError extends Error {
  constructor(message, { exitCode = null, signal = null } = {}) {
    super(message);
    this.name = 'HelperStartError';
    this.exitCode = exitCode;
    this.signal = signal;
  }
}

const systemMessageLimit = 2048;

/**
 * Keeps the first bytes of the helper's standard error. The helper never
 * writes there, so whatever comes is the system's: the loader's missing
 * library or version, a wrong architecture. Returns a reader of that text.
 */
function collectSystemMessage(stream) {
  const chunks = [];
  let size = 0;
  stream.on('data', (chunk) => {
    if (size >= systemMessageLimit) return; // read on, so that nothing blocks
    const kept = chunk.subarray(0, systemMessageLimit - size);
    chunks.push(kept);
    size += kept.length;
  });
  return () => Buffer.concat(chunks).toString('utf8').trim();
}

// What a message about a failed start adds for the system's text, if any.
function systemSaid(systemMessage) {
  return systemMessage ? `; the system said: ${systemMessage}` : '';
}

// Windows writes nothing on standard error when it cannot load or run a
// program: the status it ends with, an NTSTATUS, is what it says.
const windowsStatuses = new Map([
  [0xC0000005, 'STATUS_ACCESS_VIOLATION (it crashed)'],
  [0xC000007B, 'STATUS_INVALID_IMAGE_FORMAT (it is not built for this Windows)'],
  [0xC0000135, 'STATUS_DLL_NOT_FOUND (a DLL that it needs is missing)'],
  [0xC0000139, 'STATUS_ENTRYPOINT_NOT_FOUND (a DLL lacks a function that it needs: Windows too old?)'],
  [0xC0000142, 'STATUS_DLL_INIT_FAILED (a DLL that it needs failed to start)'],
  [0xC0000409, 'STATUS_STACK_BUFFER_OVERRUN (it stopped itself on a fatal fault)'],
]);
const isWindowsStatus = (code) => onWindows && code >= 0xC0000000;

// How the helper ended, for a message: its signal, or its status (in hex for an NTSTATUS).
function howItEnded(code, signal) {
  if (signal) return signal;
  return `status ${isWindowsStatus(code) ? `0x${code.toString(16).toUpperCase()}` : code}`;
}

// What the system said: the helper's standard error, else on Windows its status's meaning.
function systemText(stderrText, code) {
  return stderrText || (isWindowsStatus(code) ? windowsStatuses.get(code) ?? '' : '');
}

/** Splits a byte stream into lines, whatever its chunking. */
function createLineSplitter(onLine) {
  let pending = '';
  return (chunk) => {
    pending += chunk;
    let end;
    while ((end = pending.indexOf('\n')) >= 0) {
      onLine(pending.slice(0, end));
      pending = pending.slice(end + 1);
    }
  };
}

function restartSettings(restart) {
  if (!restart) return null;
  return { ...defaultRestart, ...(restart === true ? {} : restart) };
}

// The message of the helper's "error" line, if it wrote one.
function errorMessage(line) {
  try {
    const event = JSON.parse(line);
    return event?.type === 'error' ? event.message : null;
  } catch {
    return null;
  }
}

class HotkeyHelper extends EventEmitter {
  #options;
  #restart;
  #child = null;
  #stopping = false;
  #restarts = 0;
  #restartTimer = null;
  #settleReady;
  #exitListener = () => this.#child?.kill('SIGTERM');

  constructor(options) {
    super();
    this.#options = options;
    this.#restart = restartSettings(options.restart);
    this.ready = new Promise((resolveReady, rejectReady) => {
      this.#settleReady = { resolve: resolveReady, reject: rejectReady, done: false };
    });
    // A rejected `ready` that nobody awaits must not crash the host.
    this.ready.catch(() => {});
    // On Windows the host's end closes the helper's standard input, which stops it.
    if (!onWindows) process.on('exit', this.#exitListener);
    this.#spawn();
  }

  /** The helper's process id, while it runs. */
  get pid() {
    return this.#child?.pid;
  }

  /**
   * Sends SIGTERM (on Windows: ends the helper's standard input) and resolves
   * with how the helper ended; after graceMs it is killed with SIGKILL (on
   * Windows: terminated), and `killed` says so.
   */
  stop({ graceMs = 2000 } = {}) {
    this.#stopping = true;
    clearTimeout(this.#restartTimer);
    const child = this.#child;
    if (!child || child.exitCode !== null || child.signalCode !== null) {
      this.#detach();
      return Promise.resolve({ code: child?.exitCode ?? null, signal: child?.signalCode ?? null, killed: false });
    }
    return new Promise((resolveStop) => {
      let killed = false;
      const timer = setTimeout(() => {
        killed = true;
        child.kill('SIGKILL');
      }, graceMs);
      child.once('exit', (code, signal) => {
        clearTimeout(timer);
        this.#detach();
        resolveStop({ code, signal, killed });
      });
      if (onWindows) child.stdin.end();
      else child.kill('SIGTERM');
    });
  }

  #spawn() {
    let binary;
    try {
      binary = runnableBinary(this.#options.binaryPath);
    } catch (error) {
      this.#fail(error);
      return;
    }
    const args = ['--shortcut', this.#options.shortcut];
    if (this.#options.promptAccessibility) args.push('--prompt-accessibility');
    if (this.#options.reportRelease) args.push('--report-release');
    args.push(...fnKeyArguments(this.#options.fnKey));
    // On Windows its standard input is a pipe, whose end stops it.
    const child = spawn(binary, args, { stdio: [onWindows ? 'pipe' : 'ignore', 'pipe', 'pipe'], windowsHide: true });
    // Ending a pipe whose reader has just gone fails; the exit says how it went.
    child.stdin?.on('error', () => {});
    this.#child = child;
    const systemMessage = collectSystemMessage(child.stderr);
    let sawReady = false;
    let errorLine = null;
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', createLineSplitter((line) => {
      const event = this.#parse(line);
      if (!event) return;
      if (event.type === 'ready') sawReady = true;
      if (event.type === 'error') errorLine = event.message;
      this.#deliver(event);
    }));
    child.on('error', (error) => this.#fail(new HelperStartError(`cannot start ${binary}: ${error.message}`)));
    // 'close', not 'exit': the error line may still be in the pipe when the exit is seen.
    child.on('close', (code, signal) => this.#exited({ code, signal, sawReady, errorLine, systemMessage }));
  }

  #parse(line) {
    let event;
    try {
      event = JSON.parse(line);
    } catch {
      this.#report(new Error(`helper wrote a line that is not JSON: ${line}`));
      return null;
    }
    if (event === null || typeof event !== 'object' || !eventTypes.has(event.type)) {
      this.#report(new Error(`helper wrote an unknown event: ${line}`));
      return null;
    }
    return event;
  }

  #deliver(event) {
    if (event.type === 'error') return; // the start failed; reported when the helper ends
    if (event.type === 'ready') {
      this.#restarts = 0;
      if (!this.#settleReady.done) {
        this.#settleReady.done = true;
        this.#settleReady.resolve(event);
      }
    }
    this.emit(event.type, event);
  }

  #exited({ code, signal, sawReady, errorLine, systemMessage }) {
    const expected = this.#stopping;
    this.emit('exit', { code, signal, expected });
    if (expected) return;
    if (!sawReady) {
      const why = errorLine ?? `helper ended before it was ready (${howItEnded(code, signal)})`
        + systemSaid(systemText(systemMessage(), code));
      this.#fail(new HelperStartError(why, { exitCode: code, signal }));
      return;
    }
    this.#report(new HelperStartError(
      `helper ended unexpectedly (${howItEnded(code, signal)})`, { exitCode: code, signal }));
    this.#scheduleRestart();
  }

  #scheduleRestart() {
    if (!this.#restart || this.#restarts >= this.#restart.maxRestarts) {
      this.#detach();
      return;
    }
    const delay = Math.min(this.#restart.initialDelayMs * 2 ** this.#restarts, this.#restart.maxDelayMs);
    this.#restarts += 1;
    this.#restartTimer = setTimeout(() => {
      if (!this.#stopping) this.#spawn();
    }, delay);
  }

  #fail(error) {
    if (!this.#settleReady.done) {
      this.#settleReady.done = true;
      this.#settleReady.reject(error);
    }
    this.#report(error);
    this.#detach();
  }

  // An 'error' event without a listener would throw; the host hears of
  // failures through `ready` as well, so unheard reports are dropped instead.
  #report(error) {
    if (this.listenerCount('error') > 0) this.emit('error', error);
  }

  #detach() {
    process.removeListener('exit', this.#exitListener);
  }
}

// The helper itself checks the name, and says what it takes.
function fnKeyArguments(fnKey) {
  if (fnKey === undefined) return [];
  if (typeof fnKey !== 'string') throw new TypeError('fnKey must be a string such as "rightctrl" or "f13"');
  return ['--fn-key', fnKey];
}

/**
 * Starts the helper. Events: 'ready', 'permission', 'toggle', 'release' (the
 * helper's own objects), 'exit' ({ code, signal, expected }) and 'error' (an Error).
 */
function startHotkeyHelper({
  shortcut, promptAccessibility = false, reportRelease = false, fnKey, binaryPath, restart = false,
} = {}) {
  if (typeof shortcut !== 'string') throw new TypeError('shortcut must be a string such as "fn" or "fn+space"');
  fnKeyArguments(fnKey);
  return new HotkeyHelper({ shortcut, promptAccessibility, reportRelease, fnKey, binaryPath, restart });
}

/**
 * Runs `qen-hotkey-helper --diagnose` and resolves with its "diagnosis"
 * object; rejects with a HelperStartError when it cannot run or ends otherwise.
 */
function diagnose({ binaryPath, fnKey } = {}) {
  return new Promise((resolveDiagnosis, rejectDiagnosis) => {
    const binary = runnableBinary(binaryPath); // a throw here rejects
    const args = ['--diagnose', ...fnKeyArguments(fnKey)];
    const child = spawn(binary, args, { stdio: ['ignore', 'pipe', 'pipe'], windowsHide: true });
    const systemMessage = collectSystemMessage(child.stderr);
    const lines = [];
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', createLineSplitter((line) => lines.push(line)));
    child.on('error', (error) => rejectDiagnosis(new HelperStartError(`cannot start ${binary}: ${error.message}`)));
    child.on('close', (code, signal) => {
      let diagnosis = null;
      try {
        diagnosis = lines.length === 1 ? JSON.parse(lines[0]) : null;
      } catch {
        // reported below with what the helper wrote
      }
      if (code === 0 && diagnosis?.type === 'diagnosis') {
        resolveDiagnosis(diagnosis);
        return;
      }
      const how = howItEnded(code, signal);
      const message = lines.map(errorMessage).find(Boolean);
      const wrote = lines.length > 0 ? `; it wrote: ${lines.join(' | ')}` : '';
      rejectDiagnosis(new HelperStartError(message
        ? `${binary} --diagnose failed (${how}): ${message}`
        : `${binary} --diagnose ended with ${how} without a diagnosis line${wrote}`
          + systemSaid(systemText(systemMessage(), code)),
      { exitCode: code, signal }));
    });
  });
}

module.exports = {
  HelperStartError,
  binaryCandidates,
  createLineSplitter,
  defaultBinaryPath,
  diagnose,
  outsideAsar,
  packagedBinaryPath,
  startHotkeyHelper,
};
