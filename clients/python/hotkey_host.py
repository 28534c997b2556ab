#!/usr/bin/env python3
"""A host of QenHotkeyHelper in plain Python: starts it, prints what it
reports, and stops it with SIGTERM when this host is asked to stop.

    python3 hotkey_host.py /path/to/qen-hotkey-helper [fn|fn+space]
"""
import json
import signal
import subprocess
import sys


def main():
    helper_path = sys.argv[1]
    shortcut = sys.argv[2] if len(sys.argv) > 2 else "fn+space"
    sys.stdout.reconfigure(line_buffering=True)
    helper = subprocess.Popen([helper_path, "--shortcut", shortcut],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, errors="replace")

    # Asked to stop: SIGTERM to the helper, which then ends its output.
    def stop(signum, frame):
        helper.terminate()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    for line in helper.stdout:  # one JSON object per line
        event = json.loads(line)
        if event["type"] == "ready":
            print("ready:", event["shortcut"],
                  "keyboard access:", event["accessibilityTrusted"])
        elif event["type"] in ("permission", "error"):
            print(event["type"] + ":", event["message"])
        elif event["type"] == "toggle":
            print("toggle:", event["shortcut"])

    status = helper.wait()
    # The helper never writes to standard error: what is there comes from
    # the system, such as the loader's missing library or glibc version.
    system_said = helper.stderr.read(2048).strip()
    if system_said:
        print("the system said:", system_said)
    if status == 0:  # after SIGTERM or SIGINT, or when it lost this host
        print("helper stopped")
    elif status == 1:  # after its "error" line
        print("helper did not start")
    elif status > 1:  # it could not run: the system said why
        print("helper could not run, status", status)
    else:  # a signal before it set up its own handling of it
        print("helper ended by signal", -status)
    return 0 if status == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
