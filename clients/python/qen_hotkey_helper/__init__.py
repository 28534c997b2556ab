"""Start QenHotkeyHelper, receive its Fn and Fn+Space toggles as typed events
in a thread or in asyncio, and stop it cleanly. Standard library only."""
from ._binary import PATH_VARIABLE, HelperStartError, find_binary
from ._events import (X11, Device, Diagnosis, Event, HelperError, Permission, Problem, Ready,
                      Release, Toggle)
from ._helper import Exit, Helper, diagnose

__version__ = "0.1.0"

__all__ = [
    "PATH_VARIABLE", "Device", "Diagnosis", "Event", "Exit", "Helper", "HelperError",
    "HelperStartError", "Permission", "Problem", "Ready", "Release", "Toggle", "X11",
    "diagnose", "find_binary",
]
