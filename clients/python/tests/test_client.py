"""The Python client against the real helper (QEN_HELPER, else the installed
package's own binary) on virtual keyboards (QEN_VKBD), and against fake
helpers for what the real one does not do."""
import asyncio
import os
import queue
import re
import shutil
import stat
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import qen_hotkey_helper
from qen_hotkey_helper import (X11, Exit, Helper, HelperError, HelperStartError, Ready,
                               Release, Toggle, diagnose, find_binary)

REPO = Path(__file__).resolve().parents[3]
RUNNER = REPO / "tools/vkbd/run-with-input.sh"
VKBD = Path(os.environ.get("QEN_VKBD") or REPO / "build/tools/vkbd/vkbd")
PACKAGE = Path(qen_hotkey_helper.__file__).parent
HELPER = os.environ.get("QEN_HELPER") or find_binary()
FORMS = ["thread", "asyncio"]

IS_ROOT = os.geteuid() == 0
NAMESPACES = IS_ROOT and subprocess.run(["unshare", "--mount", "true"]).returncode == 0
KEYBOARDS = NAMESPACES and os.access(VKBD, os.X_OK) and os.access("/dev/fuse", os.R_OK)
needs_namespaces = pytest.mark.skipif(not NAMESPACES, reason="needs root and mount namespaces")
needs_keyboards = pytest.mark.skipif(not KEYBOARDS, reason="needs root, /dev/fuse and a built vkbd")


def script(folder, name, body):
    path = folder / name
    path.write_text(body)
    path.chmod(0o755)
    return str(path)


def fake_helper(folder, name, body):
    """A stand-in helper, in Python; `body` runs after its imports. Unbuffered
    (-u), as the real helper is, whatever PYTHONUNBUFFERED says: without it
    stderr keeps a line without a line feed, and os._exit() drops it."""
    return script(folder, name, f"#!{sys.executable} -u\nimport os, signal, sys, time\n{body}\n")


def with_input(folder, input_dir):
    """The helper, run with input_dir (or none, with "--none") as its /dev/input,
    and without what points at a desktop session: no X server stands in."""
    return script(folder, f"helper-{Path(input_dir).name}",
                  "#!/bin/sh\nexec env -u DISPLAY -u XAUTHORITY -u XDG_SESSION_TYPE "
                  f'{RUNNER} {input_dir} {HELPER} "$@"\n')


def events_of(form, helper):
    """Every event until the helper ends, in a thread or in asyncio."""
    if form == "thread":
        return list(helper)

    async def collect():
        return [event async for event in helper]

    return asyncio.run(collect())


def refused_by_the_loader(folder):
    """A copy of the helper that needs a C library that does not exist."""
    copy = folder / "refused-helper"
    data = Path(HELPER).read_bytes()
    assert b"libc.so.6\0" in data, f"{HELPER} names no libc.so.6 to replace"
    copy.write_bytes(data.replace(b"libc.so.6\0", b"libq.so.6\0"))
    copy.chmod(0o755)
    return str(copy)


@pytest.mark.parametrize("form", FORMS)
def test_an_end_before_ready_raises_with_the_reason(form, tmp_path):
    system = re.escape("helper ended before it was ready (status 127); the system said: ")
    for binary, shortcut, message, exit_code in [
        (HELPER, "cmd+k", re.escape("Unsupported native shortcut: cmd+k. This helper currently "
                                    "supports Fn and Fn+Space."), 1),
        (refused_by_the_loader(tmp_path), "fn",
         system + ".*libq\\.so\\.6: cannot open shared object file.*", 127),
        (fake_helper(tmp_path, "writes-on-stderr", "sys.stderr.write('x' * 5000); os._exit(127)"),
         "fn", system + "x{2048}", 127),
    ]:
        with pytest.raises(HelperStartError) as raised:
            events_of(form, Helper(shortcut, binary_path=binary))
        assert re.fullmatch(message, raised.value.message), raised.value.message
        assert (raised.value.exit_code, raised.value.signal) == (exit_code, None)


@pytest.mark.parametrize("form", FORMS)
def test_lines_that_cannot_be_read_are_reported_never_fatal(form, tmp_path):
    chunky = fake_helper(tmp_path, "chunky", """
pieces = ['{"type":"rea', 'dy","shortcut":"Fn","accessibilityTrusted":true}\\n{"type":"toggle",',
          '"shortcut":"Fn","source":"fn"}\\nnot json\\n{"type":"surprise"}\\n{"type":"toggle"}\\n',
          '{"type":"tog', 'gle","shortcut":"Fn","source":"fn","new":1}\\n']
for piece in pieces:
    sys.stdout.write(piece)
    sys.stdout.flush()
    time.sleep(0.02)""")
    assert events_of(form, Helper("fn", binary_path=chunky)) == [
        Ready("Fn", True), Toggle("Fn", "fn"),
        HelperError("helper wrote a line that is not JSON: not json"),
        HelperError('helper wrote an unknown event: {"type":"surprise"}'),
        HelperError('helper wrote an unknown event: {"type":"toggle"}'),
        Toggle("Fn", "fn"), HelperError("helper ended unexpectedly (status 0)"),
    ]


KILLED = Exit(None, "SIGKILL", killed=True)


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("windows, after_ready, ended", [
    (False, "time.sleep(60)", KILLED),
    # Taken for Windows: there the end of its standard input is what stops it.
    (True, "sys.stdin.buffer.read(); sys.exit(0)", Exit(0, None)),
    (True, "time.sleep(60)", KILLED),
], ids=["sigterm-ignored", "windows-end-of-input", "windows-end-of-input-ignored"])
def test_stop_asks_then_kills_after_the_grace(form, windows, after_ready, ended, tmp_path,
                                              monkeypatch):
    monkeypatch.setattr(qen_hotkey_helper._binary, "WINDOWS", windows)
    stubborn = fake_helper(tmp_path, "stubborn", f"""
signal.signal(signal.SIGTERM, signal.SIG_IGN)
print('{{"type":"ready","shortcut":"Fn","accessibilityTrusted":true}}', flush=True)
{after_ready}""")
    helper = Helper("fn", binary_path=stubborn)
    assert next(helper) == Ready("Fn", True)
    if form == "thread":
        assert helper.stop(grace=0.5) == ended
    else:
        assert asyncio.run(helper.astop(grace=0.5)) == ended
    assert list(helper) == []


def test_the_binary_is_binary_path_else_the_environment_else_the_package(tmp_path, monkeypatch):
    named = tmp_path / "named-by-the-environment"
    given = tmp_path / "given"
    monkeypatch.setenv("QEN_HOTKEY_HELPER_PATH", str(named))
    for start in (find_binary, lambda path: Helper("fn", binary_path=path),
                  lambda path: diagnose(binary_path=path)):
        for binary_path, message in [
            (None, f"qen-hotkey-helper not found at {named} (from QEN_HOTKEY_HELPER_PATH)"),
            (given, f"qen-hotkey-helper not found at {given} (from binary_path)"),
        ]:
            with pytest.raises(HelperStartError, match=f"^{re.escape(message)}$"):
                start(binary_path)
    assert find_binary(HELPER) == HELPER


def package_copy(folder):
    """This package, with the helper as its own binary, mode 0644 as some
    archive tools leave it."""
    copy = folder / "site" / "qen_hotkey_helper"
    shutil.copytree(PACKAGE, copy, ignore=shutil.ignore_patterns("bin", "__pycache__"))
    binary = copy / "bin" / "qen-hotkey-helper"
    binary.parent.mkdir()
    shutil.copyfile(HELPER, binary)
    binary.chmod(0o644)
    return copy.parent, binary


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


START_COPY = ("import qen_hotkey_helper as q\n"
              "try:\n    h = q.Helper('fn'); print(next(h)); h.stop()\n"
              "except q.HelperStartError as error:\n    print(error)")


def test_a_lost_execute_bit_is_restored_on_the_package_binary_only(tmp_path, monkeypatch):
    monkeypatch.delenv("QEN_HOTKEY_HELPER_PATH", raising=False)
    site, binary = package_copy(tmp_path)
    with_copy = {**os.environ, "PYTHONPATH": str(site)}
    run = subprocess.run([sys.executable, "-c", START_COPY], env=with_copy, capture_output=True,
                         text=True)
    assert run.stdout.startswith("Ready(shortcut='Fn'"), run.stdout + run.stderr
    assert mode(binary) == 0o755

    binary.chmod(0o644)
    named = f"{binary} cannot run: its execute bit is missing (mode 0644); run chmod 755 on it"
    with pytest.raises(HelperStartError, match=f"^{re.escape(named)}$"):
        Helper("fn", binary_path=binary)
    assert mode(binary) == 0o644
    # Windows has no execute bit: there a file that exists is taken as it is.
    monkeypatch.setattr(qen_hotkey_helper._binary, "WINDOWS", True)
    assert find_binary(binary) == str(binary)
    assert mode(binary) == 0o644

    if NAMESPACES:  # where it cannot be restored: a read-only mount
        run = subprocess.run(
            ["unshare", "--mount", "--propagation", "private", "sh", "-ec",
             'mount --bind "$1" "$1"; mount -o remount,bind,ro "$1"; exec "$2" -c "$3"', "ro",
             str(site), sys.executable, START_COPY],
            env=with_copy, capture_output=True, text=True)
        assert run.stdout == (f"{binary} cannot run: its execute bit is missing (mode 0644), and "
                              "restoring it failed (EROFS); run chmod 755 on it\n"), run.stderr
        assert mode(binary) == 0o644


def test_diagnose_gives_the_diagnosis_or_raises_with_what_went_wrong(tmp_path):
    if NAMESPACES:
        diagnosis = diagnose(binary_path=with_input(tmp_path, "--none"), fn_key="f13")
        assert (diagnosis.platform, diagnosis.devices, diagnosis.fn_key) == ("linux", (), "f13")
        assert [problem.code for problem in diagnosis.problems] == ["no-input-devices"]
        assert diagnosis.x11 == X11(display=False, connected=False, xinput_version=None,
                                    xwayland=False, used=False)
    ready = '{"type":"ready","shortcut":"Fn","accessibilityTrusted":true}'
    for body, message, exit_code in [
        ('print(\'{"type":"error","message":"Missing --shortcut argument."}\'); sys.exit(1)',
         "failed (status 1): Missing --shortcut argument.", 1),
        ("os.kill(os.getpid(), signal.SIGKILL)", "ended with SIGKILL without a diagnosis line",
         None),
        (f"print('{ready}')",
         f"ended with status 0 without a diagnosis line; it wrote: {ready}", 0),
        ("sys.stderr.write('not an ELF\\n'); sys.exit(126)",
         "ended with status 126 without a diagnosis line; the system said: not an ELF", 126),
    ]:
        binary = fake_helper(tmp_path, f"fails-{exit_code}",
                             f"assert sys.argv[1:] == ['--diagnose']\n{body}")
        with pytest.raises(HelperStartError) as raised:
            diagnose(binary_path=binary)
        assert raised.value.message == f"{binary} --diagnose {message}"
        assert raised.value.exit_code == exit_code


# The Windows helper under Wine, through the project's key tool as its live
# Windows parent (Wine then passes its status on faithfully).
WINDOWS_HELPER = os.environ.get("QEN_WINDOWS_HELPER")
WINKEYS = os.environ.get("QEN_WINKEYS")


@pytest.mark.skipif(not (WINDOWS_HELPER and WINKEYS),
                    reason="needs QEN_WINDOWS_HELPER and QEN_WINKEYS (.exe files) for Wine")
def test_a_windows_diagnosis_reads_with_its_own_facts(tmp_path):
    under_wine = script(tmp_path, "windows-helper", f'#!/bin/sh\nexec {REPO}/tests/windows/wine.sh '
                        f'"{WINKEYS}" --run "Z:{WINDOWS_HELPER}" "$@" </dev/null\n')
    for fn_key, codes in [(None, ["no-fn-key"]), ("RightControl", [])]:
        diagnosis = diagnose(binary_path=under_wine, fn_key=fn_key)
        assert (diagnosis.platform, diagnosis.accessibility_trusted) == ("windows", True)
        assert diagnosis.fn_key == (fn_key and "rightctrl")
        assert [problem.code for problem in diagnosis.problems] == codes
        assert re.fullmatch("[0-9A-F]{8}", diagnosis.keyboard_layout), diagnosis
        assert isinstance(diagnosis.alt_gr, bool) and isinstance(diagnosis.elevated, bool)


@needs_namespaces
def test_python_m_diagnose_prints_the_diagnosis_line(tmp_path):
    without_keyboards = {**os.environ, "QEN_HOTKEY_HELPER_PATH": with_input(tmp_path, "--none")}
    run = subprocess.run([sys.executable, "-m", "qen_hotkey_helper", "--diagnose"],
                         env=without_keyboards, capture_output=True, text=True)
    assert (run.returncode, run.stderr) == (0, "")
    assert run.stdout.startswith('{"type":"diagnosis",') and run.stdout.count("\n") == 1
    assert '"code":"no-input-devices"' in run.stdout


class VirtualKeyboard:
    """A vkbd mount with one keyboard, event0, of the kind given (vkbd's add)."""

    def __init__(self, folder, kind=""):
        self.input = folder / "input"
        self.control = folder / "control"
        self.input.mkdir()
        self.process = subprocess.Popen([VKBD, self.input, self.control], stdout=subprocess.PIPE,
                                        text=True)
        assert self.process.stdout.readline() == "ready\n"
        self.send(f"add event0 {kind}")

    def send(self, *commands):
        subprocess.run([VKBD, "--send", self.control, *commands], check=True,
                       stdout=subprocess.DEVNULL)

    def close(self):
        self.process.terminate()
        self.process.wait()
        self.process.stdout.close()


SETTLE = 0.1  # the helper installs its signal watchers just after its start-up lines
TOGGLE = Toggle("Fn+Space", "fn+space")
RELEASE = Release("Fn+Space", "fn+space", chord=True)


def hold_to_talk_in_a_thread(helper, keyboard, fn):
    seen = queue.Queue()

    def read():
        for event in helper:
            seen.put(event)
        seen.put(None)

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    ready = seen.get(timeout=10)
    keyboard.send(f"press event0 {fn}", "press event0 space")
    assert seen.get(timeout=10) == TOGGLE
    keyboard.send("press event0 a", "release event0 space")
    assert seen.get(timeout=10) == RELEASE
    threading.Event().wait(SETTLE)
    ended = helper.stop()
    reader.join(timeout=10)
    assert seen.get_nowait() is None  # the iteration ended, and reported nothing
    return ready, ended


def hold_to_talk_in_asyncio(helper, keyboard, fn):
    async def scenario():
        seen = asyncio.Queue()

        async def read():
            async for event in helper:
                await seen.put(event)

        reader = asyncio.ensure_future(read())
        next_event = lambda: asyncio.wait_for(seen.get(), 10)  # noqa: E731
        ready = await next_event()
        keyboard.send(f"press event0 {fn}", "press event0 space")
        assert await next_event() == TOGGLE
        keyboard.send("press event0 a", "release event0 space")
        assert await next_event() == RELEASE
        await asyncio.sleep(SETTLE)
        ended = await helper.astop()
        await asyncio.wait_for(reader, 10)
        assert seen.empty()
        return ready, ended

    return asyncio.run(scenario())


@needs_keyboards
@pytest.mark.parametrize("hold_to_talk, kind, fn_key, fn", [
    (hold_to_talk_in_a_thread, "", None, "fn"),
    (hold_to_talk_in_asyncio, "nofn", "rightctrl", "rightctrl"),  # a PC keyboard
])
def test_fn_space_on_a_virtual_keyboard_toggles_releases_and_stops(hold_to_talk, kind, fn_key, fn,
                                                                   tmp_path):
    keyboard = VirtualKeyboard(tmp_path, kind)
    helper = Helper("fn+space", report_release=True, fn_key=fn_key,
                    binary_path=with_input(tmp_path, keyboard.input))
    try:
        ready, ended = hold_to_talk(helper, keyboard, fn)
        assert (ready, ended) == (Ready("Fn+Space", True, fn_key), Exit(0, None))
    finally:
        helper.stop()
        keyboard.close()
