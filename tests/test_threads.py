"""abort() from another thread while a run is in progress.

A run stops at the first poll point after the abort (before each driver
entry, each master, each requested address and each device), disconnects the
master it is listing, closes the base driver in use and prints nothing more;
a driver-library call in progress is not interrupted."""

import os
import random
import sys
import threading

import pytest

from doubles import Library, several_masters

SCALE = float(os.environ.get("TESSADYN_STRESS", "1"))
RUNS = max(50, int(3000 * SCALE))
WAIT = 10   # seconds before a hand-over between the threads counts as hung

VARIANTS = {
    "all masters": {},
    "addresses": dict(address=["192.0.2.12", "192.0.2.99", "COM5"], gui=True),
}


@pytest.fixture(autouse=True)
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def start(tc):
    lib = several_masters(Library())
    lib.install(tc)
    return lib


def run(tc, lib, kwargs):
    return tc.check(printFnc=lib.printer(), **kwargs)


def poll_points(clean):
    """Indexes of the calls that a poll of the abort flag precedes: each
    driver entry, each master (its first call), each requested address and
    each device record."""
    points = []
    for i, entry in enumerate(clean):
        first_of_master = (entry[0] == "master.driverName" or entry[0] == "checkActiveMasterDriver"
                           and clean[i - 1][0] != "master.driverName")
        if (entry[0] in ("getBaseDriverType", "IoddDev") or first_of_master
                or entry[0] == "discover" and len(entry) > 2):
            points.append(i)
    return points


def stopped_at(clean, j):
    """The log of a run that stops at the poll before clean[j]: everything
    before it, then the disconnect of the master being listed and the close
    of the base driver in use."""
    calls = []
    for entry in clean[j:]:
        opened = {"disconnect": ("connected", "drv.connect"), "close": ("newBase", "getBaseDriver")}
        if entry[0] in opened and any(e[0] in opened[entry[0]] and e[1] == entry[1]
                                      for e in clean[:j]):
            calls.append(entry)
    return clean[:j] + calls


@pytest.fixture(params=list(VARIANTS))
def variant(request, tc):
    kwargs = VARIANTS[request.param]
    lib = start(tc)
    run(tc, lib, kwargs)
    return kwargs, lib.log


def test_an_abort_during_any_call_stops_at_the_next_poll(tc, variant):
    kwargs, clean = variant
    points = poll_points(clean)
    assert len(points) >= 8
    for i in range(len(clean)):
        lib = start(tc)
        reached, resumed, seen = threading.Event(), threading.Event(), []

        def hold(entry, i=i):
            if len(lib.log) == i + 1:
                reached.set()
                assert resumed.wait(WAIT)

        def aborter():
            assert reached.wait(WAIT)
            seen.append(tc.isRunning())
            tc.abort()
            resumed.set()

        lib.on_event = hold
        thread = threading.Thread(target=aborter)
        thread.start()
        assert run(tc, lib, kwargs) is None
        thread.join(WAIT)
        assert seen == [True]
        later = [j for j in points if j > i]
        # After the last poll a run completes, summary and all.
        assert lib.log == (stopped_at(clean, later[0]) if later else clean), i
        assert tc._state.isRuning is False and tc._state.abort is True


def test_an_abort_while_the_last_master_is_listed_still_ends_with_the_summary(tc, lib):
    ip = lib.transport("IP")
    ip.master("192.0.2.10", devices=[(1, 1, 2, None), (2, 3, 4, None)])
    reached, resumed = threading.Event(), threading.Event()

    def hold(entry):
        if entry[0] == "getDevices":
            reached.set()
            assert resumed.wait(WAIT)

    def aborter():
        assert reached.wait(WAIT)
        tc.abort()
        resumed.set()

    lib.on_event = hold
    thread = threading.Thread(target=aborter)
    thread.start()
    tc.check(printFnc=lib.printer())
    thread.join(WAIT)
    assert lib.ops("IoddDev") == []
    assert lib.log[-5:] == [("disconnect", "192.0.2.10"), ("close", "IP"), ("print",),
                            ("print", "1 master(s) and 2 device(s) found"),
                            ("print", "Visit https://www.velmora.com for more informations")]
    assert tc._state.isRuning is False


def test_thousands_of_runs_with_a_concurrent_aborting_thread(tc):
    """Each run is aborted by the other thread after a random delay from its
    banner on, or completes first: either way it ends exactly as a run
    stopped at one of its poll points, or as a complete run."""
    clean_lib = start(tc)
    run(tc, clean_lib, {})
    clean = clean_lib.log
    expected = {j: stopped_at(clean, j) for j in poll_points(clean)}
    done, started = threading.Event(), threading.Event()
    rng = random.Random(5)
    delays = [rng.randrange(3000) for _ in range(997)]

    def aborter():
        n = 0
        while not done.is_set():
            if started.wait(0.05):
                started.clear()
                for _ in range(delays[n % len(delays)]):
                    pass
                tc.abort()
                n += 1

    thread = threading.Thread(target=aborter)
    thread.start()
    stops = {}
    try:
        for _ in range(RUNS):
            lib = start(tc)
            output = lib.printer()

            def printer(*args):
                if args and args[0].startswith("Velmora"):
                    started.set()
                output(*args)

            assert tc.check(printFnc=printer) is None
            assert tc._state.isRuning is False
            if lib.log == clean:
                stop = None
            else:
                stop = next(j for j, log in expected.items() if log == lib.log)
            stops[stop] = stops.get(stop, 0) + 1
    finally:
        done.set()
        thread.join(WAIT)
    # The aborts landed at many different points of the runs.
    assert len(stops) >= (6 if RUNS >= 1000 else 2), stops


def test_overlapping_runs_in_two_threads_do_not_crash(tc):
    """Not a supported use (one check at a time per process), but the
    module must survive it: every run ends with None or an exception of
    its own."""
    lib = start(tc)
    errors = []

    def runs(printFnc):
        for _ in range(max(20, RUNS // 20)):
            try:
                tc.check(printFnc=printFnc)
            except Exception as exc:   # the double's bookkeeping may collide
                errors.append(exc)

    threads = [threading.Thread(target=runs, args=(lib.printer(),)) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
        assert not thread.is_alive()
    assert [e for e in errors if isinstance(e, SystemError)] == []
    assert tc._state.isRuning is False
    tc._state.abort = False
    fresh = start(tc)
    assert run(tc, fresh, {}) is None and fresh.printed()[-2].startswith("4 master(s)")
