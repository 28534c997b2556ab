#!/usr/bin/python3
"""Types keys into the X server through XTEST, by key code, after giving the
keyboard focus to the window with the given name (a Wine window).

  DISPLAY=:N tests/windows/xtest-keys.py WINDOW_NAME +CODE -CODE ...

+CODE presses the key with that X key code, -CODE releases it. Codes, not
keysyms: typing a keysym would bring the modifiers it needs along."""
import sys
import time

from Xlib import X, display
from Xlib.ext import xtest


def find(window, name):
    if window.get_wm_name() == name:
        return window
    for child in window.query_tree().children:
        found = find(child, name)
        if found is not None:
            return found
    return None


def main():
    screen = display.Display()
    target = None
    for _ in range(100):  # the window may not be mapped yet
        target = find(screen.screen().root, sys.argv[1])
        if target is not None:
            break
        time.sleep(0.05)
    if target is None:
        sys.exit(f"xtest-keys: no window named {sys.argv[1]}")
    target.set_input_focus(X.RevertToParent, X.CurrentTime)
    screen.sync()
    for key in sys.argv[2:]:
        kind = X.KeyPress if key[0] == "+" else X.KeyRelease
        xtest.fake_input(screen, kind, int(key[1:]))
        screen.sync()


main()
