"""Where the module must behave exactly as the same steps written in Python
(benchmarks/baseline_checker.py) behave, with values a caller can meet:
subscripts on mappings, objects that report `list` through __class__, a
select whose truth changes, str subclasses whose __radd__ runs inside a text
being built, and master counts past sys.maxsize. Each case runs both and
compares everything observable."""

import pathlib
import sys
from types import SimpleNamespace

import pytest

from doubles import Library, ident, several_masters

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "benchmarks"))
import baseline_checker as B  # noqa: E402
from velmora.tools import TessadynChecker as T  # noqa: E402


def outcome(module, prepare, call):
    """Runs `call(module, lib, printer)` on a fresh recording library prepared
    by `prepare(lib)`: the log of calls (output included), the result or the
    exception, the run state."""
    saved = dict(vars(module))
    lib = Library()
    several_masters(lib)
    prepare(lib)
    lib.install(module)
    try:
        try:
            result = ("returned", call(module, lib, lib.printer()))
        except Exception as exc:
            result = ("raised", type(exc), str(exc))
        return dict(log=lib.log, result=result, running=module._state.isRuning)
    finally:
        vars(module).clear()
        vars(module).update(saved)
        module._state.abort = module._state.isRuning = False


def same(prepare, call=lambda m, lib, out: m.check(printFnc=out)):
    got, want = outcome(T, prepare, call), outcome(B, prepare, call)
    assert got == want
    return got


def printed(result):
    return [e[1] for e in result["log"] if e[0] == "print" and len(e) > 1]


# -- subscripts are obj[key] ------------------------------------------------------

@pytest.mark.parametrize("answer", [{0: True, 1: ""}, {0: False}, [True], "x", {1: True}])
def test_exist_result_is_subscripted_like_any_object(answer):
    def prepare(lib):
        lib.transports["IP"].exist = lambda: answer
    got = same(prepare)
    if answer == {0: True, 1: ""}:
        assert any(t.startswith("\nMaster 192.0.2.10") for t in printed(got))


# -- isinstance(address, list) -----------------------------------------------------

class ListLike:
    """Reports list through __class__, as mock objects do."""

    def __init__(self, *items):
        self.items = list(items)

    @property
    def __class__(self):
        return list

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        return iter(self.items)


class ListLikeMapping(dict):
    @property
    def __class__(self):
        return list


@pytest.mark.parametrize("address", [ListLike("192.0.2.10"), ListLike("192.0.2.12", "COM5"),
                                     ListLikeMapping({0: "192.0.2.10"}), ListLike()])
def test_an_address_that_reports_list_is_used_as_the_list(address):
    got = same(lambda lib: None, lambda m, lib, out: m.check(address=address, printFnc=out))
    if isinstance(address, ListLike) and len(address) == 1:
        assert printed(got)[0].endswith(" at 192.0.2.10...")
        assert printed(got)[1].startswith("\nMaster 192.0.2.10")


# -- a falsy select is tested at each driver -------------------------------------------

def changing_select(*truths, base=str, value=""):
    answers = iter(truths)

    class Select(base):
        def __bool__(self):
            answer = next(answers, True)
            if isinstance(answer, Exception):
                raise answer
            return answer
    return Select(value) if base is str else Select()


@pytest.mark.parametrize("select", [
    lambda: changing_select(False, True, value="-IP"),     # first test falsy, then a suffix
    lambda: changing_select(False, False, True, value="-USB"),
    lambda: changing_select(False, RuntimeError("truth")),
    lambda: changing_select(False, True, base=object),     # then endswith() refuses it
    lambda: changing_select(False, False, False, False, False),
])
def test_a_falsy_select_is_tested_at_each_driver(select):
    got = same(lambda lib: None, lambda m, lib, out: m.check(select=select(), printFnc=out))
    assert got["running"] is False


# -- `+` on text honours the operands' own methods --------------------------------------

class Marked(str):
    """Marks what it is added to."""

    def __radd__(self, other):
        return Marked("<" + str.__str__(other) + ">" + str.__str__(self))


class Lefty(str):
    def __add__(self, other):
        return Lefty(str.__str__(self) + "+" + str(other))


class Boxed:
    """Not a str at all: collects what is added."""

    def __init__(self, parts):
        self.parts = parts

    def __radd__(self, other):
        return Boxed([other, *self.parts])

    def __add__(self, other):
        return Boxed([*self.parts, other])

    def __eq__(self, other):
        return isinstance(other, Boxed) and self.parts == other.parts

    __hash__ = None

    def __repr__(self):
        return f"Boxed({self.parts!r})"


class Refusing(str):
    def __radd__(self, other):
        raise RuntimeError("radd refused")


def strips_to(value):
    class V(str):
        def strip(self):
            return value
    return V("v")


class Text:
    """str() gives `value`."""

    def __init__(self, value):
        self.value = value

    def __str__(self):
        return self.value


class Hex(int):
    def __format__(self, spec):
        return Marked(format(int(self), spec))


ADDED = [Marked("m"), Lefty("l"), Boxed(["b"]), Refusing("r"), Marked(""), Lefty("")]


@pytest.mark.parametrize("key", ["productText", "productId", "serialNumber", "firmwareRevision",
                                 "hardwareRevision", "applicationSpecificTag", "vendorName",
                                 "productName"])
@pytest.mark.parametrize("value", ADDED, ids=repr)
def test_device_text_adds_like_python(key, value):
    reads = []

    class Dev:
        portId = 3

        @property
        def vendorId(self):
            reads.append("vendorId")
            return 0x765

        @property
        def deviceId(self):
            reads.append("deviceId")
            return 0x10a2f4

    def call(m, lib, out):
        reads.clear()
        values = ident(**{key: strips_to(value)})
        for gui in (False, True):
            m._print_dev(Dev(), values, out, gui)
        return list(reads)

    got = same(lambda lib: None, call)
    if value == Marked("m") and key == "vendorName":
        assert printed(got)[0].startswith("<  * Device port 3: >m, PS-10")


@pytest.mark.parametrize("where", ["portId", "vendorId", "deviceId"])
@pytest.mark.parametrize("value", ADDED, ids=repr)
def test_device_text_forms_that_add_like_python(where, value):
    def call(m, lib, out):
        fields = dict(portId=1, vendorId=0x765, deviceId=0x1234)
        fields[where] = Text(value) if where == "portId" else Hex(0x42)
        dev = SimpleNamespace(**fields)
        for ident_value in (None, ident()):
            for gui in (False, True):
                m._print_dev(dev, ident_value, out, gui)
    same(lambda lib: None, call)


@pytest.mark.parametrize("field", ["address", "name", "fwVersion", "vendor", "productName",
                                   "productCode", "vendorId", "deviceId"])
@pytest.mark.parametrize("value", ADDED, ids=repr)
def test_master_text_adds_like_python(field, value):
    def call(m, lib, out):
        bridge = SimpleNamespace(address="192.0.2.10", name="Hall", vendor="Example",
                                 productName="Hub", productCode="H-1", vendorId=0x32c,
                                 deviceId=3, fwVersion="1.0")
        setattr(bridge, field, Hex(0x99) if field in ("vendorId", "deviceId") else Text(value))
        for gui in (False, True):
            m._print_master(bridge, out, gui)
    same(lambda lib: None, call)


@pytest.mark.parametrize("value", ADDED, ids=repr)
def test_banner_and_summary_add_like_python(value):
    def call(m, lib, out):
        counted = m._list_master

        class Count(int):
            def __str__(self):
                return value if isinstance(value, str) else "n"

            def __radd__(self, other):
                return Count(int(other) + int(self))

        m._list_master = lambda *args: Count(counted(*args))
        return m.check(address=Marked("192.0.2.10") if value == ADDED[0] else value,
                       printFnc=out)
    same(lambda lib: None, call)


# -- counters past sys.maxsize ---------------------------------------------------------

class Huge:
    """A discovery result that reports sys.maxsize masters and lists none."""

    def __len__(self):
        return sys.maxsize

    def __iter__(self):
        return iter(())


def test_master_counts_add_up_past_the_largest_size():
    def prepare(lib):
        lib.drv.driverlist[:] = [SimpleNamespace(
            driverName=lambda: "IOL-X", getBaseDriverType=lambda t=t: HugeType(lib, t))
            for t in ("IP", "USB")]

    got = same(prepare)
    assert printed(got)[-3] == f"{2 * sys.maxsize} master(s) and 0 device(s) found"
    assert printed(got)[-2].startswith("Hint: ")


class HugeType:
    def __init__(self, lib, name):
        self.lib, self.name = lib, name

    def exist(self):
        return (True, "")

    def driverName(self):
        return self.name

    def __call__(self):
        lib = self.lib
        return SimpleNamespace(discover=lambda *a: Huge(), close=lambda: lib.event("close"))
