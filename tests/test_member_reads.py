"""The master line's attribute reads on bridges that keep them in __slots__,
against the plain-Python baseline, when the class changes between lines.

A bridge class with __slots__ has its attributes read from the object once
the module has seen the class; every change of the class or its bases (a
property put in a member's place, a __getattr__ or __getattribute__ added,
__class__ switched, a slot emptied) must show at the next line exactly as
Python's own attribute access shows it.
"""

import pathlib
import sys

import pytest

T = pytest.importorskip("velmora.tools.TessadynChecker")

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "benchmarks"))
import baseline_checker as B  # noqa: E402

FIELDS = ("address", "name", "vendor", "productName", "productCode", "vendorId", "deviceId",
          "fwVersion")
VALUES = dict(address="10.0.0.1", name="Hall", vendor="Example", productName="Hub",
              productCode="H-1", vendorId=0x32C, deviceId=3, fwVersion="1.0")


def make_class():
    class Bridge:
        __slots__ = FIELDS
    return Bridge


def make_bridge(cls, **values):
    bridge = cls()
    for key, value in {**VALUES, **values}.items():
        setattr(bridge, key, value)
    return bridge


def line(module, bridge, gui=False):
    out = []
    try:
        module._print_master(bridge, out.append, gui)
    except Exception as exc:  # compared below
        return ("raised", type(exc), str(exc))
    return ("ok", out)


def assert_same(bridge):
    got, want = line(T, bridge), line(B, bridge)
    assert got == want
    return got


def test_plain_slots_match():
    cls = make_class()
    for i in range(3):
        assert_same(make_bridge(cls, name=f"Hall {i}", vendorId=i))


@pytest.mark.parametrize("change", [
    "property", "getattr", "getattribute", "class_attr", "delete_slot", "base_property",
])
def test_class_changes_show_at_the_next_line(change):
    base = make_class()

    class Bridge(base):
        __slots__ = ()

    bridge = make_bridge(Bridge)
    first = assert_same(bridge)
    assert first[0] == "ok"
    reads = []
    if change == "property":
        Bridge.vendor = property(lambda self: reads.append("vendor") or "Other")
    elif change == "getattr":
        del bridge.name
        Bridge.__getattr__ = lambda self, key: reads.append(key) or "late"
    elif change == "getattribute":
        def getattribute(self, key):
            reads.append(key)
            return object.__getattribute__(self, key)
        Bridge.__getattribute__ = getattribute
    elif change == "class_attr":
        # a plain class attribute does not hide a slot member of the base
        Bridge.productCode = "ignored"
    elif change == "delete_slot":
        del bridge.productName
    elif change == "base_property":
        base.name = property(lambda self: "from base")
    got, want = line(T, bridge), line(B, bridge)
    assert got == want
    if change in ("property", "getattribute", "getattr"):
        assert reads, "the class's own code must run"


def test_class_switch_and_foreign_member():
    one, other = make_class(), make_class()
    bridge = make_bridge(one)
    assert_same(bridge)
    bridge.__class__ = other
    assert_same(bridge)

    # A member descriptor of one class placed in another: Python's type check.
    class Thief:
        __slots__ = ()
        vendor = one.__dict__["vendor"]

    for key in FIELDS:
        if key != "vendor":
            setattr(Thief, key, key)
    got, want = line(T, Thief()), line(B, Thief())
    assert got == want
    assert got[0] == "raised"
