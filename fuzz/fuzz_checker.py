"""Coverage-guided fuzz target for the checker module (atheris/libFuzzer).

Each input is decoded into one call: `_print_master` or `_print_dev` on
drawn values, or a whole `check()` over a drawn installation of the
recording driver-library double (tests/doubles.py): transports, masters with
drawn identities, port modes and device tables, connection failures, drawn
check() arguments and rebound module functions. Values come from the value
space of tests/hostile.py (str and int subclasses with methods of their own,
changing truth, mappings and records computing each read) and plain ones.

The module runs against the plain-Python reading of the same steps
(benchmarks/baseline_checker.py), each on values made afresh from the same
recipes: any difference in output, driver calls, result or exception is a
finding, as is anything the sanitizers report. Run by tools/fuzz.sh
(`make fuzz`) against the ASan build of the module."""

import pathlib
import re
import sys

import atheris

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "tests"), str(ROOT / "benchmarks")]

with atheris.instrument_imports(include=["baseline_checker", "hostile", "doubles"]):
    import baseline_checker as B
    import doubles
    import hostile as H

from velmora.tools import TessadynChecker as T  # noqa: E402

TEXTS = H.TEXTS + ["Example", "Example Hub", "EX-1", "  ", "\t\n", "Sim "]
INTS = H.INTS + [2, 16, 24, 0x765, 0x1a2b3c]
IDENT_KEYS = ["productText", "productId", "serialNumber", "firmwareRevision",
              "hardwareRevision", "applicationSpecificTag", "vendorName", "productName"]
MASTER_FIELDS = ["address", "name", "vendor", "productName", "productCode", "vendorId",
                 "deviceId", "fwVersion"]


class Draw:
    """Decisions taken from the fuzzer's bytes."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def int(self, low, high):
        return self.fdp.ConsumeIntInRange(low, high)

    def bool(self):
        return self.fdp.ConsumeBool()

    def pick(self, options):
        return options[self.int(0, len(options) - 1)]

    def methods(self, names):
        return tuple(sorted(n for n in names if self.bool()))

    def recipe(self, depth=0):
        kind = self.int(0, 10)
        if kind == 0:
            return H.constant(None)
        if kind == 1:
            return H.constant(self.pick(TEXTS))
        if kind == 2:
            return H.constant(self.fdp.ConsumeUnicodeNoSurrogates(self.int(0, 12)))
        if kind == 3:
            return H.constant(self.pick(INTS))
        if kind == 4:
            return H.constant(self.fdp.ConsumeInt(9))
        if kind == 5:
            cls = H.str_subclass(self.methods(H.STR_METHODS))
            text = self.pick(TEXTS) if self.bool() else self.fdp.ConsumeUnicodeNoSurrogates(6)
            return H.Recipe(cls.__name__, lambda: cls(text))
        if kind == 6:
            cls = H.int_subclass(self.methods(H.INT_METHODS))
            number = self.pick(INTS)
            return H.Recipe(cls.__name__, lambda: cls(number))
        if kind == 7:
            first, text = self.bool(), self.pick(TEXTS)
            return H.Recipe("Flip", lambda: H.Flip(first, text))
        if kind == 8:
            text = self.pick(TEXTS)
            return H.Recipe("FlipStr", lambda: H.FlipStr(text))
        if kind == 9:
            return H.constant(self.pick([True, False, 3.5, b"x", (), [], {}]))
        if depth < 1:
            items = [self.recipe(depth + 1) for _ in range(self.int(0, 2))]
            return H.Recipe("list", lambda: [r() for r in items])
        return H.constant("")

    def ident(self):
        kind = self.int(0, 3)
        if kind == 0:
            return H.constant(None)
        recipes = {k: self.recipe() for k in IDENT_KEYS}
        if kind == 1:
            return H.Recipe("dict", lambda: {k: r() for k, r in recipes.items()})
        if kind == 2:
            return H.Recipe("computing",
                            lambda: H.Computing(recipes, {k: None for k in IDENT_KEYS}))
        return H.Recipe("computing dict",
                        lambda: H.ComputingDict({k: None for k in IDENT_KEYS}, recipes))

    def record(self, fields):
        recipes = {f: self.recipe() for f in fields}
        if self.bool():
            return lambda: H.Record(object(), recipes)
        return lambda: doubles.SimpleNamespace(**{k: r() for k, r in recipes.items()})


def _leaf(value):
    # Plain values by type and repr; other objects (drivers, records) differ
    # between the two runs by identity, so only their type is compared.
    if isinstance(value, (int, float, bytes, type(None))):
        return (type(value).__name__, repr(value))
    return type(value).__name__


def norm(value):
    return H.norm(value, _leaf)


def error(exc):
    return type(exc).__name__, re.sub(r"0x[0-9a-f]{6,}", "0x?", str(exc))


def run(module, prepare, call):
    saved = dict(vars(module))
    lib = doubles.Library()
    prepare(lib)
    lib.install(module)
    try:
        try:
            result = ("returned", norm(call(module, lib, lib.printer())))
        except RecursionError:
            raise
        except Exception as exc:
            result = ("raised", error(exc))
        return norm(lib.log), result, module._state.isRuning
    finally:
        vars(module).clear()
        vars(module).update(saved)
        module._state.abort = module._state.isRuning = False


def installation(draw):
    transports = []
    for _ in range(draw.int(1, 3)):
        name = draw.pick(["IP", "USB", "BLE", "SIM"])
        usable = draw.int(0, 5) > 0
        base_name = "Sim" if name.startswith("SIM") else name
        masters = []
        for m in range(draw.int(0, 3)):
            identity = {f: draw.recipe() for f in MASTER_FIELDS[1:] if draw.bool()}
            address = draw.pick(["192.0.2.%d" % m, "COM%d" % m, "10.0.0.1"])
            devices = [(draw.recipe(), draw.recipe(), draw.recipe(), draw.ident())
                       for _ in range(draw.int(0, 3))]
            ports = [draw.bool() for _ in range(draw.int(0, 3))]
            failing = draw.int(0, 6) == 0
            masters.append((address, identity, devices, ports, failing))
        transports.append((name, usable, base_name, masters))

    def prepare(lib):
        for name, usable, base_name, masters in transports:
            t = lib.transport(name, usable=usable, base_name=base_name)
            for address, identity, devices, ports, failing in masters:
                t.master(address, ports=ports,
                         connect_error=OSError("unreachable") if failing else None,
                         devices=[(p(), v(), d(), i()) for p, v, d, i in devices],
                         **{f: r() for f, r in identity.items()})
    return prepare


def one_input(data):
    draw = Draw(data)
    what = draw.int(0, 2)
    if what == 0:
        make_master, gui = draw.record(MASTER_FIELDS), draw.recipe()

        def call(module, lib, out):
            return module._print_master(make_master(), out, gui())
        prepare = lambda lib: None  # noqa: E731
    elif what == 1:
        make_dev, ident, gui = draw.record(["portId", "vendorId", "deviceId"]), draw.ident(), \
            draw.recipe()
        rebound = {"_get_text": draw.pick(["subclass", "flip", "plain"])} if draw.bool() else {}

        def call(module, lib, out):
            H.rebind(module, rebound)
            return module._print_dev(make_dev(), ident(), out, gui())
        prepare = lambda lib: None  # noqa: E731
    else:
        prepare = installation(draw)
        arguments = {}
        for name in ("address", "select", "auto", "gui"):
            if draw.bool():
                arguments[name] = draw.recipe()
        rebound = {}
        for name, kinds in H.REBINDINGS.items():
            if draw.int(0, 4) == 0:
                rebound[name] = draw.pick(kinds)

        def call(module, lib, out):
            H.rebind(module, rebound)
            return module.check(printFnc=out, **{k: r() for k, r in arguments.items()})
    got, want = run(T, prepare, call), run(B, prepare, call)
    if got != want:
        raise AssertionError(f"module and Python reading differ:\n{got}\n{want}")


def main():
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
