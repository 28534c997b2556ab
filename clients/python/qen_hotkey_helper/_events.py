"""The helper's JSON lines, and its diagnosis, as typed values."""
from __future__ import annotations

import dataclasses
import json
import re
from dataclasses import dataclass
from typing import Any, Dict, Optional, Tuple, Union


@dataclass(frozen=True)
class Ready:
    """The first line of every start that worked."""

    shortcut: str  # "Fn" or "Fn+Space"
    accessibility_trusted: bool  # on Linux: at least one keyboard can be read
    fn_key: Optional[str] = None  # the key named with fn_key, by its canonical name


@dataclass(frozen=True)
class Permission:
    """Right after Ready when the helper may not watch the keyboard."""

    kind: str
    status: str
    message: str


@dataclass(frozen=True)
class Toggle:
    """The shortcut was performed."""

    shortcut: str
    source: str  # "fn" or "fn+space"


@dataclass(frozen=True)
class Release:
    """With report_release: the shortcut of the last Toggle was let go."""

    shortcut: str
    source: str
    chord: bool  # another key went down meanwhile: Fn was used as a modifier


@dataclass(frozen=True)
class HelperError:
    """Something wrong with the helper's output or end; it never stops the iteration."""

    message: str


Event = Union[Ready, Permission, Toggle, Release, HelperError]


@dataclass(frozen=True)
class Problem:
    code: str  # stable: hosts act on it
    message: str  # for the user, naming the README section that helps


@dataclass(frozen=True)
class Device:
    """An event node (Linux), in the order the helper opens them."""

    path: str
    readable: bool
    name: Optional[str] = None  # the rest only when readable
    keyboard: Optional[bool] = None
    fn: Optional[bool] = None


@dataclass(frozen=True)
class X11:
    """The X server of an X11 session (Linux), looked at only when no keyboard
    node can be read."""

    display: bool  # DISPLAY is set
    connected: bool  # a display of this machine answered in time
    xinput_version: Optional[str]  # as agreed, such as "2.4"
    xwayland: bool  # Xwayland, or a Wayland session
    used: bool  # its raw key events reach the helper


@dataclass(frozen=True)
class Diagnosis:
    """What `qen-hotkey-helper --diagnose` found."""

    version: str
    platform: str  # "linux", "macos" or "windows"
    accessibility_trusted: bool
    problems: Tuple[Problem, ...]
    devices: Tuple[Device, ...] = ()  # Linux
    session_type: Optional[str] = None  # Linux: XDG_SESSION_TYPE
    globe_key_action: Optional[str] = None  # macOS
    secure_event_input: Optional[bool] = None  # macOS
    fn_key: Optional[str] = None
    x11: Optional[X11] = None  # Linux, when no keyboard node can be read
    keyboard_layout: Optional[str] = None  # Windows: the active layout's HKL, in hex
    alt_gr: Optional[bool] = None  # Windows: that layout types with AltGr
    elevated: Optional[bool] = None  # Windows: the helper runs as administrator


@dataclass(frozen=True)
class ErrorLine:
    """The helper's own "error" line: its start failed. Never delivered as an event."""

    message: str


def _snake_case(name: str) -> str:
    return re.sub(r"(?<!^)([A-Z])", r"_\1", name).lower()


def from_json(cls: Any, fields: Dict[str, Any]) -> Any:
    """An instance of the dataclass from the helper's camelCase keys. Keys a
    newer helper adds are left out; a missing one raises TypeError."""
    known = {field.name for field in dataclasses.fields(cls)}
    values = {_snake_case(key): value for key, value in fields.items()}
    return cls(**{name: value for name, value in values.items() if name in known})


_EVENTS = {"ready": Ready, "permission": Permission, "toggle": Toggle, "release": Release,
           "error": ErrorLine}


def parse_line(line: str) -> Union[Event, ErrorLine]:
    """One line of the helper's output; a HelperError when it cannot be read."""
    try:
        fields = json.loads(line)
    except ValueError:
        return HelperError(f"helper wrote a line that is not JSON: {line}")
    kind = _EVENTS.get(fields.get("type")) if isinstance(fields, dict) else None
    try:
        if kind is not None:
            return from_json(kind, fields)
    except TypeError:
        pass
    return HelperError(f"helper wrote an unknown event: {line}")


def parse_diagnosis(fields: Dict[str, Any]) -> Diagnosis:
    """The diagnosis object; raises TypeError when it is not one."""
    if fields.get("type") != "diagnosis":
        raise TypeError("not a diagnosis")
    nested = {
        "problems": tuple(from_json(Problem, problem) for problem in fields.get("problems", ())),
        "devices": tuple(from_json(Device, device) for device in fields.get("devices", ())),
    }
    if isinstance(fields.get("x11"), dict):
        nested["x11"] = from_json(X11, fields["x11"])
    return from_json(Diagnosis, {**fields, **nested})
