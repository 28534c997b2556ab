"""Runs the helper, turns its lines into events for a thread or for asyncio,
and stops it."""
from __future__ import annotations

import asyncio
import json
import os
import selectors
import signal
import subprocess
import threading
from collections import deque
from dataclasses import dataclass
from typing import IO, Callable, Deque, Dict, List, Optional, Tuple, Union

from . import _binary
from ._binary import HelperStartError, find_binary
from ._events import Diagnosis, ErrorLine, Event, HelperError, Ready, parse_diagnosis, parse_line

SYSTEM_MESSAGE_LIMIT = 2048
"""How much of the helper's standard error a start error quotes."""


@dataclass(frozen=True)
class Exit:
    """How the helper ended."""

    code: Optional[int]  # its exit status, or None when a signal ended it
    signal: Optional[str]  # the signal's name, such as "SIGTERM"
    killed: bool = False  # stop() sent SIGKILL after the grace period


def _exit(returncode: int, killed: bool = False) -> Exit:
    if returncode >= 0:
        return Exit(returncode, None, killed)
    try:
        name = signal.Signals(-returncode).name
    except ValueError:  # a real-time signal has no name of its own
        name = f"signal {-returncode}"
    return Exit(None, name, killed)


def _how(ended: Exit) -> str:
    return ended.signal or f"status {ended.code}"


def _system_message(stderr: bytes) -> str:
    """The helper never writes to standard error: what is there came from the
    system, such as the loader's missing library or version."""
    text = stderr[:SYSTEM_MESSAGE_LIMIT].decode("utf-8", "replace").strip()
    return f"; the system said: {text}" if text else ""


# No console window for the helper on Windows (0 elsewhere, where there is none).
_NO_WINDOW = getattr(subprocess, "CREATE_NO_WINDOW", 0)


def _spawn(binary: str, arguments: List[str], stop_at_end_of_input: bool) -> subprocess.Popen:
    """On Windows, with `stop_at_end_of_input`, its standard input is a pipe,
    whose end stops it there."""
    windows = _binary.WINDOWS
    stdin = subprocess.PIPE if windows and stop_at_end_of_input else subprocess.DEVNULL
    try:
        return subprocess.Popen([binary, *arguments], stdin=stdin, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, creationflags=_NO_WINDOW if windows else 0)
    except OSError as error:
        raise HelperStartError(f"cannot start {binary}: {error.strerror or error}") from error


def _fn_key_arguments(fn_key: Optional[str]) -> List[str]:
    if fn_key is None:
        return []
    if not isinstance(fn_key, str):
        raise TypeError('fn_key must be a string such as "rightctrl" or "f13"')
    return ["--fn-key", fn_key]


def _start_arguments(shortcut: str, report_release: bool, fn_key: Optional[str],
                     prompt_accessibility: bool) -> List[str]:
    arguments = ["--shortcut", shortcut] + _fn_key_arguments(fn_key)
    if prompt_accessibility:
        arguments.append("--prompt-accessibility")
    if report_release:
        arguments.append("--report-release")
    return arguments


class Helper:
    """The helper, started at once with the given shortcut ("fn" or "fn+space").

    Iterate over it in a thread (``for event in helper``) or in asyncio
    (``async for event in helper``): Ready first, then Permission, Toggle,
    Release and HelperError events, until the helper ends. A helper that ends
    before Ready raises HelperStartError from the iteration. Use it as a
    context manager (``with`` or ``async with``) to stop it on the way out.
    """

    def __init__(self, shortcut: str, *, report_release: bool = False,
                 fn_key: Optional[str] = None, prompt_accessibility: bool = False,
                 binary_path: Union[str, os.PathLike, None] = None) -> None:
        if not isinstance(shortcut, str):
            raise TypeError('shortcut must be a string such as "fn" or "fn+space"')
        self.binary = find_binary(binary_path)
        self._process = _spawn(self.binary, _start_arguments(
            shortcut, report_release, fn_key, prompt_accessibility), stop_at_end_of_input=True)
        # The pipes still open, by descriptor: the stream and what takes its bytes.
        self._readers: Dict[int, Tuple[IO[bytes], Callable[[bytes], None]]] = {}
        for stream, take in ((self._process.stdout, self._take_output),
                             (self._process.stderr, self._take_system_message)):
            os.set_blocking(stream.fileno(), False)
            self._readers[stream.fileno()] = (stream, take)
        self._pending = b""
        self._stderr = b""
        self._events: Deque[Tuple[str, Event]] = deque()
        self._saw_ready = False
        self._error_line: Optional[str] = None
        self._stopping = False
        self._ended = False
        self._async_waiting = False
        self._lock = threading.Lock()  # held while a thread reads the pipes

    @property
    def pid(self) -> int:
        return self._process.pid

    # Reading. Both forms read the same non-blocking pipes; a thread waits in a
    # selector, asyncio in its loop's readers.

    def _take_output(self, data: bytes) -> None:
        *lines, self._pending = (self._pending + data).split(b"\n")
        for raw in lines:
            line = raw.decode("utf-8", "replace")
            event = parse_line(line)
            if isinstance(event, ErrorLine):
                self._error_line = event.message  # the start failed; raised at the end
                continue
            self._saw_ready = self._saw_ready or isinstance(event, Ready)
            self._events.append((line, event))

    def _take_system_message(self, data: bytes) -> None:
        self._stderr = (self._stderr + data)[:SYSTEM_MESSAGE_LIMIT]

    def _read(self, fd: int) -> None:
        """Everything the pipe holds now; at its end, closes it."""
        stream, take = self._readers[fd]
        while True:
            try:
                data = os.read(fd, 65536)
            except BlockingIOError:
                return
            if not data:
                del self._readers[fd]
                stream.close()
                return
            take(data)

    def _wait_in_thread(self) -> None:
        with self._lock, selectors.DefaultSelector() as selector:
            if not self._readers:
                return
            for fd in self._readers:
                selector.register(fd, selectors.EVENT_READ)
            for key, _ in selector.select():
                self._read(key.fd)

    async def _wait_in_loop(self) -> None:
        loop = asyncio.get_running_loop()
        readable = loop.create_future()

        def wake() -> None:
            if not readable.done():
                readable.set_result(None)

        watched = list(self._readers)
        for fd in watched:
            loop.add_reader(fd, wake)
        self._async_waiting = True
        try:
            await readable
        finally:
            self._async_waiting = False
            for fd in watched:
                loop.remove_reader(fd)
        for fd in list(self._readers):
            self._read(fd)

    def _ending(self, returncode: int) -> Optional[HelperError]:
        """Once, after the last line: raises when the start failed; reports an
        end that nobody asked for."""
        if self._ended:
            return None
        self._ended = True
        if self._stopping:
            return None
        ended = _exit(returncode)
        if not self._saw_ready:
            message = self._error_line or (f"helper ended before it was ready ({_how(ended)})"
                                           + _system_message(self._stderr))
            raise HelperStartError(message, ended.code, ended.signal)
        return HelperError(f"helper ended unexpectedly ({_how(ended)})")

    def _next_in_thread(self) -> Optional[Tuple[str, Event]]:
        while not self._events and self._readers:
            self._wait_in_thread()
        if self._events:
            return self._events.popleft()
        report = self._ending(self._process.wait())
        return None if report is None else (report.message, report)

    async def _next_in_loop(self) -> Optional[Tuple[str, Event]]:
        while not self._events and self._readers:
            await self._wait_in_loop()
        if self._events:
            return self._events.popleft()
        loop = asyncio.get_running_loop()
        report = self._ending(await loop.run_in_executor(None, self._process.wait))
        return None if report is None else (report.message, report)

    def __iter__(self) -> "Helper":
        return self

    def __next__(self) -> Event:
        item = self._next_in_thread()
        if item is None:
            raise StopIteration
        return item[1]

    def __aiter__(self) -> "Helper":
        return self

    async def __anext__(self) -> Event:
        item = await self._next_in_loop()
        if item is None:
            raise StopAsyncIteration
        return item[1]

    # Stopping.

    def _ask_to_stop(self) -> None:
        if self._process.stdin is None:
            self._process.send_signal(signal.SIGTERM)
            return
        try:
            self._process.stdin.close()  # on Windows, the helper's orderly stop
        except OSError:
            pass  # it has just ended; the wait says how

    def _end_process(self, grace: float) -> Exit:
        self._stopping = True
        killed = False
        if self._process.poll() is None:
            self._ask_to_stop()
            try:
                self._process.wait(timeout=grace)
            except subprocess.TimeoutExpired:
                killed = True
                self._process.kill()
                self._process.wait()
        return _exit(self._process.returncode, killed)

    def _close_pipes(self) -> None:
        """Keeps what the ended helper still had in its pipes, for the iteration."""
        for fd in list(self._readers):
            self._read(fd)
        for stream in (self._process.stdin, self._process.stdout, self._process.stderr):
            if stream is not None:
                stream.close()
        self._readers.clear()

    def stop(self, grace: float = 2.0) -> Exit:
        """Sends SIGTERM (on Windows: closes the helper's standard input) and
        waits for the helper to end; after `grace` seconds it is killed (with
        SIGKILL; on Windows terminated). Returns how it ended; at once if it had."""
        ended = self._end_process(grace)
        with self._lock:  # a thread iterating meanwhile reads the end itself first
            self._close_pipes()
        return ended

    async def astop(self, grace: float = 2.0) -> Exit:
        """stop() for asyncio: waits without blocking the loop."""
        ended = await asyncio.get_running_loop().run_in_executor(None, self._end_process, grace)
        if not self._async_waiting:  # else the waiting iteration reads the end and closes
            self._close_pipes()
        return ended

    def __enter__(self) -> "Helper":
        return self

    def __exit__(self, *exception) -> None:
        self.stop()

    async def __aenter__(self) -> "Helper":
        return self

    async def __aexit__(self, *exception) -> None:
        await self.astop()


def _diagnosis_run(binary_path: Union[str, os.PathLike, None],
                   fn_key: Optional[str]) -> Tuple[str, Diagnosis]:
    binary = find_binary(binary_path)
    process = _spawn(binary, ["--diagnose"] + _fn_key_arguments(fn_key), stop_at_end_of_input=False)
    output, stderr = process.communicate()
    ended = _exit(process.returncode)
    lines = output.decode("utf-8", "replace").splitlines()
    if ended.code == 0 and len(lines) == 1:
        try:
            return lines[0], parse_diagnosis(json.loads(lines[0]))
        except (ValueError, TypeError, AttributeError):
            pass  # reported below with what the helper wrote
    errors = [event.message for event in map(parse_line, lines) if isinstance(event, ErrorLine)]
    if errors:
        message = f"{binary} --diagnose failed ({_how(ended)}): {errors[0]}"
    else:
        wrote = f"; it wrote: {' | '.join(lines)}" if lines else ""
        message = (f"{binary} --diagnose ended with {_how(ended)} without a diagnosis line"
                   f"{wrote}{_system_message(stderr)}")
    raise HelperStartError(message, ended.code, ended.signal)


def diagnose(binary_path: Union[str, os.PathLike, None] = None,
             fn_key: Optional[str] = None) -> Diagnosis:
    """Runs `qen-hotkey-helper --diagnose` (the helper found as find_binary
    does) and returns its diagnosis; raises HelperStartError when it cannot run
    or ends in any other way. It takes well under a second."""
    return _diagnosis_run(binary_path, fn_key)[1]
