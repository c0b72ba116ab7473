"""tessadyn-check: the command-line front end of the Tessadyn checker.

It parses the options, runs one check() of velmora.tools.TessadynChecker and
writes the report to standard output, flushed line by line, in colour on a
terminal.  Ctrl-C asks the running check to stop; a second Ctrl-C quits.

Exit status: 0 the run completed, 1 an error ended it, 2 usage error,
130 interrupted.
"""

from __future__ import annotations

import argparse
import os
import re
import signal
import sys
import threading
import traceback
from collections.abc import Callable

PROG = "tessadyn-check"

EXIT_OK = 0
EXIT_ERROR = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

SELECTIONS = ("usb", "eth", "ethernet", "ble")

EPILOG = """\
examples:
  tessadyn-check                          all masters on all transports
  tessadyn-check -s usb                   USB masters only
  tessadyn-check -a 192.168.10.21         one master
  tessadyn-check -a 192.168.10.21 -a COM5 several masters
  tessadyn-check --auto -a 192.168.10.22  activate the ports of a master whose
                                          ports are all disabled
  tessadyn-check --color never > report.txt

Ctrl-C stops the check after the current step (the master is disconnected);
press it twice to quit at once.

exit status: 0 completed, 1 error, 2 usage error, 130 interrupted
"""

# The checker marks up master and device headings for a GUI with these tags.
_MARKUP = re.compile(r"\[(?:color=#([0-9a-fA-F]{6})|/color|b|/b)\]")
_ANSI_CLOSE = {"[/color]": "\x1b[39m", "[b]": "\x1b[1m", "[/b]": "\x1b[22m"}


def markup_to_ansi(text: str) -> str:
    """Render the checker's GUI mark-up as ANSI escapes: 24-bit foreground
    colour for [color=#rrggbb], bold for [b]; the closing tags reset just
    what their opening tag set."""

    def replace(match: re.Match[str]) -> str:
        rgb = match.group(1)
        if rgb:
            r, g, b = (int(rgb[i : i + 2], 16) for i in (0, 2, 4))
            return f"\x1b[38;2;{r};{g};{b}m"
        return _ANSI_CLOSE[match.group(0)]

    return _MARKUP.sub(replace, text)


def _verbosity(value: str) -> int:
    try:
        level = int(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid level {value!r} (expected 0..9)") from None
    if not 0 <= level <= 9:
        raise argparse.ArgumentTypeError(f"level {level} out of range (expected 0..9)")
    return level


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Find IO-Link masters (Ethernet/WiFi, USB, Bluetooth LE),\n"
        "list the devices on their ports and print a report.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--auto",
        action="store_true",
        help="activate the ports of masters whose ports are all disabled; this "
        "changes the master's port configuration, use with caution in "
        "productive systems (USB masters are always handled this way)",
    )
    parser.add_argument(
        "-a",
        "--address",
        action="append",
        metavar="ADDR",
        help="check only the master at ADDR (IP address, COM port, BLE address); "
        "repeat for several masters",
    )
    parser.add_argument(
        "-s",
        "--select",
        type=str.lower,
        choices=SELECTIONS,
        help="use only one kind of master: usb, eth/ethernet (Ethernet and WiFi) "
        "or ble (case-insensitive)",
    )
    parser.add_argument(
        "-v",
        "--verbose",
        type=_verbosity,
        default=2,
        metavar="N",
        help="driver library log level 0..9 on standard error (default: 2, "
        "errors and warnings)",
    )
    parser.add_argument(
        "--gui-markup",
        action="store_true",
        help="print the report with the GUI mark-up tags as they are",
    )
    parser.add_argument(
        "--color",
        choices=("auto", "always", "never"),
        default="auto",
        help="colour the report (default: auto, when standard output is a "
        "terminal and NO_COLOR is not set)",
    )
    parser.add_argument(
        "--debug", action="store_true", help="show the traceback of an error"
    )
    parser.add_argument(
        "--version",
        action="store_true",
        help="show the checker's and the driver library's versions and exit",
    )
    return parser


def _enable_windows_ansi(stream) -> bool:
    """Switch a Windows console to VT processing so that it renders ANSI
    escapes; False when that is not possible (no console, old Windows)."""
    if sys.platform != "win32":
        return False
    import ctypes
    import msvcrt

    ENABLE_VIRTUAL_TERMINAL_PROCESSING = 0x0004
    try:
        handle = msvcrt.get_osfhandle(stream.fileno())
    except (AttributeError, OSError, ValueError):
        return False
    kernel32 = ctypes.windll.kernel32
    mode = ctypes.c_uint32()
    if not kernel32.GetConsoleMode(handle, ctypes.byref(mode)):
        return False
    if mode.value & ENABLE_VIRTUAL_TERMINAL_PROCESSING:
        return True
    return bool(kernel32.SetConsoleMode(handle, mode.value | ENABLE_VIRTUAL_TERMINAL_PROCESSING))


def use_color(choice: str, stream) -> bool:
    if choice == "never":
        return False
    if choice == "auto":
        # https://no-color.org: set and not empty means no colour.
        if os.environ.get("NO_COLOR") or os.environ.get("TERM") == "dumb":
            return False
        try:
            if not stream.isatty():
                return False
        except (AttributeError, ValueError):
            return False
    if sys.platform == "win32":
        return _enable_windows_ansi(stream) or choice == "always"
    return True


def _say(text: str) -> None:
    """Write a line to standard error from a signal handler.  os.write does
    not take the text stream's lock, which the interrupted code may hold."""
    try:
        fd = sys.stderr.fileno()
    except (AttributeError, OSError, ValueError):
        sys.stderr.write(text + "\n")
        sys.stderr.flush()
    else:
        os.write(fd, (text + "\n").encode(errors="replace"))


class _Interrupts:
    """SIGINT handling for one check run.  The first Ctrl-C asks the checker
    to stop at its next poll point, so that it disconnects the current master
    and closes its base driver itself; the second raises KeyboardInterrupt at
    once (and a third gets the default action, in case the clean-up hangs).
    The previous handler is back in place on exit."""

    def __init__(self, checker):
        self.checker = checker
        self.count = 0
        self.installed = False
        self.previous = None

    def __enter__(self):
        # Python handles signals only in the main thread.
        if threading.current_thread() is threading.main_thread():
            self.previous = signal.signal(signal.SIGINT, self._handle)
            self.installed = True
        return self

    def __exit__(self, *exc_info):
        # None: a handler not set from Python, which cannot be put back.
        if self.installed and self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)
        return False

    def _handle(self, signum, frame):
        self.count += 1
        if self.count == 1:
            _say("aborting... (press Ctrl-C again to quit at once)")
            self.checker.abort()
            return
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        raise KeyboardInterrupt

    def renew_abort(self):
        """check() clears the abort flag when it starts: an interrupt that
        came just before that must still stop the run."""
        if self.count and not self.checker._state.abort:
            self.checker.abort()


def _report_writer(stream, render, interrupts):
    """The printFnc for check(): one call per report (a text that may span
    several lines), one call without argument for an empty line."""

    def write(text=""):
        interrupts.renew_abort()
        stream.write(render(str(text)) + "\n")
        stream.flush()

    return write


def _error(message: str, debug: bool) -> int:
    if debug:
        traceback.print_exc()
    sys.stderr.write(f"{PROG}: error: {' '.join(message.split())}\n")
    return EXIT_ERROR


def _load_checker():
    """Import the checker module, which imports the driver library
    velmora.base and dict2obj when it loads."""
    from velmora.tools import TessadynChecker

    return TessadynChecker


def _load_problem(exc: BaseException) -> str:
    if isinstance(exc, ImportError):
        # "No module named 'velmora.base'", "cannot import name '_IoddDrv'
        # from 'velmora.base' (...)": these name the module already.
        return f"cannot load the checker: {exc}"
    where = ""
    frames = traceback.extract_tb(exc.__traceback__)
    if frames:
        where = f" (in {frames[-1].filename}, line {frames[-1].lineno})"
    return f"cannot load the checker: {type(exc).__name__}: {exc}{where}"


def _run_problem(exc: Exception) -> str:
    """The driver library's own errors say what went wrong; for Python's
    built-in exceptions ("[Errno 111] Connection refused", "'port'") the
    type name is part of the message."""
    if type(exc).__module__ == "builtins":
        return f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
    return str(exc) or type(exc).__name__


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)  # usage errors: SystemExit(2)
    try:
        return _run(args)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED


def _run(args) -> int:
    out = sys.stdout
    if hasattr(out, "reconfigure"):
        # A console or pipe that cannot encode a device's text must not end
        # the run in the middle of a report.
        out.reconfigure(errors="backslashreplace")

    try:
        checker = _load_checker()
    except Exception as exc:
        return _error(_load_problem(exc), args.debug)

    if args.version:
        out.write(
            f"{PROG} {checker.__version__} "
            f"(driver library velmora.base {checker.__baseversion__})\n"
        )
        return EXIT_OK

    render: Callable[[str], str]
    if args.gui_markup:
        gui, render = True, str
    elif use_color(args.color, out):
        gui, render = True, markup_to_ansi
    else:
        gui, render = False, str

    with _Interrupts(checker) as interrupts:
        try:
            checker.check(
                address=args.address,
                auto=args.auto,
                printFnc=_report_writer(out, render, interrupts),
                verbose=args.verbose,
                select=args.select,
                gui=gui,
            )
        except BrokenPipeError:
            # The reader went away (e.g. `| head`): nothing left to tell it.
            # Point stdout at devnull so the exit flush does not fail again.
            os.dup2(os.open(os.devnull, os.O_WRONLY), out.fileno())
            return EXIT_ERROR
        except Exception as exc:
            return _error(_run_problem(exc), args.debug)
    return EXIT_INTERRUPTED if interrupts.count else EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
