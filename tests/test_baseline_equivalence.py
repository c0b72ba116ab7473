"""The C++ module against the plain-Python baseline of the benchmarks
(benchmarks/baseline_checker.py), on the benchmarks' driver-library double.

Both are written independently from the same description of the checker, so
agreement here is a check of each against the other: the same output texts
and output calls, the same reads and calls on the driver library's objects in
the same order, the same results, run state and exceptions.
"""

import pathlib
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

T = pytest.importorskip("velmora.tools.TessadynChecker")

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "benchmarks"))
import baseline_checker as B  # noqa: E402
import hostile as H  # noqa: E402
import driver_double as D  # noqa: E402

IMPLS = (T, B)


@pytest.fixture(autouse=True)
def clean_state():
    yield
    for m in IMPLS:
        m._state.abort = False
        m._state.isRuning = False


def outcome(module, masters=12, devices=3, iodd=False, prepare=None, stop_at=None,
            raise_at=None, **kwargs):
    """One check() of `module` on a fresh traced double: everything observable."""
    trace = []
    lib = D.Installation(masters, devices, iodd=iodd, trace=trace)
    if prepare:
        prepare(lib)
        trace.clear()
    out = []

    def printer(*args):
        out.append(args)
        if len(out) == stop_at:
            module.abort()
        if len(out) == raise_at:
            raise RuntimeError("output failed")

    error = None
    with lib.installed(module):
        try:
            result = module.check(printFnc=printer, **kwargs)
        except Exception as exc:  # compared below
            result, error = None, (type(exc), str(exc))
        iodd_obj = lib.IoddUtility.CommonDriverManager.iodd
        index = None
        if iodd_obj is not None and hasattr(iodd_obj, "_getIndexVar"):
            index = [iodd_obj._getIndexVar(i) for i in (15, 16, 20, 24, 25)]
            index.append(iodd_obj._getIndexVar(idx=17))
    return dict(out=out, trace=trace, result=result, error=error, index=index,
                running=module.isRunning(), abort=module._state.abort)


def assert_same(**kwargs):
    got, want = (outcome(m, **kwargs) for m in IMPLS)
    for key in want:
        assert got[key] == want[key], f"{key} differs"
    return got


@pytest.mark.parametrize("kwargs", [
    {},
    {"gui": True},
    {"auto": True},
    {"gui": 1, "auto": "yes", "verbose": 0},
    {"verbose": -1},
    {"verbose": 9},
    {"address": ["10.0.0.0", "COM4", "nope", "10.0.0.0", "10.0.0.5"]},
    {"address": ["10.0.0.0", "10.0.0.0"]},
    {"address": "COM4"},
    {"address": "not there"},
    {"address": ""},
    {"address": []},
    {"select": "ETH"},
    {"select": "Ethernet"},
    {"select": "usb"},
    {"select": "BLE"},
    {"select": "WiFi"},
    {"select": ""},
    {"select": "eth", "address": ["COM4", "10.0.0.5"], "gui": True},
])
def test_check_runs_match(kwargs):
    assert_same(**kwargs)


@pytest.mark.parametrize("iodd", [False, True])
@pytest.mark.parametrize("masters, devices", [(0, 3), (5, 0), (1, 1), (23, 8)])
def test_check_sizes_match(masters, devices, iodd):
    assert_same(masters=masters, devices=devices, iodd=iodd)


def test_full_output_is_identical_on_the_benchmark_installation():
    lib = D.Installation(200, 8)
    texts = {}
    for m in IMPLS:
        for gui in (False, True):
            out = []
            with lib.installed(m):
                m.check(printFnc=lambda *a: out.append(a), gui=gui)
            texts[m, gui] = out
    assert texts[T, False] == texts[B, False]
    assert texts[T, True] == texts[B, True]
    assert len(texts[T, False]) == 1 + 200 + 1600 + 3


def test_invalid_verbosity_matches():
    got = assert_same(verbose=10)
    assert got["error"] == (ValueError, "Invalid verbosity") and got["out"] == []


@pytest.mark.parametrize("stop_at", [1, 2, 3, 7, 30, 44, 45, 46])
def test_abort_from_the_output_function_matches(stop_at):
    assert_same(stop_at=stop_at, address=None)
    assert_same(stop_at=stop_at, masters=6, address=["10.0.0.0", "COM4", "10.0.0.5", "x"])


@pytest.mark.parametrize("raise_at", [1, 2, 3, 6, 30, 46, 47, 48])
def test_output_failure_matches(raise_at):
    got = assert_same(raise_at=raise_at)
    assert got["running"] is False


def unconnectable(lib):
    # No driver behind these bridges: base.connect fails on them.
    for bridge in lib.bridges[:2] + lib.bridges[3:4]:
        object.__setattr__(bridge, "_drv", None)


def test_unconnectable_masters_match():
    assert_same(prepare=unconnectable)
    assert_same(prepare=unconnectable, masters=1, devices=0)


def shapes(*entries):
    def prepare(lib):
        drv = object.__getattribute__(lib.bridges[2], "_drv")
        table = object.__getattribute__(drv, "_devices")
        table.extend(entries)
    return prepare


@pytest.mark.parametrize("entry", [(1, 2), [1, 2, 3, None], "abc", (1, None, 2, None),
                                   (1, 2, 3, {"vendorName": "x"}), (1, 2, 3, {}),
                                   (1, 2, 3, {"productText": "p"}), 5, None])
def test_bad_device_entries_match(entry):
    assert_same(prepare=shapes(entry))


# ------------------------------------------------------------ report functions

def text_values(with_blank=True):
    chars = st.characters(codec="utf-8", exclude_categories=("Cs",))
    values = [st.text(chars, max_size=8),
              st.sampled_from(["", " ", "\t x \n", "Velmora", "Velmora IOLM", "unknown",
                               "\u2003wide\u3000", "\x1c\x85", "Müller – 4"])]
    return st.one_of(*values) if with_blank else values[0]


# str and int subclasses with methods of their own (tests/hostile.py): they
# hold no state, so both implementations can be handed the same instance.
subclass_values = st.one_of(H.str_recipes, H.int_recipes).map(lambda recipe: recipe())

identity_values = st.one_of(
    text_values(), st.none(), st.integers(-2**70, 2**70), st.booleans(),
    st.sampled_from([0, 1, 0xFFFF, 0x10000, 0x1234567, -1, 2**63, 3.5]), subclass_values)


def report(func, *args):
    out = []
    try:
        result = func(*args[:-1], lambda *a: out.append(a), args[-1])
    except Exception as exc:
        return ("raised", type(exc), str(exc), out)
    return ("ok", result, out)


class Bridge:
    pass


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(attrs=st.fixed_dictionaries({
    key: identity_values for key in ("address", "name", "vendor", "productName", "productCode",
                                     "vendorId", "deviceId", "fwVersion")}),
       gui=st.sampled_from([False, True, 0, "x"]))
def test_print_master_matches(attrs, gui):
    master = Bridge()
    master.__dict__.update(attrs)
    assert report(T._print_master, master, gui) == report(B._print_master, master, gui)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(ident=st.one_of(st.none(), st.just({}), st.fixed_dictionaries(
           {key: st.one_of(text_values(), st.none(), st.sampled_from([0, 7, 0.0]),
                           subclass_values)
            for key in D.IDENT_NAMES})),
       port=st.one_of(st.integers(-5, 300), text_values(), st.none()),
       vid=identity_values, did=identity_values, gui=st.sampled_from([False, True]))
def test_print_dev_matches(ident, port, vid, did, gui):
    dev = D.IoddDev(port, vid, did, ident)
    assert report(T._print_dev, dev, ident, gui) == report(B._print_dev, dev, ident, gui)


@given(val=st.one_of(identity_values, st.lists(st.integers(), max_size=2)),
       default=text_values())
def test_get_text_matches(val, default):
    assert T._get_text(val, default) is B._get_text(val, default)
    assert T._get_text(default=default, val=val) is B._get_text(val=val, default=default)


@pytest.mark.parametrize("exc", [RuntimeError("refused"), OSError(5, "io"), ValueError(5),
                                 KeyError(3.25), Exception("a", "b")])
@pytest.mark.parametrize("debug", [0, 1])
def test_get_master_failures_match(exc, debug):
    class Base:
        def driverName(self):
            return "IP"

        def connect(self, bridge, drvopt):
            raise exc

    class Manager:
        def checkActiveMasterDriver(self, addr):
            return False

        def checkMasterDriver(self, addr):
            return False

    bridge = Bridge()
    bridge.address, bridge._base = "10.1.2.3", Base()
    lib = D.Installation(0, 0)
    lib._IoddDrv.IoddBaseDriver.commonDrivers = Manager()
    results = []
    for m in IMPLS:
        with lib.installed(m):
            results.append(report(m._get_master, bridge, {"activatePorts": "off"}, debug))
    assert results[0] == results[1]


@pytest.mark.parametrize("answer", [True, False, ZeroDivisionError])
def test_list_master_tests_the_callers_flag_after_the_scan(answer):
    """anyActivated is truth-tested once, after the port modes were asked."""
    seen = []
    for m in IMPLS:
        trace = []

        class Flag:
            def __bool__(self):
                trace.append("flag")
                if answer is ZeroDivisionError:
                    raise ZeroDivisionError("flag")
                return answer

        lib = D.Installation(1, 2, trace=trace)
        with lib.installed(m):
            try:
                got = m._list_master(lib.bridges[0], {"activatePorts": "off"}, Flag(), [],
                                     lambda *a: None, 0, False)
            except ZeroDivisionError as exc:
                got = repr(exc)
        seen.append((got, [str(t) for t in trace]))
    assert seen[0] == seen[1]
    calls = seen[0][1]
    assert calls.count("flag") == 1
    assert any("activated" in c for c in calls[:calls.index("flag")])
