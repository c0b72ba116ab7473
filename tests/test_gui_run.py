"""The window's run machinery without a window (velmora.tools.gui_run): the
form's addresses and options as check() arguments, and the worker thread
with a posting function that queues instead of Kivy's clock."""

import queue
import re
import sys
import threading
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

from velmora.base import sim
from velmora.tools import TessadynChecker
from velmora.tools.gui_run import TRANSPORTS, Options, Worker, describe, parse_addresses

# The library's note that emulated masters are checked, a warning in the pane.
NOTE = "WARNING: velmora.base: emulated masters: "


# --- the form's values -------------------------------------------------------------

token = st.text(min_size=1).filter(lambda t: not re.search(r"[,\s]", t))
separator = st.text(alphabet=", \n\t\r\u00a0\u2028", min_size=1, max_size=4)


@given(st.lists(token, max_size=8), st.lists(separator, min_size=9, max_size=9), st.booleans())
def test_addresses_are_the_tokens_between_separators_each_once(tokens, seps, leading):
    text = (seps[-1] if leading else "") + "".join(t + s for t, s in zip(tokens, seps))
    assert parse_addresses(text) == list(dict.fromkeys(tokens))


@given(st.text())
def test_addresses_never_hold_separators_or_empty_entries(text):
    addresses = parse_addresses(text)
    assert all(a and not re.search(r"[,\s]", a) for a in addresses)
    assert len(set(addresses)) == len(addresses)


class Str(str):
    pass


@given(addresses=st.lists(st.text(min_size=1).map(Str), max_size=3),
       select=st.sampled_from([v for _, v in TRANSPORTS]),
       auto=st.one_of(st.booleans(), st.integers(), st.none(), st.text()))
def test_options_as_check_arguments(addresses, select, auto):
    arguments = Options(tuple(addresses), select, auto).check_arguments()
    assert arguments == {"address": addresses or None, "auto": bool(auto), "verbose": 2,
                         "select": select, "gui": True}
    assert type(arguments["address"]) is list or arguments["address"] is None
    assert arguments["auto"] in (True, False)


def test_transport_choices_are_selections_the_checker_knows():
    assert [value for _, value in TRANSPORTS] == [None, "usb", "eth", "ble"]


# --- the worker ----------------------------------------------------------------------

class Posted:
    """Stands in for Clock.schedule_once: collects what the worker posts;
    run() plays it on the test's thread, as the window's thread would."""

    def __init__(self):
        self.items = queue.Queue()

    def __call__(self, fn):
        self.items.put(fn)

    def run_until(self, done, limit=60):
        while not done():
            self.items.get(timeout=limit)()


def start(worker, posted, options=None):
    lines, outcomes = [], []
    assert worker.start(options or Options(), lines.extend, outcomes.append)
    posted.run_until(lambda: outcomes)
    assert not worker.alive()
    return lines, outcomes[0]


@pytest.fixture
def demo():
    sim.use_installation(None)
    yield
    sim.use_installation(None)


def plain_report(**kwargs):
    out = []
    TessadynChecker.check(printFnc=lambda text="": out.append(text), **kwargs)
    return out


def test_a_run_hands_over_every_text_in_order(demo):
    posted = Posted()
    worker = Worker(posted)
    lines, outcome = start(worker, posted)
    assert outcome.completed and outcome.failure is None and not outcome.aborted
    assert [line.plain for line in lines if not line.plain.startswith(NOTE)] == plain_report()
    assert any(line.markup.startswith("\n[color=#4699ff][b]Master ") for line in lines)
    assert TessadynChecker.isRunning() is False


def test_a_malformed_address_ends_the_run_before_any_master_is_asked(demo):
    posted = Posted()
    lines, outcome = start(Worker(posted), posted, Options(addresses=("COM5", "10.0.0.0/33")))
    assert lines == [] and outcome.failure is not None
    assert "'10.0.0.0/33': prefix /33 out of range (0..32)" in outcome.failure.message
    assert sim.events("discover") == []


def test_texts_arrive_in_batches_not_one_post_each(demo):
    posted = Posted()
    worker = Worker(posted)
    hold = threading.Event()
    real_flush = worker.flush

    def slow_flush():
        hold.wait(30)
        real_flush()

    worker.flush = slow_flush
    lines, outcomes = [], []
    worker.start(Options(), lines.extend, outcomes.append)
    worker.join(60)
    hold.set()
    # The whole run queued while the first flush had not run: one flush
    # post, then the end.
    assert posted.items.qsize() == 2
    posted.run_until(lambda: outcomes)
    assert [line.plain for line in lines if not line.plain.startswith(NOTE)] == plain_report()


class FakeChecker:
    """Behaves like the module's run state: check() clears the abort flag
    when it starts and polls it before each of its texts."""

    class _state:
        abort = False
        isRuning = False

    def __init__(self, texts=("banner", "one", "two"), before_start=None, fail=None):
        self.texts = texts
        self.before_start = before_start
        self.fail = fail
        self.printed = []

    def check(self, printFnc, **kwargs):
        if self.before_start:
            self.before_start()
        self._state.abort = False
        self._state.isRuning = True
        try:
            for text in self.texts:
                printFnc(text)
                self.printed.append(text)
                if self._state.abort:
                    return
            if self.fail:
                raise self.fail
        finally:
            self._state.isRuning = False

    def abort(self):
        self._state.abort = True

    def isRunning(self):
        return self._state.isRuning


def test_abort_before_check_resets_the_flag_still_stops_the_run():
    posted = Posted()
    worker = Worker(posted, load=lambda: checker)
    # Abort pressed after the module loaded, just before check() began.
    checker = FakeChecker(before_start=lambda: worker.abort())
    lines, outcome = start(worker, posted)
    assert checker.printed == ["banner"]
    assert outcome.aborted and not outcome.completed


def test_abort_before_the_module_loaded_runs_no_check():
    posted = Posted()
    checker = FakeChecker()
    release = threading.Event()

    def load():
        release.wait(30)
        return checker

    worker = Worker(posted, load=load)
    lines, outcomes = [], []
    worker.start(Options(), lines.extend, outcomes.append)
    worker.abort()
    release.set()
    posted.run_until(lambda: outcomes)
    assert checker.printed == [] and lines == [] and outcomes[0].aborted


@pytest.mark.parametrize("exc, message", [
    (ImportError("No module named 'velmora.base'"), "No module named 'velmora.base'"),
    (KeyError("port"), "KeyError: 'port'"),
    (ValueError(), "ValueError"),
    (RuntimeError("two\nlines\x1b[31m"), "RuntimeError: two lines"),
])
def test_failures_are_one_line_with_the_traceback_behind(exc, message):
    posted = Posted()
    checker = FakeChecker(fail=exc)
    lines, outcome = start(Worker(posted, load=lambda: checker), posted)
    assert outcome.failure.message.startswith(message)
    assert "\n" not in outcome.failure.message and "\x1b" not in outcome.failure.message
    assert outcome.failure.details.startswith("Traceback")
    assert not outcome.aborted and not outcome.completed
    assert [line.plain for line in lines] == ["banner", "one", "two"]


def test_a_missing_module_is_reported_as_a_load_failure():
    posted = Posted()

    def load():
        raise ModuleNotFoundError("No module named 'velmora.base'")

    lines, outcome = start(Worker(posted, load=load), posted)
    assert outcome.failure.message == "cannot load the checker: No module named 'velmora.base'"


def test_one_run_at_a_time():
    posted = Posted()
    release = threading.Event()
    checker = FakeChecker(before_start=lambda: release.wait(30))
    worker = Worker(posted, load=lambda: checker)
    outcomes = []
    assert worker.start(Options(), lambda lines: None, outcomes.append)
    assert worker.busy()
    assert worker.start(Options(), lambda lines: None, outcomes.append) is False
    release.set()
    posted.run_until(lambda: outcomes)
    assert len(outcomes) == 1 and not worker.busy()


class Odd:
    def __str__(self):
        return "[b]odd[/b]"


def test_texts_that_are_not_str_are_shown_as_their_str():
    posted = Posted()
    checker = FakeChecker(texts=(Odd(), Str("sub")))
    lines, outcome = start(Worker(posted, escape=lambda s: s.replace("[", "<"),
                                  load=lambda: checker), posted)
    assert [line.plain for line in lines] == ["[b]odd[/b]", "sub"]
    assert lines[0].markup == "<b]odd</b]"


@given(st.text())
def test_describe_is_always_one_safe_line(message):
    text = describe(RuntimeError(message))
    assert not re.search("[\x00-\x1f\x7f-\x9f\u202a-\u202e\u2066-\u2069]", text)


def test_kivy_probes_of_optional_providers_are_one_debug_line():
    import logging

    from velmora.tools.gui import _QuietProbes

    try:
        raise OSError("libmtdev.so.1: cannot open shared object file")
    except OSError:
        probe = logging.LogRecord("kivy", logging.ERROR, "", 1, "Input: MTDev is not supported by "
                                  "your version of linux", (), sys.exc_info())
    error = logging.LogRecord("kivy", logging.CRITICAL, "", 1, "Window: Unable to find any "
                              "valuable Window provider.%s", ("\nsdl2 - ImportError",), None)
    assert _QuietProbes().filter(error) and error.levelno == logging.CRITICAL  # a real error
    shown = _QuietProbes().filter(probe)
    assert (probe.levelno, probe.exc_info, probe.getMessage()) == (
        logging.DEBUG, None, "Input: MTDev is not supported by your version of linux "
        "(OSError: libmtdev.so.1: cannot open shared object file)")
    assert shown is logging.getLogger("kivy").isEnabledFor(logging.DEBUG)


@pytest.mark.parametrize("configured", [False, True])
def test_the_driver_librarys_warnings_reach_the_pane_too(configured):
    from types import SimpleNamespace

    from velmora.base import IoddUtility

    def index_var(idx):
        return None

    class Warning(FakeChecker):
        def __init__(self):
            super().__init__()
            self.Dict2Obj = lambda config: SimpleNamespace(**config)

        def check(self, printFnc, **kwargs):
            manager = IoddUtility.CommonDriverManager
            if not manager.iodd:  # as check() configures the driver library
                manager.iodd = self.Dict2Obj({"_logger": IoddUtility.Logger(2), "_getIndexVar": index_var})
            manager.iodd._logger.warning("velmora.base: Master 10.0.0.5:80 port 3: \x1b[2Jx")
            manager.iodd._logger.info("not shown")
            super().check(printFnc, **kwargs)

    saved = IoddUtility.CommonDriverManager.iodd
    IoddUtility.CommonDriverManager.iodd = SimpleNamespace(
        _logger=IoddUtility.Logger(2), _getIndexVar=index_var) if configured else None
    try:
        posted = Posted()
        checker = Warning()
        own = checker.Dict2Obj
        lines, outcome = start(Worker(posted, load=lambda: checker), posted)
        assert IoddUtility.CommonDriverManager.iodd._getIndexVar is index_var  # the checker's own
        assert checker.Dict2Obj is own
    finally:
        IoddUtility.CommonDriverManager.iodd = saved
    assert outcome.completed
    assert [line.plain for line in lines] == ["WARNING: velmora.base: Master 10.0.0.5:80 port 3: \\x1b[2Jx",
                                              "banner", "one", "two"]


def test_a_run_of_a_plant_with_findings_ends_with_their_count_for_the_status():
    posted = Posted()
    sim.use_installation(str(Path(__file__).parents[1] / "standin" / "examples" / "health.json"))
    try:
        lines, outcome = start(Worker(posted), posted)
    finally:
        sim.use_installation(None)
    assert outcome.summary == "5 pending diagnoses on 2 masters; 1 port with invalid process data"
    assert lines[-1].plain == outcome.summary
    assert "    [color=#ff4040]ERROR[/color] 0x1813: Overcurrent" in "\n".join(line.markup for line in lines)
