"""A recording double of the driver library velmora.base.

Every operation the checker may call is logged in `Library.log` as a tuple
(operation, *arguments). `Library.fail_at = k` makes the k-th logged call
raise `Library.error` (a fresh `Injected` unless set), which lets tests
inject a fault at every step of a run in turn; `Library.fail_after` names
operations that raise once that fault is out (failing clean-ups), and
`Library.on_event` is called with every entry as it is logged.

Install it into the loaded checker with `Library.install(module)`; the checker
looks `_IoddDrv` and `IoddUtility` up in its namespace at each use.
"""

from types import SimpleNamespace


class Injected(Exception):
    """The fault a test injected."""


class Library:
    IDENT_NAMES = ("vendorName", "vendorText", "productName", "productId",
                   "productText", "serialNumber", "hardwareRevision",
                   "firmwareRevision", "applicationSpecificTag")

    def __init__(self):
        self.log = []
        self.fail_at = None
        self.error = None
        self.injected = None          # the exception raised at fail_at, once raised
        self.fail_after = {}          # operation -> exception it raises after that
        self.on_event = None          # called with each entry as it is logged
        self.transports = {}          # name -> Transport, in driver-list order
        self.active_bases = {}        # Transport -> Base
        self.active_masters = {}      # address -> MasterDrv
        self.registered_masters = {}  # address -> MasterDrv
        self.master_drivers = []      # every master driver handed out
        self.bases = []               # every base driver handed out

        lib = self

        class CommonDriverManager:
            iodd = None

        class Logger:
            def __init__(self, verbose):
                lib.event("Logger", verbose)
                self.verbose = verbose

        class IoddDev:
            def __init__(self, portId, vendorId, deviceId, deviceIdentifier=None):
                lib.event("IoddDev", portId)
                self.portId = portId
                self.vendorId = vendorId
                self.deviceId = deviceId
                self.deviceIdentifier = deviceIdentifier

        class IoddMasterDriver:
            _identNames = list(self.IDENT_NAMES)

        class IoddBaseDriver:
            commonDrivers = Manager(self)

        self.utility = SimpleNamespace(CommonDriverManager=CommonDriverManager,
                                       Logger=Logger, IoddDev=IoddDev)
        self.drv = SimpleNamespace(driverlist=[], IoddMasterDriver=IoddMasterDriver,
                                   IoddBaseDriver=IoddBaseDriver)

    # -- set-up -------------------------------------------------------------
    def transport(self, name, usable=True, base_name=None):
        t = Transport(self, name, usable, base_name or name)
        self.transports[name] = t
        self.drv.driverlist.append(Driver(self, f"IOL-{name}", t))
        return t

    def install(self, module):
        saved = {name: getattr(module, name) for name in ("_IoddDrv", "IoddUtility")}
        module._IoddDrv = self.drv
        module.IoddUtility = self.utility
        return saved

    # -- recording ----------------------------------------------------------
    def event(self, *entry):
        self.log.append(entry)
        if self.on_event is not None:
            self.on_event(entry)
        if self.fail_at is not None and len(self.log) == self.fail_at:
            self.injected = (self.error if self.error is not None
                             else Injected(f"fault at call {self.fail_at}"))
            raise self.injected.with_traceback(None)
        if self.injected is not None and entry[0] in self.fail_after:
            raise self.fail_after[entry[0]].with_traceback(None)

    def printer(self):
        """An output function whose calls are logged as ("print", text), or
        ("print",) for a call without argument, so that faults can be
        injected into output calls as well."""
        def printFnc(*args):
            self.event("print", *args)
        return printFnc

    def printed(self):
        """The texts handed to a `printer()`, None for a call without argument."""
        return [e[1] if len(e) > 1 else None for e in self.ops("print")]

    def ops(self, *names):
        """The logged entries, optionally only those of the given operations."""
        return [e for e in self.log if not names or e[0] in names]


class Manager:
    def __init__(self, lib):
        self.lib = lib

    def checkBaseDriverActive(self, baseType):
        self.lib.event("checkBaseDriverActive", baseType.name)
        return baseType in self.lib.active_bases

    def getBaseDriver(self, baseType):
        self.lib.event("getBaseDriver", baseType.name)
        return self.lib.active_bases[baseType]

    def checkActiveMasterDriver(self, addr):
        self.lib.event("checkActiveMasterDriver", addr)
        return addr in self.lib.active_masters

    def getActiveMasterDriver(self, addr):
        self.lib.event("getActiveMasterDriver", addr)
        return self.lib.active_masters[addr]

    def checkMasterDriver(self, addr):
        self.lib.event("checkMasterDriver", addr)
        return addr in self.lib.registered_masters

    def getMasterDriver(self, addr):
        self.lib.event("getMasterDriver", addr)
        return self.lib.registered_masters[addr]


class Driver:
    def __init__(self, lib, name, transport):
        self.lib, self.name, self.transport = lib, name, transport

    def driverName(self):
        self.lib.event("driver.driverName", self.name)
        return self.name

    def getBaseDriverType(self):
        self.lib.event("getBaseDriverType", self.name)
        return self.transport


class Transport:
    """A base driver type: calling it makes a new base driver."""

    def __init__(self, lib, name, usable, base_name):
        self.lib, self.name, self.usable, self.base_name = lib, name, usable, base_name
        self.masters = []   # Master specs reachable through this transport

    def __hash__(self):
        return id(self)

    def exist(self):
        self.lib.event("exist", self.name)
        return (self.usable, "")

    def driverName(self):
        self.lib.event("type.driverName", self.name)
        return self.base_name

    def __call__(self):
        self.lib.event("newBase", self.name)
        base = Base(self.lib, self)
        self.lib.bases.append(base)
        return base

    def master(self, address, *, devices=(), ports=(True,), connect_error=None,
               master_driver="auto", **identity):
        """Adds a master; `devices` are device-table entries (tuples)."""
        m = SimpleNamespace(address=address, devices=list(devices), ports=list(ports),
                            connect_error=connect_error, identity=identity,
                            master_driver=master_driver)
        self.masters.append(m)
        return m


IDENTITY = dict(vendorId=914, deviceId=9, name="Line 3", fwVersion="2.4.1",
                vendor="Example Automation", productName="Example 8-port master",
                productCode="EX-M8")


class Bridge:
    def __init__(self, base, spec):
        self.address = spec.address
        self._base = base
        kind = spec.master_driver
        self._master = (MasterType(f"IOL-{base.transport.name}") if kind == "auto" else kind)
        for key, value in {**IDENTITY, **spec.identity}.items():
            setattr(self, key, value)
        self.spec = spec


class MasterType:
    def __init__(self, name):
        self.name = name

    def driverName(self):
        return self.name


class Base:
    def __init__(self, lib, transport):
        self.lib, self.transport = lib, transport
        self.closed = 0
        lib.active_bases[transport] = self

    def driverName(self):
        self.lib.event("base.driverName", self.transport.name)
        return self.transport.base_name

    def discover(self, *addr):
        self.lib.event("discover", self.transport.name, *addr)
        if not addr:
            return [Bridge(self, m) for m in self.transport.masters]
        for m in self.transport.masters:
            if m.address == addr[0]:
                return Bridge(self, m)
        return None

    def connect(self, bridge, drvopt):
        self.lib.event("base.connect", bridge.address, drvopt)
        if bridge.spec.connect_error is not None:
            # The same instance each time, without the frames of earlier raises.
            raise bridge.spec.connect_error.with_traceback(None)
        drv = MasterDrv(self.lib, bridge.spec, f"IOL-{self.transport.name}")
        self.lib.registered_masters[bridge.address] = drv
        return drv

    def close(self):
        self.lib.event("close", self.transport.name)
        self.closed += 1
        self.lib.active_bases.pop(self.transport, None)


class PortMode:
    def __init__(self, lib, address, index, active):
        self.lib, self.address, self.index, self.active = lib, address, index, active

    def activated(self):
        self.lib.event("activated", self.address, self.index)
        return self.active


class MasterDrv:
    def __init__(self, lib, spec, name, is_connected=False):
        self.lib, self.spec, self.name = lib, spec, name
        self.is_connected = is_connected
        self.disconnects = 0
        lib.master_drivers.append(self)

    def driverName(self):
        return self.name

    def disableEventChecking(self):
        self.lib.event("disableEventChecking", self.spec.address)

    def connected(self):
        self.lib.event("connected", self.spec.address)
        return self.is_connected

    def connect(self, opt):
        self.lib.event("drv.connect", self.spec.address, opt)
        self.is_connected = True

    def getPortModes(self):
        self.lib.event("getPortModes", self.spec.address)
        return [PortMode(self.lib, self.spec.address, i, a) for i, a in enumerate(self.spec.ports)]

    def getDevices(self, options):
        self.lib.event("getDevices", self.spec.address, options)
        return list(self.spec.devices)

    def disconnect(self):
        self.lib.event("disconnect", self.spec.address)
        self.disconnects += 1
        self.is_connected = False


def ident(**values):
    """A complete identification mapping, with `values` replacing defaults."""
    base = dict(vendorName="Example Sensors", vendorText="", productName="PS-10",
                productId="PS-10-A", productText="Pressure sensor",
                serialNumber="SN1", hardwareRevision="B", firmwareRevision="V1.2",
                applicationSpecificTag="tag")
    base.update(values)
    return base


class LoggedMasterType(MasterType):
    """A bridge's `_master` whose driverName() is logged (and so can fail)."""

    def __init__(self, lib, name):
        super().__init__(name)
        self.lib = lib

    def driverName(self):
        self.lib.event("master.driverName", self.name)
        return self.name


def several_masters(lib):
    """An installation exercising every path of a run: an IP transport with a
    master listed from a new connection (two devices, one without
    identification), one that cannot be connected and one whose driver the
    manager has registered; a USB transport whose master driver is active and
    connected; an unusable BLE transport and a simulator. Every report text
    differs from every other. Returns the library."""
    ip = lib.transport("IP")
    usb = lib.transport("USB")
    lib.transport("BLE", usable=False)
    lib.transport("SIM", base_name="Sim")
    ip.master("192.0.2.10", ports=(False, True, False),
              master_driver=LoggedMasterType(lib, "IOL-IP"),
              devices=[(1, 291, 418, ident()), (2, 5, 0x1A2B3, None)])
    ip.master("192.0.2.11", connect_error=OSError("unreachable"), name="Hall B")
    c = ip.master("192.0.2.12", ports=(), master_driver=None, vendor="unknown",
                  devices=[(4, 7, 8, ident(productText="  ", serialNumber=None))])
    lib.registered_masters[c.address] = MasterDrv(lib, c, "IOL-IP")
    d = usb.master("COM5", master_driver=LoggedMasterType(lib, "IOL-USB"), vendorId=0,
                   devices=[(1, 1, 2, ident(vendorName="Other", productName="Valve"))])
    lib.active_masters[d.address] = MasterDrv(lib, d, "IOL-USB", is_connected=True)
    return lib
