"""Reference counts and memory over thousands of runs: complete runs, runs
that raise at some call, runs whose connection steps fail and runs aborted
at some call, over an installation of several masters and devices.

Every object handed to the checker ends each run with the reference count it
had before, every object the run made is freed with it, and the interpreter's
count of allocated memory blocks does not grow."""

import gc
import os
import sys
import weakref

import pytest

import doubles
from doubles import Injected, Library, several_masters

# Scales the number of runs (the valgrind run uses a fraction).
SCALE = float(os.environ.get("TESSADYN_STRESS", "1"))
RUNS = max(50, int(3000 * SCALE))


class Verbosity(int):
    """A verbosity that is a heap object of its own, so its count is visible."""


class Plant:
    """The installation, the arguments of every kind of run, and the bookkeeping
    that brings the double back to the same state after each run."""

    def __init__(self, tc):
        self.tc = tc
        self.lib = lib = several_masters(Library())
        lib.install(tc)
        # Addresses made at run time, held here and by the double only.
        for transport in lib.transports.values():
            for spec in transport.masters:
                spec.address = "".join(list(spec.address))
        self.specs = {s.address: s for t in lib.transports.values() for s in t.masters}
        for table in (lib.registered_masters, lib.active_masters):
            for old in list(table):
                drv = table.pop(old)
                table["".join(list(old))] = drv
        self.registered = dict(lib.registered_masters)
        self.active = dict(lib.active_masters)
        self.drivers = list(lib.master_drivers)
        self.printFnc = lib.printer()
        self.address = [a for a in self.specs if a.endswith(("12", "11", "COM5"))] + ["".join("10.9")]
        self.select = "".join(["e", "T", "h"])
        self.gui = object()
        self.verbose = Verbosity(3)
        self.options = {}        # id -> each options record the library saw
        self.exceptions = []     # weak references to every exception raised
        self.events = len(self.log_of_a_run())

    def log_of_a_run(self):
        self.tc.check(printFnc=self.printFnc)
        log = list(self.lib.log)
        self.reset()
        return log

    def reset(self):
        lib = self.lib
        for entry in lib.log:
            if entry[0] in ("getDevices", "drv.connect"):
                self.options[id(entry[2])] = entry[2]
        lib.log.clear()
        lib.fail_at = lib.injected = lib.on_event = None
        lib.active_bases.clear()
        lib.bases.clear()
        lib.registered_masters.clear()
        lib.registered_masters.update(self.registered)
        lib.active_masters.clear()
        lib.active_masters.update(self.active)
        del lib.master_drivers[len(self.drivers):]
        for spec in self.specs.values():
            if spec.connect_error is not None:
                spec.connect_error.__traceback__ = None   # holds the last run's frames
        self.tc._state.abort = False

    def run(self, i):
        """Run number i: its kind and its fault or abort point follow from i."""
        lib, tc = self.lib, self.tc
        kind, point = i % 5, 1 + (i // 5) % self.events
        args = dict(printFnc=self.printFnc)
        if kind == 1:
            args.update(address=self.address, auto=True, select=self.select, gui=self.gui,
                        verbose=self.verbose)
        elif kind in (2, 4):
            lib.fail_at = point
        elif kind == 3:
            lib.on_event = lambda entry: tc.abort() if len(lib.log) == point else None
        try:
            tc.check(**args)
        except Injected as exc:
            self.exceptions.append(weakref.ref(exc))
        finally:
            self.reset()

    def handed_in(self):
        """Everything a run receives from outside, by name."""
        lib = self.lib
        objects = dict(printFnc=self.printFnc, address=self.address, select=self.select,
                       gui=self.gui, verbose=self.verbose, drv=lib.drv, utility=lib.utility,
                       driverlist=lib.drv.driverlist,
                       manager=lib.drv.IoddBaseDriver.commonDrivers,
                       IoddDev=lib.utility.IoddDev, Bridge=doubles.Bridge,
                       MasterDrv=doubles.MasterDrv, Base=doubles.Base)
        for i, item in enumerate(self.address):
            objects[f"address[{i}]"] = item
        for entry in lib.drv.driverlist:
            objects[f"driver {entry.name}"] = entry
            objects[f"base type {entry.name}"] = entry.transport
        for address, spec in self.specs.items():
            objects[f"address {address}"] = address
            objects[f"spec {address}"] = spec
            objects[f"devices {address}"] = spec.devices
            if spec.master_driver is not None and spec.master_driver != "auto":
                objects[f"_master {address}"] = spec.master_driver
            for n, device in enumerate(spec.devices):
                objects[f"device {address} {n}"] = device
                if device[3] is not None:
                    objects[f"ident {address} {n}"] = device[3]
        for n, drv in enumerate(self.drivers):
            objects[f"master driver {n}"] = drv
        return objects


def counts(objects):
    return {name: sys.getrefcount(obj) for name, obj in objects.items()}


def test_every_object_handed_in_keeps_its_reference_count(tc):
    plant = Plant(tc)
    for i in range(50):          # first runs set up the library's configuration
        plant.run(i)
    objects = plant.handed_in()
    assert max(counts(objects).values()) < 1000, "no immortal objects"
    gc.collect()                 # what earlier tests left, e.g. instances of the classes
    before = counts(objects)
    for i in range(RUNS):
        plant.run(i)
    gc.collect()
    after = counts(objects)
    assert {n: after[n] - before[n] for n in before if after[n] != before[n]} == {}
    # Each kind of run happened, and what the runs made is gone with them.
    assert len(plant.exceptions) > RUNS // 5
    assert [r for r in plant.exceptions if r() is not None] == []
    assert len(plant.options) >= 2 * RUNS // 5
    control = {"activatePorts": "off"}   # held the same way, by nobody else
    plant.options[id(control)] = control
    del control
    held = {sys.getrefcount(opt) for opt in plant.options.values()}
    assert len(held) == 1
    assert [o for o in gc.get_objects()
            if isinstance(o, doubles.Base) and o.lib is plant.lib
            or isinstance(o, doubles.Bridge) and o._base.lib is plant.lib] == []


def test_runs_do_not_grow_the_allocated_blocks(tc):
    if sys.getallocatedblocks() == 0:
        pytest.skip("no block count with this allocator (PYTHONMALLOC=malloc)")
    plant = Plant(tc)
    for i in range(200):
        plant.run(i)
    plant.options.clear()
    plant.exceptions.clear()
    gc.collect()
    before = sys.getallocatedblocks()
    for i in range(RUNS):
        plant.run(i)
        plant.options.clear()
        plant.exceptions.clear()
    gc.collect()
    growth = sys.getallocatedblocks() - before
    # One block kept per run would show as RUNS; the interpreter's own caches
    # may move by a few.
    assert growth < 20, growth


@pytest.mark.parametrize("name, args", [
    ("_get_text", ("x", "y")),
    ("_get_text", ("", "y")),
    ("_print_dev", "dev"),
    ("_print_dev", "dev-noident"),
    ("_print_dev", "dev-bad"),
    ("_print_master", "master"),
    ("_print_master", "master-bad"),
    ("_discover", "discover"),
    ("_discover", "discover-all"),
    ("_get_master", "get"),
    ("_list_master", "list"),
])
def test_internal_functions_keep_reference_counts(tc, lib, name, args):
    """The internal functions called on their own, on paths that return and
    paths that raise; the arguments keep their counts and the results are
    the only new references."""
    several_masters(lib)
    out = lib.printer()
    base = lib.transports["IP"]()
    bridges = base.discover()
    good = doubles.ident()
    bad = dict(good, vendorName=None)
    dev = lib.utility.IoddDev(1, 291, 418, good)
    bad_bridge = doubles.Bridge(base, bridges[2].spec)
    bad_bridge.vendorId = "not a number"
    build = {
        "dev": (dev, good, out, True),
        "dev-noident": (dev, {}, out, False),
        "dev-bad": (dev, bad, out, False),
        "master": (bridges[0], out, True),
        "master-bad": (bad_bridge, out, 0),
        "discover": (base, ["".join("192.0.2.12"), "x", "192.0.2.10"], ["192.0.2.10"]),
        "discover-all": (base, [], []),
        "get": (bridges[2], {"activatePorts": "off"}, out, 1),
        "list": (bridges[0], {"activatePorts": "off"}, False, [], out, 0, False),
    }
    args = build.get(args, args)
    func = getattr(tc, name)
    before = [sys.getrefcount(a) for a in args]
    results = []
    for i in range(300):
        lib.log.clear()
        lib.fail_at = 1 + i % 12 if i % 3 == 0 else None
        lib.injected = None
        try:
            results.append(func(*args))
        except (Injected, TypeError, AttributeError, ValueError):
            pass
        lib.registered_masters.pop("192.0.2.10", None)
    lib.log.clear()
    held = {id(r) for r in results}
    results.clear()
    del lib.master_drivers[2:]
    gc.collect()
    after = [sys.getrefcount(a) for a in args]
    assert after == before, (held, name)
