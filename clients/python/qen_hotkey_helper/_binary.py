"""Which helper binary to run, and making sure that it can run."""
from __future__ import annotations

import errno
import os
import platform
import stat
import sys
from pathlib import Path
from typing import Optional, Union

PATH_VARIABLE = "QEN_HOTKEY_HELPER_PATH"
"""The environment variable that names the helper for every client in a host."""

WINDOWS = sys.platform == "win32"
"""Windows has no SIGTERM and no execute bit: the helper stops at the end of
its standard input there, and a file that exists can run."""

PACKAGED_BINARY = (Path(__file__).resolve().parent / "bin"
                   / ("qen-hotkey-helper.exe" if WINDOWS else "qen-hotkey-helper"))
"""The binary a platform wheel carries; a package installed from source has none."""


class HelperStartError(Exception):
    """The helper could not start: its own "error" line, what the system said, or why it
    could not be run. exit_code and signal tell how it ended, when it ran at all."""

    def __init__(self, message: str, exit_code: Optional[int] = None,
                 signal: Optional[str] = None) -> None:
        super().__init__(message)
        self.message = message
        self.exit_code = exit_code
        self.signal = signal


def _file_mode(path: str) -> Optional[int]:
    try:
        stats = os.stat(path)
    except OSError:
        return None
    return stat.S_IMODE(stats.st_mode) if stat.S_ISREG(stats.st_mode) else None


def _chosen(binary_path: Union[str, os.PathLike, None]):
    if binary_path:
        return os.fspath(binary_path), "binary_path"
    from_environment = os.environ.get(PATH_VARIABLE)
    if from_environment:
        return from_environment, PATH_VARIABLE
    return str(PACKAGED_BINARY), "package"


def find_binary(binary_path: Union[str, os.PathLike, None] = None) -> str:
    """The helper to run: binary_path, else $QEN_HOTKEY_HELPER_PATH, else the
    package's own. Raises HelperStartError when it cannot run.

    Archive tools and installers sometimes drop execute bits: the package's own
    binary gets mode 0755 back; a path from the host is only named."""
    path, origin = _chosen(binary_path)
    mode = _file_mode(path)
    if mode is None and origin == "package":
        raise HelperStartError(
            f"qen-hotkey-helper not found at {path}: this installation has no binary for "
            f"{sys.platform}-{platform.machine()} (installed without one); install the wheel "
            f"for this platform, pass binary_path or set {PATH_VARIABLE}")
    if mode is None:
        raise HelperStartError(f"qen-hotkey-helper not found at {path} (from {origin})")
    if WINDOWS or os.access(path, os.X_OK):
        return path
    failure = ""
    if origin == "package":
        try:
            os.chmod(path, 0o755)
            return path
        except OSError as error:
            reason = errno.errorcode.get(error.errno or 0, error.strerror)
            failure = f", and restoring it failed ({reason})"
    raise HelperStartError(f"{path} cannot run: its execute bit is missing (mode {mode:04o})"
                           f"{failure}; run chmod 755 on it")
