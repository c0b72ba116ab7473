"""What the two front ends (tessadyn-check and tessadyn-check-gui) share:
loading the checker, the selection values and the address argument, the
exit statuses, describing an error, renewing an abort, Ctrl-C, and the
driver library's log.  No terminal output and no Kivy here."""

from __future__ import annotations

import argparse
import os
import signal
import threading
import traceback
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, Callable, Optional

from velmora.tools.report_text import safe

# check()'s selection values, as both front ends offer them, and the
# transport (base driver name) each keeps.
SELECTED_TRANSPORT = {"usb": "USB", "eth": "IP", "ethernet": "IP", "ble": "BLE"}
SELECTIONS = tuple(SELECTED_TRANSPORT)

EXIT_OK = 0
EXIT_ERROR = 1
EXIT_USAGE = 2
EXIT_DIFFERS = 3
EXIT_INTERRUPTED = 130
EXIT_READER_GONE = 141  # 128 + SIGPIPE, what a shell shows for the standard tools

CHECKER = "velmora.tools.TessadynChecker"


def load_checker():
    """The checker module; importing it imports the driver library
    velmora.base and dict2obj."""
    from velmora.tools import TessadynChecker

    return TessadynChecker


def address_argument(value: str) -> str:
    """-a ADDR: an empty address names no master (and would be looked up
    on every transport as one)."""
    if not value.strip():
        raise argparse.ArgumentTypeError("empty address (leave out -a to check all masters)")
    return value


def expect_addresses(addresses: list[str] | None) -> list[str] | None:
    """The addresses checked (None: all masters), ranges expanded, told to
    the driver library so that it probes them at once (a library without
    the call gets them as given).  Raises ValueError for a malformed one."""
    from velmora import base

    expect = getattr(base, "expect_addresses", None)
    if not callable(expect):
        return addresses
    return expect(addresses or []) or None


def describe_error(exc: BaseException, loading: bool = False) -> str:
    """What went wrong, as a text (not yet made safe to show).  The driver
    library's own errors say it themselves; for Python's built-in exceptions
    ("[Errno 111] Connection refused", "'port'") the type name is part of
    it.  An import error names the module already."""
    if isinstance(exc, ImportError):
        text = str(exc) or type(exc).__name__
    elif type(exc).__module__ == "builtins" or loading:
        text = f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
    else:
        text = str(exc) or type(exc).__name__
    if not loading:
        return text
    if not isinstance(exc, ImportError):
        frames = traceback.extract_tb(exc.__traceback__)
        if frames:
            text += f" (in {frames[-1].filename}, line {frames[-1].lineno})"
    return f"cannot load the checker: {text}"


def describe(exc: BaseException, loading: bool = False) -> str:
    """describe_error() as one safe line."""
    return safe(" ".join(describe_error(exc, loading).split()))


def abort_check(checker) -> None:
    """Ask the check to stop at its next step, and the driver library to
    end its waits under way (its ``IoddUtility.abort()``, when it has one),
    so that a slow master does not hold the stop back.  The library is told
    from a thread of its own: called from a signal handler, its locks may be
    held by the very code interrupted."""
    checker.abort()
    library_abort = getattr(getattr(checker, "IoddUtility", None), "abort", None)
    if callable(library_abort):
        threading.Thread(target=library_abort, name="tessadyn-abort", daemon=True).start()


def renew_abort(checker) -> None:
    """For an output function once an abort was asked for: check() clears
    the abort flag when it starts, so an abort that came just before must be
    asked for again to stop the run.  Asking again is harmless."""
    abort_check(checker)


def silence(stream) -> None:
    """The reader of stream went away: what is still buffered, and whatever
    is written later (Python flushes the standard streams at exit), goes to
    the null device, so that nothing fails on it again."""
    try:
        fd = stream.fileno()
        null = os.open(os.devnull, os.O_WRONLY)
    except (AttributeError, OSError, ValueError):
        return
    try:
        os.dup2(null, fd)
    finally:
        os.close(null)


def catch_sigint(handler: Callable[[int, Any], None]) -> Optional[Callable[[], None]]:
    """Handle SIGINT with handler; returns what puts the previous handler
    back, or None when nothing was set.  Python handles signals only in the
    main thread, and a SIGINT ignored when the program started (a
    background job of a script) stays ignored, as the interpreter itself
    leaves it."""
    if (threading.current_thread() is not threading.main_thread()
            or signal.getsignal(signal.SIGINT) is signal.SIG_IGN):
        return None
    previous = signal.signal(signal.SIGINT, handler)

    def restore() -> None:
        # None: a handler not set from Python, which cannot be put back.
        if previous is not None:
            signal.signal(signal.SIGINT, previous)

    return restore


# ---------------------------------------------------------------- the driver library's log


class LibraryLog:
    """The driver library's logger as a front end sees it: every line goes
    to the logger the library had (standard error), and its warnings and
    errors also through `forward`."""

    def __init__(self, inner: Any):
        self.inner = inner
        self.forward: Callable[[str], None] = lambda text: None

    def __getattr__(self, name: str) -> Any:
        return getattr(self.inner, name)

    def _both(self, level: str, msg: Any) -> None:
        getattr(self.inner, level)(msg)
        self.forward(f"{level.upper()}: {msg}")

    def warning(self, msg: Any) -> None:
        self._both("warning", msg)

    def error(self, msg: Any) -> None:
        self._both("error", msg)


@contextmanager
def library_log(checker, forward: Callable[[str], None]) -> Iterator[None]:
    """For one run of checker: the driver library's warnings and errors
    also reach `forward`.  Its configuration stays check()'s own: check()
    makes it on its first run through `Dict2Obj`, which it looks up in its
    namespace at that moment, so for the run that name calls the module's
    own after wrapping the logger in the configuration in a LibraryLog; a
    configuration made before gets its logger wrapped at once.  Without the
    driver library the log stays where it goes (standard error)."""
    try:
        from velmora.base import IoddUtility

        iodd = IoddUtility.CommonDriverManager.iodd
        namespace = vars(checker)
    except Exception:
        yield
        return

    def forwarding(log: Any) -> LibraryLog:
        if not isinstance(log, LibraryLog):
            log = LibraryLog(log)
        log.forward = forward
        return log

    if iodd:
        try:
            iodd._logger = forwarding(iodd._logger)
        except Exception:
            pass
        yield
        return
    own = namespace.get("Dict2Obj")

    def configuring(config: Any) -> Any:
        try:
            config["_logger"] = forwarding(config["_logger"])
        except Exception:
            pass
        return own(config)

    if own is not None:
        namespace["Dict2Obj"] = configuring
    try:
        yield
    finally:
        # Rebound by someone else in the meantime: theirs stays.
        if own is not None and namespace.get("Dict2Obj") is configuring:
            namespace["Dict2Obj"] = own
