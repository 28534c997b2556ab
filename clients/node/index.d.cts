import { EventEmitter } from 'node:events';

export type Shortcut = 'fn' | 'fn+space' | (string & {});

/** The key that plays Fn's part, by its canonical name. */
export type FnKeyName =
  | 'fn'
  | 'rightctrl'
  | 'rightalt'
  | 'rightmeta'
  | 'f13'
  | 'f14'
  | 'f15'
  | 'f16'
  | 'f17'
  | 'f18'
  | 'f19'
  | 'f20';

/** What fnKey takes: a canonical name or one of its other names. */
export type FnKey = FnKeyName | 'rightcontrol' | 'rightoption' | 'rightcommand' | 'rightsuper';

export interface ReadyEvent {
  type: 'ready';
  shortcut: 'Fn' | 'Fn+Space';
  accessibilityTrusted: boolean;
  /** only when fnKey was given */
  fnKey?: FnKeyName;
}

export interface PermissionEvent {
  type: 'permission';
  kind: 'accessibility';
  status: 'missing';
  message: string;
}

export type ToggleEvent =
  | { type: 'toggle'; shortcut: 'Fn'; source: 'fn' }
  | { type: 'toggle'; shortcut: 'Fn+Space'; source: 'fn+space' };

/** With `reportRelease`: one after each toggle, when the shortcut is let go. */
export type ReleaseEvent = (
  | { type: 'release'; shortcut: 'Fn'; source: 'fn' }
  | { type: 'release'; shortcut: 'Fn+Space'; source: 'fn+space' }
) & {
  /** true when another key went down while the shortcut was held (Fn used as a modifier) */
  chord: boolean;
};

export interface ExitEvent {
  code: number | null;
  signal: NodeJS.Signals | null;
  /** true after stop(); false when the helper ended on its own or was killed from outside */
  expected: boolean;
}

export interface StopResult {
  code: number | null;
  signal: NodeJS.Signals | null;
  /** true when the helper did not end within the grace period and was killed (on Windows: terminated) */
  killed: boolean;
}

export interface RestartOptions {
  maxRestarts?: number;
  initialDelayMs?: number;
  maxDelayMs?: number;
}

export interface StartOptions {
  shortcut: Shortcut;
  promptAccessibility?: boolean;
  /** Adds --report-release: a 'release' event follows each 'toggle'. */
  reportRelease?: boolean;
  /** Adds --fn-key: this key plays Fn's part, for keyboards whose Fn never reaches the computer. */
  fnKey?: FnKey;
  /** Wins over QEN_HOTKEY_HELPER_PATH and the package's own binary. */
  binaryPath?: string;
  restart?: boolean | RestartOptions;
}

export class HelperStartError extends Error {
  readonly exitCode: number | null;
  readonly signal: NodeJS.Signals | null;
}

/** What each event of a HotkeyHelper carries. */
export interface HotkeyHelperEvents {
  ready: ReadyEvent;
  permission: PermissionEvent;
  toggle: ToggleEvent;
  release: ReleaseEvent;
  exit: ExitEvent;
  error: Error;
}

export interface HotkeyHelper extends EventEmitter {
  readonly ready: Promise<ReadyEvent>;
  readonly pid: number | undefined;
  /** SIGTERM, or on Windows the end of the helper's standard input; after graceMs a kill. */
  stop(options?: { graceMs?: number }): Promise<StopResult>;

  on<Name extends keyof HotkeyHelperEvents>(event: Name, listener: (event: HotkeyHelperEvents[Name]) => void): this;
  once<Name extends keyof HotkeyHelperEvents>(event: Name, listener: (event: HotkeyHelperEvents[Name]) => void): this;
}

export interface DiagnosisProblem<Code extends string> {
  /** stable: hosts act on it */
  code: Code;
  /** one or two sentences for the user */
  message: string;
}

/** An event node the helper would consider, in the order it would open them. */
export type DiagnosedDevice =
  | { path: string; readable: false }
  | { path: string; readable: true; name: string; keyboard: boolean; fn: boolean };

export type GlobeKeyAction =
  | 'doNothing'
  | 'changeInputSource'
  | 'showEmojiAndSymbols'
  | 'startDictation'
  | 'systemDefault'
  | 'unknown';

interface DiagnosisCommon {
  type: 'diagnosis';
  version: string;
  accessibilityTrusted: boolean;
  /** only when fnKey was given */
  fnKey?: FnKeyName;
}

/** The X server of an X11 session, looked at only when no keyboard node can be read. */
export interface DiagnosedX11 {
  /** DISPLAY is set */
  display: boolean;
  /** a display of this machine answered in time (none is tried for another's, or under Wayland) */
  connected: boolean;
  /** X Input's version as agreed, such as "2.4" */
  xinputVersion: string | null;
  /** the server is Xwayland, or the session Wayland */
  xwayland: boolean;
  /** its raw key events reach the helper */
  used: boolean;
}

export interface LinuxDiagnosis extends DiagnosisCommon {
  platform: 'linux';
  /** one about the keyboard nodes at most, then those about X */
  problems: DiagnosisProblem<
    'no-input-devices' | 'no-readable-keyboard' | 'no-fn-key' | 'x11-no-fn' | 'xwayland-only'
  >[];
  /** `fn`: whether the device has the key in Fn's part */
  devices: DiagnosedDevice[];
  /** XDG_SESSION_TYPE */
  sessionType: string | null;
  /** only when no keyboard node can be read */
  x11?: DiagnosedX11;
}

export interface MacDiagnosis extends DiagnosisCommon {
  platform: 'macos';
  problems: DiagnosisProblem<'not-trusted' | 'globe-key-has-action' | 'secure-event-input'>[];
  globeKeyAction: GlobeKeyAction;
  secureEventInput: boolean;
}

export interface WindowsDiagnosis extends DiagnosisCommon {
  platform: 'windows';
  /** `no-fn-key` without fnKey: Windows never sees Fn */
  problems: DiagnosisProblem<'no-keyboard-hook' | 'no-fn-key' | 'altgr-fn-key'>[];
  /** the active keyboard layout, as its HKL in hex ("04070407") */
  keyboardLayout: string;
  /** whether that layout types characters with AltGr (Right Alt) */
  altGr: boolean;
  /** whether the helper runs as administrator (it then sees keys typed into elevated windows) */
  elevated: boolean;
}

export type Diagnosis = LinuxDiagnosis | MacDiagnosis | WindowsDiagnosis;

/** Where the helper is looked for without binaryPath or QEN_HOTKEY_HELPER_PATH: this package's binary, then (in the repository) its build. */
export const binaryCandidates: readonly string[];
/** The first of `binaryCandidates` that existed when the package was loaded. */
export const defaultBinaryPath: string;
/** This package's binary for a platform and architecture (`bin/<platform>-<arch>/`, `bin/darwin-universal/`; `.exe` on win32). */
export function packagedBinaryPath(platform?: string, arch?: string): string;
/** A path inside Electron's app.asar mapped to app.asar.unpacked, where binaries can run. */
export function outsideAsar(path: string): string;
export function createLineSplitter(onLine: (line: string) => void): (chunk: string) => void;
export function startHotkeyHelper(options: StartOptions): HotkeyHelper;
/** Runs the helper with --diagnose; rejects with a HelperStartError when it cannot run or ends otherwise. */
export function diagnose(options?: { binaryPath?: string; fnKey?: FnKey }): Promise<Diagnosis>;
