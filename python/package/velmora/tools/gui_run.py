"""The part of tessadyn-check-gui that runs a check: the form's options as
check() arguments, and the worker thread that runs check() and hands its
texts to the user-interface thread.  No Kivy here: the window passes in the
function that posts work to its thread (Clock.schedule_once)."""

from __future__ import annotations

import re
import sys
import threading
import traceback
from dataclasses import dataclass, field
from typing import Any, Callable, Optional, Self

from velmora.tools import inventory, report_text
from velmora.tools.frontend import (
    CHECKER, abort_check, describe, expect_addresses, library_log, load_checker, renew_abort,
)

__all__ = ["TRANSPORTS", "parse_addresses", "Options", "Failure", "Outcome", "Line", "Worker",
           "describe", "CHECKER"]

# Transport choices of the form: label, value of check()'s `select`.
TRANSPORTS = (
    ("All", None),
    ("USB", "usb"),
    ("Ethernet and WiFi", "eth"),
    ("Bluetooth LE", "ble"),
)

# Addresses are separated by commas, spaces or line breaks.
_SEPARATORS = re.compile(r"[,\s]+")


def parse_addresses(text: str) -> list[str]:
    """The addresses typed into the form, in order, each once."""
    seen: dict[str, None] = {}
    for token in _SEPARATORS.split(text):
        if token:
            seen.setdefault(token, None)
    return list(seen)


@dataclass(frozen=True)
class Options:
    """What the form asks for."""

    addresses: tuple[str, ...] = ()
    select: Optional[str] = None
    auto: bool = False
    verbose: int = 2

    def check_arguments(self) -> dict:
        """Keyword arguments of check(), less the output function."""
        return {
            "address": list(self.addresses) or None,
            "auto": bool(self.auto),
            "verbose": self.verbose,
            "select": self.select,
            "gui": True,
        }


@dataclass
class Failure:
    """An exception that ended a run: one line for the pane, the traceback
    for the details."""

    message: str
    details: str


@dataclass
class Outcome:
    """How a run ended.  `failure` is None when check() returned;
    `inventory` is then the plant as a document (velmora.tools.inventory),
    with "complete": false after an abort."""

    aborted: bool = False
    failure: Optional[Failure] = None
    inventory: Optional[dict] = None
    # What the health of the masters adds to the status ("3 pending diagnoses
    # on 2 masters; ..."), None when nothing was found.
    summary: Optional[str] = None
    completed: bool = field(init=False)
    # For the plant view: each master's ports (True: activated) by address
    # (the port faults are in the inventory).
    modes: dict = field(default_factory=dict)

    def __post_init__(self):
        self.completed = self.failure is None and not self.aborted


class Line:
    """One report text as the capture made it: as mark-up for the pane and
    as the plain text the command line prints."""

    __slots__ = ("markup", "plain")

    def __init__(self, markup: str, plain: str):
        self.markup = markup
        self.plain = plain


class _Driver:
    """A master driver as check() gets it, recording the modes of all its
    ports when check() reads them (check() itself stops at the first port
    in IO-Link mode)."""

    __slots__ = ("_driver", "_address", "_modes")

    def __init__(self, driver: Any, address: Any, modes: dict):
        self._driver = driver
        self._address = address
        self._modes = modes

    def __getattr__(self, name: str) -> Any:
        return getattr(self._driver, name)

    def getPortModes(self, *args: Any, **kwargs: Any) -> Any:
        modes = self._driver.getPortModes(*args, **kwargs)
        # Only a sequence is read here: an iterator would be used up before
        # check() reads it.
        if isinstance(modes, (list, tuple)):
            try:
                self._modes[self._address] = [bool(mode.activated()) for mode in modes]
            except Exception:
                pass
        return modes


class PortModes:
    """For one check() of `checker`: binds a `_get_master` in its namespace
    (which check() looks up at every call) that hands check() the master
    driver wrapped in a _Driver; the module's own is back afterwards."""

    def __init__(self, checker: Any):
        self.checker = checker
        self.modes: dict = {}
        self._own: Any = None
        self._wrapper: Any = None

    def __enter__(self) -> Self:
        try:
            namespace = vars(self.checker)
        except TypeError:  # no namespace to bind in: the plant view goes without modes
            return self
        own = namespace.get("_get_master")
        if callable(own):
            def get_master(bridge: Any, *args: Any, **kwargs: Any) -> Any:
                driver = own(bridge, *args, **kwargs)
                if driver is None:
                    return driver
                try:
                    address = inventory.raw(bridge.address)
                except Exception:
                    return driver
                return _Driver(driver, address, self.modes)

            self._own, self._wrapper = own, get_master
            namespace["_get_master"] = get_master
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._wrapper is None:
            return
        namespace = vars(self.checker)
        # Rebound by someone else in the meantime: theirs stays.
        if namespace.get("_get_master") is self._wrapper:
            namespace["_get_master"] = self._own


class Worker:
    """Runs one check() at a time in a thread of its own.

    `post(fn)` must run fn() on the user-interface thread.  Texts are
    collected in the worker and handed over in batches: one posted flush
    takes everything that arrived since the last one.  `on_done(outcome)`
    runs on the user-interface thread after the last texts of the run were
    handed over.
    """

    def __init__(self, post: Callable[[Callable[[], None]], None],
                 escape: Callable[[str], str] = lambda s: s,
                 load: Callable[[], Any] = load_checker):
        self._post = post
        self._targets = (report_text.Markup(escape), report_text.PLAIN)
        self._load = load
        self._lock = threading.Lock()
        self._pending: list[Line] = []
        self._flush_posted = False
        self._abort_requested = False
        self._on_lines: Callable[[list[Line]], None] = lambda lines: None
        self.thread: Optional[threading.Thread] = None
        self.checker: Any = None

    # -- state, from any thread ---------------------------------------------

    def alive(self) -> bool:
        return self.thread is not None and self.thread.is_alive()

    def busy(self) -> bool:
        """A check is in progress: ours, or any other of this process (the
        module allows one at a time)."""
        if self.alive():
            return True
        checker = self.checker
        if checker is None:
            # Not loaded by a run of ours yet; another caller may have.
            checker = sys.modules.get(CHECKER)
        return bool(checker is not None and checker.isRunning())

    @property
    def abort_requested(self) -> bool:
        return self._abort_requested

    # -- control, from the user-interface thread ----------------------------

    def start(self, options: Options, on_lines: Callable[[list[Line]], None],
              on_done: Callable[[Outcome], None]) -> bool:
        """Start a run; False when one is already in progress."""
        if self.busy():
            return False
        self._abort_requested = False
        self._on_lines = on_lines
        self.thread = threading.Thread(
            target=self._run, args=(options.check_arguments(), on_done),
            name="tessadyn-check", daemon=True)
        self.thread.start()
        return True

    def abort(self) -> None:
        """Ask the run to stop at its next step."""
        self._abort_requested = True
        checker = self.checker
        if checker is not None:
            abort_check(checker)

    def join(self, timeout: Optional[float]) -> bool:
        """Wait for the worker; True when it has ended."""
        thread = self.thread
        if thread is not None:
            thread.join(timeout)
        return not self.alive()

    def flush(self) -> None:
        """Hand the texts that arrived so far to on_lines (user-interface
        thread)."""
        with self._lock:
            lines, self._pending = self._pending, []
            self._flush_posted = False
        if lines:
            self._on_lines(lines)

    # -- the worker thread --------------------------------------------------

    def _print(self, markup: str, plain: str) -> None:
        checker = self.checker
        # check() clears the abort flag when it starts: an Abort pressed
        # before that must still stop the run, at its first step.
        if self._abort_requested and checker is not None:
            renew_abort(checker)
        line = Line(markup, plain)
        with self._lock:
            self._pending.append(line)
            post = not self._flush_posted
            self._flush_posted = True
        if post:
            self._post(self.flush)

    def _print_log(self, text: str) -> None:
        self._print(*(target.other(report_text.safe(text)) for target in self._targets))

    def _run(self, arguments: dict, on_done: Callable[[Outcome], None]) -> None:
        failure = None
        capture = None
        ports = None
        try:
            try:
                self.checker = self._load()
            except Exception as exc:
                failure = Failure(describe(exc, loading=True), traceback.format_exc())
            else:
                # A malformed address or range ends the run before any master is asked.
                arguments = {**arguments, "address": expect_addresses(arguments.get("address"))}
                if not self._abort_requested:
                    with library_log(self.checker, self._print_log), \
                            PortModes(self.checker) as ports, \
                            inventory.Capture(self.checker, arguments, self._targets) as capture:
                        self.checker.check(printFnc=capture.printer(self._print), **arguments)
                    summary = capture.health_summary()
                    if summary is not None and not self._abort_requested:
                        self._print(*(target.other(summary) for target in self._targets))
        except Exception as exc:
            if not self._abort_requested:  # after an abort: its consequence, the run was aborted
                failure = Failure(describe(exc), traceback.format_exc())
        finally:
            outcome = Outcome(aborted=self._abort_requested and failure is None,
                              failure=failure)
            if capture is not None and failure is None:
                outcome.inventory = capture.document(outcome.completed)
                if outcome.completed:
                    outcome.summary = capture.health_summary()
            if ports is not None:
                outcome.modes = ports.modes
            me = threading.current_thread()

            def done():
                # Posting this is the thread's last act: once it has
                # returned, the worker is no longer alive.
                me.join()
                self.flush()
                on_done(outcome)

            self._post(done)
