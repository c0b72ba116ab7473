"""Bad input to every function of the module: wrong argument counts,
unknown and duplicated keywords, and values of every wrong kind in every
position, including objects whose truth test, comparison, text form,
formatting or string methods raise or answer nonsense.

Every call either returns or raises an ordinary exception: never a crash,
never a SystemError (the interpreter's verdict on a C function that returned
inconsistently), and the run state is consistent afterwards."""

import inspect
import math
import os
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from doubles import Library, ident, several_masters
from hostile import computing_mappings, rebind, rebindings
from hostile import values as odd_values

SIGNATURES = {
    "check": "address=None, auto=False, printFnc=print, verbose=2, select=None, gui=False",
    "abort": "",
    "isRunning": "",
    "_discover": "base, address, found",
    "_list_master": "masterbridge, opt, anyActivated, found, printFnc, debug, gui",
    "_get_master": "masterbridge, opt, printFnc, debug",
    "_print_master": "master, printFnc, gui",
    "_get_text": "val, default",
    "_print_dev": "dev, ident, printFnc, gui",
}


def reference(name):
    """A Python function with the same signature, for the interpreter's own
    messages."""
    namespace = {}
    exec(f"def {name}({SIGNATURES[name]}): pass", namespace)
    return namespace[name]


def shape_errors(name):
    """Calls that are wrong in exactly one way: (args, kwargs) pairs."""
    params = list(inspect.signature(reference(name)).parameters.values())
    required = [p.name for p in params if p.default is inspect.Parameter.empty]
    full = list(range(len(required)))
    cases = [((*range(len(params) + 1),), {}),                 # one positional too many
             ((*full,), {"bogus": 1})]                          # unknown keyword
    cases += [((*range(n),), {}) for n in range(len(required))]  # missing ones
    cases += [((*range(len(params)),), {p.name: 0}) for p in params]  # given twice
    cases += [((), {**{r: 0 for r in required if r != p}, p + "x": 0}) for p in required]
    return cases


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_wrong_argument_shapes_raise_the_interpreters_type_error(tc, lib, name):
    func, ref = getattr(tc, name), reference(name)
    state = (tc._state.abort, tc._state.isRuning)
    for args, kwargs in shape_errors(name):
        with pytest.raises(TypeError) as expected:
            ref(*args, **kwargs)
        with pytest.raises(TypeError) as raised:
            func(*args, **kwargs)
        # The interpreter adds spelling suggestions for unknown keywords.
        assert str(raised.value) == str(expected.value).split(". Did you mean")[0], (args, kwargs)
    assert lib.log == [] and (tc._state.abort, tc._state.isRuning) == state


# -- the value space ------------------------------------------------------------

EXAMPLES = max(10, int(120 * float(os.environ.get("TESSADYN_STRESS", "1"))))

class Hostile(Exception):
    """Raised by the hostile values' methods."""


METHODS = ["__bool__", "__eq__", "__ne__", "__gt__", "__le__", "__str__", "__repr__",
           "__format__", "__len__", "__iter__", "__hash__", "__getitem__", "__contains__",
           "__call__", "__add__", "__radd__", "__sub__", "__rsub__", "__index__", "lower",
           "strip", "startswith", "endswith", "append", "driverName", "discover", "connect",
           "close", "disconnect", "connected", "disableEventChecking", "getPortModes",
           "getDevices", "activated", "exist"]
BASES = {"object": object, "str": str, "int": int, "list": list, "dict": dict}


def hostile(method, base="object", result=None, raises=True):
    """An instance of a subclass of `base` whose `method` raises Hostile, or
    returns `result` (usually the wrong kind of thing)."""
    def body(self, *args, **kwargs):
        if raises:
            raise Hostile(method)
        return result
    cls = type(f"{base}_{'raising' if raises else 'returning'}{method}", (BASES[base],),
               {method: body})
    value = {"str": "x", "int": 7, "list": [1], "dict": {"k": 1}}.get(base)
    return cls() if value is None else cls(value)


def printer(*args):
    pass


def raising_printer(*args):
    raise Hostile("printFnc")


plain = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=2 ** 63, max_value=2 ** 70),
    st.floats(allow_nan=True), st.binary(max_size=3), st.text(max_size=5),
    st.sampled_from(["", " ", "usb", "ETH", "ble", "Sim", "unknown", "192.0.2.10", "COM5",
                     "-USB", math.inf, printer, raising_printer, print, object()]))


def values():
    """Plain values, hostile ones, and hostile ones that return hostile ones."""
    hostiles = st.builds(hostile, st.sampled_from(METHODS), st.sampled_from(list(BASES)))
    # str and int subclasses with methods of their own, changing truth, and
    # mappings that compute their items at each read.
    odd = st.one_of(odd_values, computing_mappings(["productText", "vendorName"]).map(
        lambda recipe: recipe()))
    return st.recursive(
        st.one_of(plain, hostiles, odd),
        lambda inner: st.one_of(
            st.lists(inner, max_size=3),
            st.dictionaries(st.sampled_from(["productText", "vendorName", "activatePorts"]),
                            inner, max_size=3),
            st.builds(hostile, st.sampled_from(METHODS), st.sampled_from(list(BASES)),
                      inner, st.just(False))),
        max_leaves=4)


VALUES = values()


class FakeBase:
    """A base driver whose answers are drawn values; the master driver it
    connects answers with drawn values too."""

    def __init__(self, name, connected, modes, devices, discovered):
        self.answers = dict(name=name, connected=connected, modes=modes, devices=devices,
                            discovered=discovered)

    def driverName(self):
        return self.answers["name"]

    def discover(self, *addr):
        return self.answers["discovered"]

    def connect(self, bridge, drvopt):
        a = self.answers
        return SimpleNamespace(disableEventChecking=lambda: None, connected=lambda: a["connected"],
                               connect=lambda opt: None, getPortModes=lambda: a["modes"],
                               getDevices=lambda options: a["devices"], disconnect=lambda: None)


fake_bases = st.builds(FakeBase, VALUES, VALUES, VALUES, VALUES, VALUES)
BRIDGE_FIELDS = ["address", "name", "vendor", "productName", "productCode", "vendorId",
                 "deviceId", "fwVersion", "_base", "_master"]
DEV_FIELDS = ["portId", "vendorId", "deviceId", "deviceIdentifier"]
IDENT_FIELDS = ["productText", "productId", "serialNumber", "firmwareRevision",
                "hardwareRevision", "applicationSpecificTag", "vendorName", "productName"]


class Fields(dict):
    """Drawn values for some fields of a valid record."""


def fields(names):
    """A few fields of a valid record replaced by drawn values."""
    return st.builds(Fields, st.dictionaries(
        st.sampled_from(names), st.one_of(VALUES, fake_bases) if "_base" in names else VALUES,
        min_size=1, max_size=2))


def record_or_value(names):
    return st.one_of(fields(names), fields(names), VALUES)


def valid_arguments(lib, name):
    """Arguments with which `name` does its whole work on the installation."""
    base = lib.transports["IP"]()
    bridge = base.discover()[0]
    opt = {"activatePorts": "off"}
    return {
        "check": lambda: dict(address=None, auto=False, printFnc=printer, verbose=2,
                              select=None, gui=False),
        "_discover": lambda: dict(base=base, address=["192.0.2.10", "192.0.2.12"], found=[]),
        "_list_master": lambda: dict(masterbridge=bridge, opt=opt, anyActivated=False, found=[],
                                     printFnc=printer, debug=0, gui=False),
        "_get_master": lambda: dict(masterbridge=bridge, opt=opt, printFnc=printer, debug=1),
        "_print_master": lambda: dict(master=bridge, printFnc=printer, gui=True),
        "_get_text": lambda: dict(val="x", default="y"),
        "_print_dev": lambda: dict(dev=lib.utility.IoddDev(1, 291, 418, ident()), ident=ident(),
                                   printFnc=printer, gui=False),
    }[name]()


RECORDS = {"masterbridge": BRIDGE_FIELDS, "master": BRIDGE_FIELDS, "dev": DEV_FIELDS,
           "ident": IDENT_FIELDS}


def replacement(param):
    if param in RECORDS:
        return record_or_value(RECORDS[param])
    if param == "printFnc":
        return st.one_of(st.sampled_from([raising_printer]), VALUES)
    if param == "base":
        return st.one_of(fake_bases, VALUES)
    return VALUES


def apply(valid, param, drawn):
    """The valid argument with the drawn replacement: a record with some
    fields replaced (a copy), or the drawn value itself."""
    if type(drawn) is not Fields:
        return drawn
    if param == "ident":
        return {**valid, **drawn}
    record = SimpleNamespace(**vars(valid))
    for field, value in drawn.items():
        setattr(record, field, value)
    return record


@pytest.mark.parametrize("name", list(SIGNATURES)[:1] + list(SIGNATURES)[3:])
@settings(max_examples=EXAMPLES, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(data=st.data())
def test_values_of_every_kind_in_every_position(tc, name, data):
    saved = dict(vars(tc))
    try:
        values_in_every_position(tc, name, data)
    finally:
        # Each example starts from the module's own functions again.
        vars(tc).clear()
        vars(tc).update(saved)


def values_in_every_position(tc, name, data):
    lib = Library()
    several_masters(lib)
    lib.install(tc)
    rebind(tc, data.draw(rebindings(), label="rebound functions"))
    if name == "check":
        # Bad values inside the driver library's answers as well.
        spec = lib.transports["IP"].masters[0]
        for field, value in data.draw(st.dictionaries(
                st.sampled_from(BRIDGE_FIELDS[:8] + ["devices", "ports"]), VALUES, max_size=2),
                label="library answers").items():
            if field in ("devices", "ports"):
                setattr(spec, field, value)
            else:
                spec.identity[field] = value
    arguments = valid_arguments(lib, name)
    chosen = data.draw(st.sets(st.sampled_from(list(arguments)), max_size=3), label="replaced")
    for param in sorted(chosen):
        arguments[param] = apply(arguments[param], param, data.draw(replacement(param), label=param))
    by_keyword = data.draw(st.integers(0, len(arguments)), label="first by keyword")
    args = list(arguments.values())[:by_keyword]
    kwargs = dict(list(arguments.items())[by_keyword:])
    abort = data.draw(st.booleans(), label="abort flag")
    tc._state.abort = abort
    try:
        getattr(tc, name)(*args, **kwargs)
    except SystemError:
        raise
    except Exception:
        pass
    # The run state stays two plain flags; a run always clears isRuning.
    assert tc._state.isRuning is False
    assert tc._state.abort in (abort, False)
