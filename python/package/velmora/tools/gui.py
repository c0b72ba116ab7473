"""tessadyn-check-gui: the graphical front end of the Tessadyn checker.

A window with the check's options (addresses, transport, port activation),
Check and Abort, and the report as it arrives.  check() runs in a worker
thread; its texts reach the window through Kivy's clock.

    tessadyn-check-gui [-a ADDR]... [-s KIND] [--auto]
    tessadyn-check-gui --snapshot FILE.png [-a ADDR]... [-s KIND] [--auto]

The options fill the form.  With --snapshot the window runs one check at
once, saves a picture of itself when the run ends and exits: 0 the run
completed, 1 an error.  It needs no display: without one it renders
offscreen.
"""

from __future__ import annotations

import argparse
import logging
import os
import re
import sys

from velmora.tools.frontend import EXIT_ERROR, EXIT_INTERRUPTED, SELECTIONS, address_argument

PROG = "tessadyn-check-gui"
DEFAULT_SIZE = (1000, 760)


def _size(value: str) -> tuple[int, int]:
    try:
        width, height = (int(v) for v in value.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid size {value!r} (expected WIDTHxHEIGHT)") from None
    if not (320 <= width <= 8192 and 240 <= height <= 8192):
        raise argparse.ArgumentTypeError(f"size {value} out of range (320x240 .. 8192x8192)")
    return width, height


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Window of the Tessadyn checker: find IO-Link masters, "
        "list the devices on their ports, keep the report.",
    )
    parser.add_argument("-a", "--address", action="append", type=address_argument, metavar="ADDR", default=[],
                        help="check only the master at ADDR; repeat for several")
    parser.add_argument("-s", "--select", type=str.lower, choices=SELECTIONS,
                        help="only usb, eth/ethernet (Ethernet and WiFi) or ble masters")
    parser.add_argument("--auto", action="store_true",
                        help="activate the ports of masters whose ports are all disabled "
                        "(changes the masters' port configuration: use with caution "
                        "in productive systems)")
    parser.add_argument("--snapshot", metavar="FILE.png",
                        help="run one check, save a picture of the window when it ends, "
                        "exit 0 (completed) or 1 (error)")
    parser.add_argument("--size", type=_size, default=DEFAULT_SIZE, metavar="WxH",
                        help="window size in pixels (default %dx%d)" % DEFAULT_SIZE)
    return parser


def _has_display() -> bool:
    if sys.platform in ("win32", "darwin"):
        return True
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


# What Kivy logs, with a traceback, when an optional provider it probes is
# missing: xclip and xsel for the cut buffer, libmtdev and the other input
# providers, and a configuration it upgrades on its first start.
_PROBES = re.compile(r"(Input: \w+ is not (supported|available)"
                     r"|Cutbuffer: Unable to find any valuable"
                     r"|Config: (Older configuration|Upgrading configuration))")


class _QuietProbes(logging.Filter):
    """Kivy's records of missing optional providers become one debug line
    (shown only where debug logging is on); every other record passes."""

    def filter(self, record: logging.LogRecord) -> bool:
        try:
            message = record.getMessage()
        except Exception:
            return True
        if not _PROBES.match(message):
            return True
        lines = message.split("\n")
        # The cut buffer's message lists "xclip - FileNotFoundError: ..." lines.
        causes = [line for line in lines[1:] if re.match(r"\w+ - \w+", line)]
        exc = record.exc_info[1] if record.exc_info else None
        if exc is not None:
            causes.append(f"{type(exc).__name__}: {exc}")
        record.msg = lines[0].split(". Please enable")[0] + (f" ({'; '.join(causes)})" if causes else "")
        record.args, record.exc_info, record.exc_text = (), None, None
        record.levelno, record.levelname = logging.DEBUG, "DEBUG"
        return logging.getLogger("kivy").isEnabledFor(logging.DEBUG)


def configure_kivy(size: tuple[int, int], headless: bool) -> None:
    """Kivy's settings; must run before Kivy creates the window."""
    kivy_logger = logging.getLogger("kivy")
    if not any(isinstance(f, _QuietProbes) for f in kivy_logger.filters):
        kivy_logger.addFilter(_QuietProbes())
    # Kivy must not read this program's command line.
    os.environ["KIVY_NO_ARGS"] = "1"
    # Log through Python's logging (warnings and errors on standard error).
    os.environ.setdefault("KIVY_LOG_MODE", "PYTHON")
    os.environ.setdefault("KIVY_NO_FILELOG", "1")
    # SDL's clipboard works wherever the window does.
    os.environ.setdefault("KIVY_CLIPBOARD", "sdl2")
    if headless and not os.environ.get("SDL_VIDEODRIVER"):
        os.environ["SDL_VIDEODRIVER"] = "offscreen"
    from kivy.config import Config

    Config.set("graphics", "width", str(size[0]))
    Config.set("graphics", "height", str(size[1]))
    Config.set("graphics", "resizable", "0" if headless else "1")
    Config.set("input", "mouse", "mouse,disable_multitouch")
    Config.set("kivy", "exit_on_escape", "0")


def _kivy_missing() -> str | None:
    """What to install when Kivy is not there, None when it is.  Kivy is
    only looked for: importing it reads its settings, made later."""
    from importlib.util import find_spec

    if find_spec("kivy") is not None:
        return None
    requirement = "kivy"
    try:
        from importlib.metadata import requires

        requirement = next(r.split(";")[0].strip() for r in requires("velmora-tessadyn-checker") or ()
                           if r.startswith("kivy") and 'extra == "gui"' in r)
    except (ImportError, StopIteration):
        pass
    return (f'the window needs Kivy, from the checker\'s extra "gui": pip install "{requirement}" '
            '(or, in the checkout, pip install ".[gui]")')


def main(argv=None) -> int:
    try:
        return _main(argv)
    except KeyboardInterrupt:  # before the window handles Ctrl-C itself
        return EXIT_INTERRUPTED


def _main(argv) -> int:
    args = build_parser().parse_args(argv)  # usage errors: SystemExit(2)
    if (missing := _kivy_missing()) is not None:
        sys.stderr.write(f"{PROG}: error: {missing}\n")
        return EXIT_ERROR
    if args.snapshot is not None:
        folder = os.path.dirname(os.path.abspath(args.snapshot))
        if not os.path.isdir(folder):
            sys.stderr.write(f"{PROG}: error: no folder {folder} for the snapshot\n")
            return EXIT_ERROR
    display = _has_display() or bool(os.environ.get("SDL_VIDEODRIVER"))
    if args.snapshot is None and not display:
        # SDL would open a window nobody can see, and wait for ever.
        sys.stderr.write(f"{PROG}: error: no display (DISPLAY or WAYLAND_DISPLAY is not set); "
                         "--snapshot FILE.png works without one\n")
        return EXIT_ERROR
    configure_kivy(args.size, headless=not display)

    from velmora.tools.gui_app import CheckerApp
    from velmora.tools.gui_run import Options

    # "ethernet" is the form's "eth" (Ethernet and WiFi).
    select = "eth" if args.select == "ethernet" else args.select
    options = Options(addresses=tuple(args.address), select=select, auto=args.auto)
    app = CheckerApp(options=options, snapshot=args.snapshot)
    app.run()
    return app.exit_status


if __name__ == "__main__":
    sys.exit(main())
