"""Report texts built from values that only the text under construction owns:
strip() results that are new objects, str subclasses, text forms made on the
fly. Each must stay alive until the text is joined; a freed one shows up as
garbage in the text, or as a crash once freed memory is overwritten
(PYTHONMALLOC=malloc_debug fills it, so the subprocess runs see it at once)."""

import os
import subprocess
import sys
import textwrap

import pytest

from doubles import ident, several_masters

KEYS = ["productText", "productId", "serialNumber", "firmwareRevision", "hardwareRevision",
        "applicationSpecificTag", "vendorName", "productName"]


class S(str):
    pass


def fresh_strip(result):
    """A str whose strip() returns a new object owned by nobody else."""
    class V(str):
        def strip(self):
            return S(result)
    return V("x")


def expected_dev_text(values, port=1, vid=0x765, did=0x1234):
    v = dict(zip(KEYS, values))
    return (f"  * Device port {port}: {v['vendorName']}, {v['productName']} ({v['productId']}),"
            f"\n    {v['productText']}, vid 0x{vid:04x}, did 0x{did:04x},"
            f"\n    fwVer {v['firmwareRevision']}, hwVer {v['hardwareRevision']},"
            f" S/N {v['serialNumber']}, tag: {v['applicationSpecificTag']}")


class Dev:
    portId, vendorId, deviceId = 1, 0x765, 0x1234


@pytest.mark.parametrize("key", KEYS)
def test_a_value_whose_strip_makes_a_new_object_is_printed(tc, key):
    texts = [f"value-{k}" for k in KEYS]
    values = dict(zip(KEYS, texts))
    values[key] = fresh_strip(f"stripped-{key}" * 3)
    out = []
    tc._print_dev(Dev(), values, out.append, False)
    texts[KEYS.index(key)] = f"stripped-{key}" * 3
    assert out == [expected_dev_text(texts)]


def test_every_value_a_new_object_and_text_forms_made_on_the_fly(tc):
    class Port:
        def __str__(self):
            return S("port-seven")

    class Dev2:
        portId = Port()
        vendorId, deviceId = 0x765, 0x10a2f4

    values = {k: fresh_strip(f"<{k}>") for k in KEYS}
    out = []
    for gui in (False, True):
        tc._print_dev(Dev2(), values, out.append, gui)
    want = expected_dev_text([f"<{k}>" for k in KEYS], port="port-seven", did=0x10a2f4)
    assert out == [want, want.replace("  * Device port port-seven:",
                                      "[color=#72ff00]  * Device port port-seven:[/color]")]


def test_check_prints_identification_values_that_strip_to_new_objects(tc, lib):
    several_masters(lib)
    entry = lib.transports["USB"].masters[0]
    entry.devices = [(1, 1, 2, ident(vendorName=fresh_strip("Other"),
                                     productText=fresh_strip("Valve text")))]
    out = lib.printer()
    tc.check(printFnc=out)
    assert ("  * Device port 1: Other, PS-10 (PS-10-A),\n    Valve text, vid 0x0001, did 0x0002,"
            in "\n".join(t for t in lib.printed() if t))


REPRO = textwrap.dedent("""
    from velmora.tools import TessadynChecker as tc
    class S(str): pass
    class V(str):
        def strip(self): return S("stripped")
    class Dev: portId, vendorId, deviceId = 1, 0x765, 0x1234
    ident = dict(vendorName=V("a"), productName="PN", productId="PI", productText="PT",
                 serialNumber="SN", hardwareRevision="HW", firmwareRevision="FW",
                 applicationSpecificTag="TAG")
    for gui in (False, True):
        tc._print_dev(Dev(), ident, lambda t: print(repr(t)), gui)
    for key in list(ident):
        tc._print_dev(Dev(), dict(ident, **{key: V(" b ")}), lambda t: print(repr(t)), gui)
""")


@pytest.mark.parametrize("allocator", ["malloc_debug", "pymalloc_debug"])
def test_repro_in_a_debug_allocator_prints_the_stripped_value(allocator):
    # Under the sanitizer run the interpreter must keep its plain malloc.
    env = dict(os.environ)
    if "LD_PRELOAD" not in env:
        env["PYTHONMALLOC"] = allocator
    run = subprocess.run([sys.executable, "-c", REPRO], capture_output=True, text=True,
                         env=env, timeout=120)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert len(lines) == 10
    assert lines[0] == repr("  * Device port 1: stripped, PN (PI),\n    PT, vid 0x0765, did 0x1234,"
                            "\n    fwVer FW, hwVer HW, S/N SN, tag: TAG")
    assert all("stripped" in line for line in lines)
