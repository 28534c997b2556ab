"""For a person at a terminal: prints the helper's lines as it writes them.

    python -m qen_hotkey_helper --shortcut fn [--report-release] [--fn-key NAME]
    python -m qen_hotkey_helper --diagnose [--fn-key NAME]

Ctrl+C stops it. The helper is found as find_binary() finds it, or given with --binary.
"""
import argparse
import sys

from . import HelperError, HelperStartError
from ._helper import Helper, _diagnosis_run


def _arguments(argv):
    parser = argparse.ArgumentParser(prog="python -m qen_hotkey_helper", description=(
        "Runs qen-hotkey-helper and prints its lines: the events of a shortcut until Ctrl+C, "
        "or its diagnosis."))
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--shortcut", help="fn or fn+space")
    mode.add_argument("--diagnose", action="store_true", help="what stands in the way")
    parser.add_argument("--report-release", action="store_true",
                        help="a release line when the shortcut is let go")
    parser.add_argument("--fn-key", metavar="NAME", help="another key that plays Fn's part")
    parser.add_argument("--binary", metavar="PATH", help="the helper to run")
    return parser.parse_args(argv)


def _watch(options) -> int:
    helper = Helper(options.shortcut, report_release=options.report_release,
                    fn_key=options.fn_key, binary_path=options.binary)
    try:
        while True:
            item = helper._next_in_thread()
            if item is None:  # it ended by itself, which it says as a HelperError first
                return 1
            line, event = item
            if isinstance(event, HelperError):
                print(f"qen-hotkey-helper: {event.message}", file=sys.stderr, flush=True)
            else:
                print(line, flush=True)
    except KeyboardInterrupt:
        return 0
    finally:
        helper.stop()


def main(argv=None) -> int:
    options = _arguments(argv)
    try:
        if options.diagnose:
            print(_diagnosis_run(options.binary, options.fn_key)[0])
            return 0
        return _watch(options)
    except HelperStartError as error:
        print(f"qen-hotkey-helper: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
