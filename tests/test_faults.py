"""Fault injection: a failure at every single step of a run, failing
clean-ups, and memory exhaustion at every allocation of a run.

A run's clean-up duties are exact: after a failure the master being listed
is disconnected, the base driver in use is closed, and nothing else reaches
the driver library or the output. The tests derive those calls from the log
of a clean run and compare the whole log of each faulty run with them."""

import os
import subprocess
import sys
import textwrap

import pytest

from doubles import Injected, Library, several_masters

# The connection steps whose failure only skips the master.
GUARDED = {"base.driverName", "base.connect", "disableEventChecking", "connected", "drv.connect"}

VARIANTS = {
    "all masters": {},
    "addresses": dict(address=["192.0.2.12", "192.0.2.99", "COM5"], auto=True, gui=True),
}


def start(tc, **fault):
    lib = several_masters(Library())
    lib.install(tc)
    for name, value in fault.items():
        setattr(lib, name, value)
    return lib


def run(tc, lib, kwargs):
    return tc.check(printFnc=lib.printer(), **kwargs)


@pytest.fixture(params=list(VARIANTS))
def variant(request, tc):
    kwargs = VARIANTS[request.param]
    lib = start(tc)
    assert run(tc, lib, kwargs) is None
    return kwargs, lib.log


def clean_up_calls(clean, i):
    """The clean-up calls that a propagating fault at clean[i] must cause:
    the disconnect of the master owned at that point (from its last
    connection step to its disconnect) and the close of the base driver in
    use (from its making to its close), in that order."""
    calls = []
    for j, entry in enumerate(clean):
        if j <= i:
            continue
        if entry[0] == "disconnect":
            owned = max(g for g, e in enumerate(clean[:j])
                        if e[0] in ("connected", "drv.connect") and e[1] == entry[1])
            if owned < i:
                calls.append(entry)
        elif entry[0] == "close":
            made = max(b for b, e in enumerate(clean[:j])
                       if e[0] in ("newBase", "getBaseDriver") and e[1] == entry[1])
            if made < i:
                calls.append(entry)
    return calls


def master_of(clean, i):
    """The address of the master whose connection step clean[i] is."""
    if clean[i][0] == "base.driverName":
        return clean[i + 1][1]
    return clean[i][1]


def assert_idle(tc):
    assert tc._state.isRuning is False and tc._state.abort is False


def test_a_fault_at_any_call_propagates_after_exactly_the_clean_up(tc, variant):
    kwargs, clean = variant
    propagated = 0
    for k in range(1, len(clean) + 1):
        if clean[k - 1][0] in GUARDED:
            continue
        lib = start(tc, fail_at=k)
        with pytest.raises(Injected) as raised:
            run(tc, lib, kwargs)
        assert raised.value is lib.injected, k
        assert lib.log == clean[:k] + clean_up_calls(clean, k - 1), k
        assert_idle(tc)
        propagated += 1
    assert propagated > 40


def test_a_fault_in_a_connection_step_skips_only_that_master(tc, variant):
    kwargs, clean = variant
    summary = [e[1] for e in clean if e[0] == "print" and len(e) > 1 and "master(s)" in e[1]]
    steps = [k for k in range(1, len(clean) + 1) if clean[k - 1][0] in GUARDED]
    assert len(steps) >= 5
    for k in steps:
        lib = start(tc, fail_at=k)
        assert run(tc, lib, kwargs) is None, k
        assert lib.log[:k] == clean[:k]
        skipped = master_of(clean, k - 1)
        disconnects = [e[1] for e in lib.ops("disconnect")]
        listed = [e[1] for e in clean if e[0] == "disconnect" and e[1] != skipped]
        assert disconnects == listed, k
        assert [e[1] for e in lib.ops("close")] == [e[1] for e in clean if e[0] == "close"]
        printed = lib.printed()
        assert not any(t and t.lstrip("\n").startswith(("Master " + skipped, "[color=#4699ff][b]Master "
                                                         + skipped + "[")) for t in printed)
        assert len(printed) == len(set(printed))
        # The master still counts as found.
        assert [t.split()[0] for t in printed if t and "master(s)" in t] == [summary[0].split()[0]]
        assert_idle(tc)


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_interrupts_in_connection_steps_are_not_swallowed(tc, interrupt):
    kwargs = VARIANTS["all masters"]
    lib = start(tc)
    run(tc, lib, kwargs)
    clean = lib.log
    for k in [k for k in range(1, len(clean) + 1) if clean[k - 1][0] in GUARDED]:
        lib = start(tc, fail_at=k, error=interrupt("stop"))
        with pytest.raises(interrupt):
            run(tc, lib, kwargs)
        assert lib.log == clean[:k] + clean_up_calls(clean, k - 1), k
        assert_idle(tc)


class CleanupError(Exception):
    pass


def test_a_failing_clean_up_propagates_with_the_fault_as_context(tc, variant):
    kwargs, clean = variant
    chains = set()
    for k in range(1, len(clean) + 1):
        calls = clean_up_calls(clean, k - 1)
        if clean[k - 1][0] in GUARDED or not calls:
            continue
        failing = {"disconnect": CleanupError("disconnect"), "close": CleanupError("close")}
        lib = start(tc, fail_at=k, fail_after=failing)
        with pytest.raises(CleanupError) as raised:
            run(tc, lib, kwargs)
        # Both clean-ups were still attempted, each once.
        assert lib.log == clean[:k] + calls, k
        chain = [failing[op] for op, _ in reversed(calls)] + [lib.injected]
        assert raised.value is chain[0]
        for exc, context in zip(chain, chain[1:]):
            assert exc.__context__ is context, k
        assert chain[-1].__context__ is None
        assert_idle(tc)
        chains.add(tuple(op for op, _ in calls))
    assert chains == {("close",), ("disconnect", "close")}


def test_an_output_function_that_aborts_and_raises(tc, lib, out):
    """A fault raised by the output function right after it asked for an
    abort: the exception wins, the clean-up is the same."""
    several_masters(lib)

    def printer(*args):
        if args and args[0].startswith("  * Device port 1: Example"):
            tc.abort()
            raise Injected("printer")
        out(*args)

    with pytest.raises(Injected):
        tc.check(printFnc=printer)
    assert lib.ops("disconnect", "close") == [("disconnect", "192.0.2.10"), ("close", "IP")]
    assert tc._state.isRuning is False and tc._state.abort is True


# -- memory exhaustion --------------------------------------------------------

NOMEMORY_SCRIPT = textwrap.dedent("""
    import atexit, ctypes, gc, os, sys
    sys.path.insert(0, sys.argv[1])
    import _testcapi

    def leak_check():
        gc.collect()
        if lsan_check():
            os._exit(1)

    try:  # LeakSanitizer, in the sanitizer run: a check once all is done
        lsan_check = ctypes.CDLL(None).__lsan_do_recoverable_leak_check
        atexit.register(leak_check)
    except AttributeError:
        pass
    from velmora.tools import TessadynChecker as tc
    from doubles import Library, several_masters

    class Dict2Obj:
        # The configuration object without a dict item iterator: CPython 3.13
        # crashes when the allocation of its result tuple fails (gh-152107;
        # dict2obj meets it on i386, where that allocation is not served from
        # a free list).
        def __init__(self, d):
            for key in d:
                setattr(self, key, d[key])

    def check(address):
        lib = several_masters(Library())
        lib.install(tc)
        tc.Dict2Obj = Dict2Obj
        printer = lib.printer()
        return lib, (lambda: tc.check(address, True, printer, 3, None, True) if address
                     else tc.check(printFnc=printer))

    def memory_error_in(exc):
        seen = set()
        while exc is not None and id(exc) not in seen:
            if isinstance(exc, MemoryError):
                return True
            seen.add(id(exc))
            exc = exc.__context__ or exc.__cause__
        return False

    for address in (None, ["192.0.2.12", "192.0.2.99", "COM5"]):
        ref, go = check(address)
        go()
        expected = ref.log
        k, clean_in_a_row, failed = 0, 0, 0
        while clean_in_a_row < 300:
            k += 1
            lib, go = check(address)
            _testcapi.set_nomemory(k, k + 1)
            try:
                go()
                error = None
            except BaseException as exc:
                error = exc
            finally:
                _testcapi.remove_mem_hooks()
            if error is not None and not memory_error_in(error):
                raise AssertionError(f"allocation {k}: {error!r}") from error
            if tc._state.isRuning is not False:
                raise AssertionError(f"allocation {k}: still running")
            for op in ("disconnect", "close"):
                calls = [e[1] for e in lib.ops(op)]
                if len(calls) != len(set(calls)):
                    raise AssertionError(f"allocation {k}: {op} twice: {calls}")
            if error is None and lib.log == expected:
                clean_in_a_row += 1
            else:
                clean_in_a_row = 0
                failed += 1
            tc._state.abort = False
        # The module still works after all that.
        lib, go = check(address)
        go()
        assert lib.log == expected
        print(f"allocations {k - 300} failed {failed}", flush=True)
""")


def test_memory_exhaustion_at_every_allocation_of_a_run():
    pytest.importorskip("_testcapi")
    proc = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", NOMEMORY_SCRIPT, os.path.dirname(__file__)],
        capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    lines = proc.stdout.split("\n")
    assert len([line for line in lines if line.startswith("allocations ")]) == 2
    for line in lines:
        if line.startswith("allocations "):
            allocations, failed = int(line.split()[1]), int(line.split()[3])
            # Not every failed allocation shows: the interpreter absorbs some
            # (on i386 under ASan 173 of 303 left the run unchanged).
            assert allocations > 100 and failed > allocations // 3, line
