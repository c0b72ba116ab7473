"""tessadyn-check: the command-line front end of the Tessadyn checker.

It parses the options, runs one check() of velmora.tools.TessadynChecker and
writes the report to standard output, flushed line by line, in colour on a
terminal.  Ctrl-C asks the running check to stop; a second Ctrl-C quits.

Everything in a report, a warning or an error can come from a master or a
device on the network, so nothing reaches standard output or standard error
unless it was made safe (report_text): the report runs through
inventory.Capture, which makes each value of a master or device safe before
the module joins it into a text, so control characters are shown escaped,
line feeds inside values cannot make lines of their own, and only the
checker's own labels are coloured.

With --json it prints the plant as one JSON document instead (see
velmora.tools.inventory); with --compare FILE the differences from an
inventory saved so.

Exit status: 0 the run completed (with --compare: the plant matches), 1 an
error ended it, 2 usage error, 3 the plant differs from the inventory, 130
interrupted, 141 the reader of standard output or standard error went away
(`| head`): the run stopped quietly, as a command that SIGPIPE ends.
"""

from __future__ import annotations

import argparse
import io
import math
import os
import signal
import sys
import threading
import time
import traceback
from collections.abc import Callable

from velmora.tools import inventory, report_text, watch
from velmora.tools.frontend import (
    EXIT_DIFFERS,
    EXIT_ERROR,
    EXIT_INTERRUPTED,
    EXIT_OK,
    EXIT_READER_GONE,
    EXIT_USAGE,
    SELECTIONS,
    abort_check,
    address_argument,
    catch_sigint,
    describe_error,
    expect_addresses,
    load_checker,
    renew_abort,
    silence,
)
from velmora.tools.report_text import safe

__all__ = ["main", "build_parser", "use_color", "EXIT_OK", "EXIT_ERROR", "EXIT_USAGE",
           "EXIT_DIFFERS", "EXIT_INTERRUPTED", "EXIT_READER_GONE", "address_argument"]

PROG = "tessadyn-check"

EPILOG = """\
examples:
  tessadyn-check                          all masters on all transports
  tessadyn-check -s usb                   USB masters only
  tessadyn-check -a 10.0.0.5              the master at this IP address (REST,
                                          http, else https)
  tessadyn-check -a 10.0.0.5:8080 -a COM5 a master at host:port, and a USB one
  tessadyn-check -a https://10.0.0.5      a master over https (also :PORT)
  tessadyn-check -a 10.0.0.5#2            master 2 of a gateway
  tessadyn-check -a 10.0.0.0/24           every master in an address range
                                          (also 10.0.0.10-10.0.0.40, :PORT;
                                          at most 1024 addresses)
  tessadyn-check --auto -a 10.0.0.5       activate the ports of a master whose
                                          ports are all disabled
  tessadyn-check --color never > report.txt
  tessadyn-check --json > plant.json      the plant as JSON, to keep
  tessadyn-check --compare plant.json     what differs from it now
  tessadyn-check --watch 2 | tee log.txt  the report, then what changes,
                                          checking every 2 seconds

with none of the variables below set, the stand-in driver library checks its
emulated demo plant (and says so on standard error); an address that is none
of its masters is asked over the network.

environment:
  VELMORA_BASE_REST_HOSTS     masters asked when no -a is given (hosts,
                              host:port, URLs, ranges; comma-separated)
  VELMORA_BASE_INSTALLATION   installation file (emulated masters, REST hosts,
                              timeouts, pins)
  NETRC                       credentials: netrc file (default ~/.netrc,
                              machine HOST login USER password PASS)
  VELMORA_BASE_REST_PINS      pinned certificates, HOST[:PORT]=SHA256,...
                              (also SSL_CERT_FILE, SSL_CERT_DIR: a plant's CA)
  VELMORA_BASE_REST_CONNECT_TIMEOUT, ..._READ_TIMEOUT, ..._REQUEST_TIMEOUT
                              time limits in seconds (1, 3, 5)

Ctrl-C stops the check after the current step (the master is disconnected);
press it twice to quit at once.

exit status: 0 completed (--compare: the plant matches), 1 error, 2 usage
error, 3 the plant differs from the inventory, 130 interrupted, 141 the
reader of the output went away (e.g. | head)
"""

def _as_is(text: str) -> str:
    return text


class _SafeLines(io.TextIOBase):
    """Standard error while the checker and the driver library run: their
    warnings and log records (and Python's own) carry text from masters.
    Each write is made safe; only a line feed that ends a write is kept, so
    a message cannot start lines of its own.

    A reader that went away must not fail the driver library's logging in
    the middle of its work (a master half connected): the write is dropped,
    `gone` set and `on_gone()` called, which stops the run."""

    def __init__(self, stream):
        super().__init__()
        self._stream = stream
        self.gone = False
        self.on_gone: Callable[[], None] = lambda: None
        # A watch's later rounds: the lines of the round before, not
        # written again, and this round's.
        self._before: set[str] | None = None
        self._now: set[str] = set()
        self._pending = ""

    def next_round(self) -> None:
        """A round of a watch ended: in the next, a line that this round
        wrote (a master that still fails, a port fault still there) is not
        written again; the driver library says each once per change."""
        self._before, self._now = self._now, set()

    def _reader_gone(self) -> None:
        if not self.gone:
            self.gone = True
            silence(self._stream)
            self.on_gone()

    def write(self, s):
        if not isinstance(s, str):
            raise TypeError(f"write() argument must be str, not {type(s).__name__}")
        body, end = (s[:-1], "\n") if s.endswith("\n") else (s, "")
        if self._before is not None:
            # Held until a write ends the line (print() writes its line
            # feed on its own), then written unless the round before had it.
            self._pending += body
            if not end:
                return len(s)
            body, self._pending = self._pending, ""
            self._now.add(body)
            if body in self._before:
                return len(s)
        if not self.gone:
            try:
                self._stream.write(safe(body) + end)
            except BrokenPipeError:
                self._reader_gone()
        return len(s)

    def writable(self):
        return True

    def flush(self):
        try:
            self._stream.flush()
        except BrokenPipeError:
            self._reader_gone()

    def fileno(self):
        return self._stream.fileno()

    def isatty(self):
        return self._stream.isatty()

    # Read-only, as io's own are at run time (typeshed declares attributes).
    @property
    def encoding(self):  # type: ignore[override]
        return getattr(self._stream, "encoding", None)

    @property
    def errors(self):  # type: ignore[override]
        return getattr(self._stream, "errors", None)


class _Parser(argparse.ArgumentParser):
    """Usage errors quote the arguments as given: their lines are made safe."""

    def _print_message(self, message, file=None):
        if message:
            file = file or sys.stderr
            try:
                file.write("\n".join(safe(line) for line in message.split("\n")))
                file.flush()
            except BrokenPipeError:
                silence(file)
                raise SystemExit(EXIT_READER_GONE) from None
            except (AttributeError, OSError):
                pass


def _verbosity(value: str) -> int:
    try:
        level = int(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid level {value!r} (expected 0..9)") from None
    if not 0 <= level <= 9:
        raise argparse.ArgumentTypeError(f"level {level} out of range (expected 0..9)")
    return level


# --watch without SECONDS, and the longest interval.
WATCH_INTERVAL = watch.DEFAULT_INTERVAL
WATCH_LONGEST = 86400.0


def _interval(value: str) -> float:
    try:
        seconds = float(value)
    except ValueError:
        seconds = math.nan
    if not (math.isfinite(seconds) and 0 < seconds <= WATCH_LONGEST):
        raise argparse.ArgumentTypeError(
            f"invalid interval {value!r} (expected seconds, more than 0, at most {WATCH_LONGEST:.0f})")
    return seconds


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
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
        type=address_argument,
        metavar="ADDR",
        help="check only the master at ADDR (IP address or host name, "
        "host:port, http(s):// URL, ADDRESS#N, address range, COM port, BLE "
        "address); repeat for several masters",
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
        "--details",
        action="store_true",
        help="show each device's communication (transmission rate, cycle "
        "time, IO-Link revision) under it",
    )
    parser.add_argument(
        "--json",
        action="store_true",
        help="print the plant as one JSON document instead of the report "
        "(with --compare: the differences)",
    )
    rounds = parser.add_mutually_exclusive_group()
    rounds.add_argument(
        "--compare",
        metavar="FILE",
        help="compare the plant with an inventory saved by --json and print "
        "the differences; exit 0 when it matches, 3 when it differs",
    )
    rounds.add_argument(
        "--watch",
        nargs="?",
        const=WATCH_INTERVAL,
        type=_interval,
        metavar="SECONDS",
        help="check again every SECONDS (default %g) until Ctrl-C: the report "
        "first, then one line per change (with --json: one JSON object per "
        "line); --auto counts for the first check only" % WATCH_INTERVAL,
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
        try:
            os.write(fd, (text + "\n").encode(errors="replace"))
        except OSError:  # a reader that went away: the run stops all the same
            pass


class _Interrupts:
    """SIGINT handling for one check run.  The first Ctrl-C asks the checker
    to stop at its next poll point, so that it disconnects the current master
    and closes its base driver itself; the second ends the process at once,
    with status 130.  The previous handler is back in place on exit, except
    after an interrupt in the command itself (``program``): the process is
    ending then, and a second Ctrl-C on its way out still quits quietly."""

    program = False  # set by main() run as the command
    interrupted = False  # a Ctrl-C came in this process

    def __init__(self, checker):
        self.checker = checker
        self.count = 0
        self._restore: Callable[[], None] | None = None

    def __enter__(self):
        self._restore = catch_sigint(self._handle)
        return self

    def __exit__(self, *exc_info):
        # After an interrupt in the command itself the process is ending:
        # the handler stays, so that a second Ctrl-C on its way out still
        # quits quietly.
        if self._restore is not None and not (self.count and self.program):
            self._restore()
        return False

    def _handle(self, signum, frame):
        self.count += 1
        _Interrupts.interrupted = True
        if self.count == 1:
            _say("aborting... (press Ctrl-C again to quit at once)")
            abort_check(self.checker)
            return
        # Not KeyboardInterrupt: raised wherever the main thread happens to
        # be, it can leave half-built objects behind (a socket file object
        # without its socket, whose finaliser then prints "Exception ignored
        # ... 'SocketIO' object has no attribute '_sock'"), and the clean-up
        # it runs is the very wait the user wants to cut short.  The report
        # is flushed after each text, so no output is pending.
        os._exit(EXIT_INTERRUPTED)

    def renew_abort(self):
        """check() clears the abort flag when it starts: an interrupt that
        came just before that must still stop the run."""
        if self.count:
            renew_abort(self.checker)


def _report_writer(stream, interrupts):
    """The output function of the capture: one call per report text (made
    safe, it may span several lines)."""

    def write(text):
        interrupts.renew_abort()
        stream.write(text + "\n")
        stream.flush()

    return write


def _traceback_lines(exc: BaseException) -> list[str]:
    """The traceback of exc and of the exceptions it was raised from, in
    Python's layout, each message (which may come from a master) on one
    safe line."""
    chain: list[tuple[traceback.TracebackException, str | None]] = []
    te: traceback.TracebackException | None = traceback.TracebackException.from_exception(exc)
    while te is not None:
        if te.__cause__ is not None:
            chain.append((te, "The above exception was the direct cause of the following exception:"))
            te = te.__cause__
        elif te.__context__ is not None and not te.__suppress_context__:
            chain.append((te, "During handling of the above exception, another exception occurred:"))
            te = te.__context__
        else:
            chain.append((te, None))
            te = None
    lines = []
    for n, (te, connector) in enumerate(reversed(chain)):
        if n:
            lines += ["", connector or "", ""]  # set on all but the first
        if te.stack:
            lines.append("Traceback (most recent call last):")
            for frame in te.stack.format():
                lines += [safe(line) for line in frame.rstrip("\n").split("\n")]
        lines.append(safe("".join(te.format_exception_only()).rstrip("\n")))
    return lines


def _error(message: str, debug: bool) -> int:
    if debug:
        exc = sys.exception()
        if exc is not None:
            for line in _traceback_lines(exc):
                sys.stderr.write(line + "\n")
    sys.stderr.write(f"{PROG}: error: {safe(message.strip())}\n")
    return EXIT_ERROR


def main(argv=None) -> int:
    _Interrupts.program = argv is None  # the command's own process
    parser = build_parser()
    args = parser.parse_args(argv)  # usage errors: SystemExit(2)
    try:
        args.address = expect_addresses(args.address)
    except ValueError as exc:  # a malformed address or range: before any master is asked
        parser.error(f"argument -a/--address: {exc}")
    except ImportError:
        pass  # no driver library: the check says so
    try:
        status = _run(args)
    except KeyboardInterrupt:
        status = EXIT_INTERRUPTED
    if (status == EXIT_INTERRUPTED or _Interrupts.interrupted) and _Interrupts.program \
            and threading.current_thread() is threading.main_thread():
        # The command ends after a Ctrl-C (130, or 0 for a watch stopped
        # between rounds).  One more on its way out is ignored: Python puts
        # back the system's default action when it shuts down, and that
        # would kill the process instead of letting it exit with its status.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    return status


def _run(args) -> int:
    saved = sys.stderr
    sys.stderr = errors = _SafeLines(saved)
    try:
        status = _check(args, errors)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader of standard output went away (`| head`): nothing left
        # to tell it.  The check has disconnected its master on the way out.
        silence(sys.stdout)
        return EXIT_READER_GONE
    finally:
        sys.stderr = saved
    return EXIT_READER_GONE if errors.gone else status


def _check(args, errors: _SafeLines) -> int:
    out = sys.stdout
    if hasattr(out, "reconfigure"):
        # A console or pipe that cannot encode a device's text must not end
        # the run in the middle of a report.
        out.reconfigure(errors="backslashreplace")

    saved = None
    if args.compare is not None:
        # Checked before any master is asked.
        try:
            saved = inventory.load_inventory(args.compare)
        except inventory.InventoryError as exc:
            return _error(f"{args.compare}: {exc}", args.debug)

    try:
        checker = load_checker()
    except Exception as exc:
        return _error(describe_error(exc, loading=True), args.debug)

    if args.version:
        out.write(
            safe(f"{PROG} {checker.__version__} "
                 f"(driver library velmora.base {checker.__baseversion__})") + "\n"
        )
        return EXIT_OK

    if args.watch is None and (args.json or saved is not None):
        return _check_data(args, checker, out, saved)

    target: report_text.Target
    if args.gui_markup:
        # The checker's own mark-up as it is, the data made safe (tag-like
        # text in it is passed on as well, as the checker gives it).
        target = report_text.Markup(_as_is)
    elif use_color(args.color, out):
        target = report_text.Coloured()
    else:
        target = report_text.PLAIN

    if args.watch is not None:
        return _watch(args, checker, out, errors, target)

    options = {"address": args.address, "auto": args.auto, "verbose": args.verbose,
               "select": args.select}
    with _Interrupts(checker) as interrupts, \
            inventory.Capture(checker, options, (target,), details=args.details) as capture:
        errors.on_gone = checker.abort
        try:
            checker.check(
                printFnc=capture.printer(_report_writer(out, interrupts)),
                gui=target.gui,
                **options,
            )
        except BrokenPipeError:
            raise
        except Exception as exc:
            if interrupts.count:  # the abort's consequence (a request cut short), not an error
                return EXIT_INTERRUPTED
            return _error(describe_error(exc), args.debug)
    if interrupts.count:
        return EXIT_INTERRUPTED
    found = capture.health_summary()
    if found is not None:
        _write(out, found + "\n")
    return EXIT_OK



def _check_data(args, checker, out, saved) -> int:
    """--json and --compare: the check without its report, recorded; then
    the document, or the differences from the saved inventory.  An
    interrupted check prints a document with "complete": false (--json) or
    no comparison (--compare); an error prints neither."""
    options = {"address": args.address, "auto": args.auto, "verbose": args.verbose,
               "select": args.select}
    if saved is not None and isinstance(saved.get("options"), dict) and \
            saved["options"].get("auto") is (not args.auto):
        # Ports left off report no devices: the comparison would show them missing.
        sys.stderr.write(f"{PROG}: warning: {safe(args.compare)} was saved by a check "
                         f"{'with' if not args.auto else 'without'} --auto\n")

    def quiet(text):
        if interrupts.count:
            renew_abort(checker)

    with _Interrupts(checker) as interrupts, inventory.Capture(checker, options) as capture:
        try:
            checker.check(printFnc=capture.printer(quiet), gui=False, **options)
        except Exception as exc:
            if not interrupts.count:  # after an abort: its consequence, the document says incomplete
                return _error(describe_error(exc), args.debug)
    found = capture.document(completed=not interrupts.count)
    if saved is None:
        _write(out, inventory.dumps(found))
        return EXIT_INTERRUPTED if interrupts.count else EXIT_OK
    if interrupts.count:
        return EXIT_INTERRUPTED
    if not found["complete"]:
        return _error("the check could not be recorded completely: no comparison", args.debug)
    differences = inventory.compare(saved, found)
    if args.json:
        _write(out, inventory.dumps(
            inventory.differences_document(differences, args.compare, saved, found)))
    else:
        _write(out, "".join(d.line() + "\n" for d in differences) or "no differences\n")
    return EXIT_DIFFERS if differences else EXIT_OK


class _WatchInterrupts(_Interrupts):
    """SIGINT during a watch: in a round as for one check (the round
    stops at its next step; a second Ctrl-C quits at once); between rounds
    the watch ends."""

    def __init__(self, checker):
        super().__init__(checker)
        self.between = False
        self.ended = threading.Event()

    def _handle(self, signum, frame):
        if self.between:
            _Interrupts.interrupted = True
            self.ended.set()
            return
        super()._handle(signum, frame)

    def wait(self, seconds: float) -> bool:
        """Wait between rounds; True when Ctrl-C ended the watch."""
        self.between = True
        try:
            return self.ended.wait(max(seconds, 0.0)) or bool(self.count)
        finally:
            self.between = False


class _Status:
    """The quiet status of a watch on a terminal: one line, rewritten in
    place after each round without changes, wiped before the next text."""

    def __init__(self, stream):
        self.stream = stream
        self.width = 0

    def show(self, text: str) -> None:
        self.clear()
        self.stream.write(text)
        self.stream.flush()
        self.width = len(text)

    def clear(self) -> None:
        if self.width:
            self.stream.write("\r" + " " * self.width + "\r")
            self.stream.flush()
            self.width = 0


def _watch(args, checker, out, errors: _SafeLines, target: report_text.Target) -> int:
    """--watch: rounds of checks until Ctrl-C, one at a time, each after
    the one before ended (at most every args.watch seconds).  The first
    prints the report (--json: the inventory, on one line); each later one
    the changes since the round before, one line each, flushed, nothing when
    nothing changed.  --auto counts for the first round only."""
    tracker = watch.Tracker()
    status = _Status(out) if not args.json and _isatty(out) else None
    rounds = 0
    errors.next_round()  # from now on a line of the driver library is written once per change
    with _WatchInterrupts(checker) as interrupts:
        errors.on_gone = checker.abort
        while True:
            started = time.monotonic()
            first = not rounds
            if status is not None:
                status.clear()  # a warning of the round starts a line of its own
            options = {"address": args.address, "auto": args.auto and first,
                       "verbose": args.verbose, "select": args.select}
            report = first and not args.json
            failure = None
            with inventory.Capture(checker, options, (target,) if report else (report_text.PLAIN,),
                                   details=report and args.details) as capture:
                if report:
                    printer = capture.printer(_report_writer(out, interrupts))
                else:
                    printer = capture.printer(lambda *texts: interrupts.renew_abort())
                try:
                    checker.check(printFnc=printer, gui=report and target.gui, **options)
                except BrokenPipeError:
                    raise
                except Exception as exc:
                    failure = describe_error(exc)
                    if first:
                        _error(failure, args.debug)
            rounds += 1
            errors.next_round()
            if errors.gone:
                return EXIT_READER_GONE
            document = capture.document(completed=failure is None and not interrupts.count)
            if interrupts.count:
                if first and args.json and failure is None:
                    _write(out, watch.json_line(document) + "\n")
                return EXIT_INTERRUPTED
            if first:
                tracker.first(document, failure)
                found = capture.health_summary() if report and failure is None else None
                if found is not None:  # as one check ends
                    out.write(found + "\n")
                    out.flush()
                if args.json:
                    out.write(watch.json_line(document) + "\n")
                    out.flush()
            else:
                changes = tracker.next(document, failure)
                if changes and status is not None:
                    status.clear()
                for change in changes:
                    out.write((change.json_line() if args.json else change.line()) + "\n")
                    out.flush()
                if not changes and status is not None:
                    status.show(f"{watch.local_time(document['time'])} round {rounds}: no changes")
            if interrupts.wait(started + args.watch - time.monotonic()):
                if status is not None:
                    status.clear()
                return EXIT_OK


def _isatty(stream) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


def _write(out, text: str) -> None:
    try:
        out.write(text)
        out.flush()
    except BrokenPipeError:
        silence(out)


if __name__ == "__main__":
    sys.exit(main())
