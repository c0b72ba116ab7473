"""A lean, untraced in-memory double of the driver library for the benchmarks.

It offers exactly the objects and operations the checker uses (driver list,
base driver types, base drivers, master bridges, master drivers, port modes,
the driver manager, IoddDev and CommonDriverManager) as plain classes with
__slots__ and prebuilt data, so that a timed run spends as little as possible
inside the double itself.

    lib = Installation(masters=200, devices=8)
    with lib.installed(module_a, module_b):
        module_a.check(printFnc=null)

The modules look `_IoddDrv` and `IoddUtility` up in their namespace when they
use them, so rebinding those two attributes is enough; `installed()` puts the
previous values back on exit.

The generated installation mixes the cases the report functions treat
differently: IP, USB and BLE masters (plus an unusable transport and the
library's simulator, which the checker skips), masters with and without
name, vendor "unknown", a product name that starts with the vendor, a product
code equal to the product name, zero and large vendor/device IDs, integer and
missing firmware versions, devices without identification, placeholder
values (None, "", 0), values with surrounding white space or made of white
space alone, and non-ASCII text (Latin-1 and BMP characters).
"""

from __future__ import annotations

import contextlib
import types

IDENT_NAMES = (
    "vendorName", "vendorText", "productName", "productId", "productText",
    "serialNumber", "hardwareRevision", "firmwareRevision", "applicationSpecificTag",
)


def null(*a):
    pass


class PortMode:
    __slots__ = ("_on",)

    def __init__(self, on):
        self._on = on

    def activated(self):
        return self._on


class MasterDriver:
    __slots__ = ("_name", "_modes", "_devices", "_connected")

    def __init__(self, name, modes, devices):
        self._name = name
        self._modes = modes
        self._devices = devices
        self._connected = False

    def driverName(self):
        return self._name

    def disableEventChecking(self):
        pass

    def connected(self):
        return self._connected

    def connect(self, opt):
        self._connected = True

    def getPortModes(self):
        return self._modes

    def getDevices(self, options=None):
        return self._devices

    def disconnect(self):
        self._connected = False


class MasterBridge:
    __slots__ = ("address", "_base", "_master", "_drv", "vendorId", "deviceId", "name",
                 "fwVersion", "vendor", "productName", "productCode")


class BaseDriver:
    __slots__ = ("_type",)

    def __init__(self, base_type):
        self._type = base_type

    def driverName(self):
        return self._type._name

    def discover(self, addr=None):
        if addr is None:
            return self._type._bridges
        return self._type._by_addr.get(addr)

    def connect(self, bridge, drvopt):
        drv = bridge._drv
        drv._connected = True
        return drv

    def close(self):
        pass


class BaseDriverType:
    __slots__ = ("_name", "_usable", "_bridges", "_by_addr", "_make")

    def __init__(self, name, usable=True, make=BaseDriver):
        self._name = name
        self._usable = usable
        self._bridges = []
        self._by_addr = {}
        self._make = make

    def exist(self):
        return (self._usable, "")

    def driverName(self):
        return self._name

    def __call__(self):
        return self._make(self)


class DriverEntry:
    __slots__ = ("_name", "_type")

    def __init__(self, name, base_type):
        self._name = name
        self._type = base_type

    def driverName(self):
        return self._name

    def getBaseDriverType(self):
        return self._type


class DriverManager:
    """Knows a registered (not active) master driver for some addresses."""

    __slots__ = ("_registered",)

    def __init__(self):
        self._registered = {}

    def checkBaseDriverActive(self, base_type):
        return False

    def getBaseDriver(self, base_type):
        return None

    def checkActiveMasterDriver(self, addr):
        return False

    def getActiveMasterDriver(self, addr):
        return None

    def checkMasterDriver(self, addr):
        return addr in self._registered

    def getMasterDriver(self, addr):
        return self._registered[addr]


class IoddDev:
    __slots__ = ("portId", "vendorId", "deviceId", "deviceIdentifier")

    def __init__(self, portId, vendorId, deviceId, deviceIdentifier=None):
        self.portId = portId
        self.vendorId = vendorId
        self.deviceId = deviceId
        self.deviceIdentifier = deviceIdentifier


class Logger:
    __slots__ = ("verbose",)

    def __init__(self, verbose=0):
        self.verbose = verbose


# Master identities, used in turn.
MASTER_KINDS = (
    # vendor is the start of the product name: left out of the master line
    dict(vendorId=1893, deviceId=0x10201, name="line {i}", fwVersion="2.4.1",
         vendor="Velmora", productName="Velmora IOLM-8 IP67", productCode="VM-IOLM8-IP67"),
    # little known about it: vendor "unknown", code equal to the name, vid 0
    dict(vendorId=0, deviceId=26, name="", fwVersion=None,
         vendor="unknown", productName="IOL-USB-Master V2", productCode="IOL-USB-Master V2"),
    dict(vendorId=812, deviceId=3, name="hub {i}", fwVersion=107,
         vendor="Example Sensors", productName="EXS Hub 4 IO-Link master", productCode="EXS-H4"),
    # non-ASCII vendor (Latin-1) and product name (BMP)
    dict(vendorId=1321, deviceId=259, name="Förderband {i}", fwVersion="3.0.0-rc2",
         vendor="Müller Automation", productName="BlueLink 2 – IO-Link", productCode=None),
)

# Device identifications, used in turn (None: a device without one).
DEVICE_KINDS = (
    dict(vendorName="Velmora", vendorText="www.velmora.com",
         productName="VPS-200 pressure sensor", productId="VPS-200-16B",
         productText="Pressure sensor 0..16 bar, IO-Link 1.1", serialNumber="VM{n:010d}",
         hardwareRevision="B", firmwareRevision="1.3.0", applicationSpecificTag="Infeed {n}"),
    dict(vendorName="Example Sensors ", vendorText=None,
         productName=" OD-30 optical distance sensor", productId="OD30-PNP",
         productText=None, serialNumber="", hardwareRevision=None,
         firmwareRevision="V0.9", applicationSpecificTag=None),
    None,
    dict(vendorName="\tNorrik Automation\n", vendorText="Norrik",
         productName="RA-5 rotary encoder", productId=" RA5-1024 ",
         productText="Absolute encoder, 1024 steps", serialNumber="NA-{n:08d}",
         hardwareRevision="1", firmwareRevision="4.2", applicationSpecificTag="   "),
    dict(vendorName="Velmora", vendorText="www.velmora.com",
         productName="VTS-10 temperature sensor", productId="VTS-10-PT1000",
         productText="Temperature transmitter -50..150 °C", serialNumber="VM{n:010d}",
         hardwareRevision="A", firmwareRevision="2.0.1", applicationSpecificTag="Sealer jaw"),
    dict(vendorName="Müller", vendorText="",
         productName="Lichtschranke LS–7", productId=None,
         productText="  ", serialNumber=None, hardwareRevision="",
         firmwareRevision=None, applicationSpecificTag=0),
    dict(vendorName="Example", vendorText=None,
         productName="", productId="EX-1",
         productText="Example valve terminal", serialNumber="EX{n}",
         hardwareRevision="2", firmwareRevision="1.0", applicationSpecificTag="Valves A"),
    dict(vendorName="Velmora", vendorText="www.velmora.com",
         productName="VDI-8 digital input hub", productId="VDI-8",
         productText="8 x digital input", serialNumber="VM{n:010d}",
         hardwareRevision="C", firmwareRevision="1.1.4", applicationSpecificTag="Sensors row {n}"),
)
IDENTIFIED = tuple(kind for kind in DEVICE_KINDS if kind is not None)
DEVICE_IDS = ((1893, 0x10A2F3), (812, 0x0803), (812, 0x0804), (1321, 0x0201),
              (1893, 0x1001), (0, 0), (4242, 0x1234567), (1893, 0xFFFF))

TRANSPORTS = ("IP", "IP", "IP", "USB", "BLE")


def _address(transport, i):
    if transport == "IP":
        return "10.%d.%d.%d" % (i >> 16 & 255, i >> 8 & 255, i & 255)
    if transport == "USB":
        return "COM%d" % (i + 1)
    return "D4:36:%02X:%02X:%02X:5C" % (i >> 16 & 255, i >> 8 & 255, i & 255)


def _fill(value, i, n):
    return value.format(i=i, n=n) if isinstance(value, str) else value


# The blanks of the "blanks" workload, around every identification text.
BLANKS = (" ", "\t", "  ", "\n ", " \t")


def _blank(value, n):
    if not isinstance(value, str):
        return value
    return BLANKS[n % len(BLANKS)] + value + BLANKS[(n + 2) % len(BLANKS)]


# Attributes that only the double's own methods use; a trace leaves them out.
_INTERNAL = frozenset(("_on", "_name", "_modes", "_devices", "_connected", "_drv", "_type",
                       "_usable", "_bridges", "_by_addr", "_make", "_registered"))


def _describe(value):
    """A comparable description of a value handed to the library."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, dict):
        return {_describe(k): _describe(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_describe(v) for v in value]
    if isinstance(value, MasterBridge):
        return ("bridge", object.__getattribute__(value, "address"))
    if isinstance(value, BaseDriver):
        value = object.__getattribute__(value, "_type")
    if isinstance(value, BaseDriverType):
        return ("base", object.__getattribute__(value, "_name"))
    return type(value).__name__


def _traced_class(cls, log):
    """A subclass of `cls` that logs attribute reads and method calls."""
    label = cls.__name__

    def __getattribute__(self, name):
        if name not in _INTERNAL and not name.startswith("__"):
            log.append(("get", label, name))
        return object.__getattribute__(self, name)

    def wrap(name, fn):
        def method(self, *args, **kwargs):
            log.append(("call", label, name, _describe(args), _describe(kwargs)))
            return fn(self, *args, **kwargs)
        method.__name__ = name
        return method

    body = {"__slots__": (), "__getattribute__": __getattribute__}
    for name, fn in vars(cls).items():
        if callable(fn) and (not name.startswith("__") or name in ("__init__", "__call__")):
            body[name] = wrap(name, fn)
    return type(label, (cls,), body)


def _traced_namespace(label, log):
    class Namespace(types.SimpleNamespace):
        def __getattribute__(self, name):
            if not name.startswith("__"):
                log.append(("get", label, name))
            return object.__getattribute__(self, name)

        def __setattr__(self, name, value):
            log.append(("set", label, name, _describe(value)))
            object.__setattr__(self, name, value)

    return Namespace


def _traced_dict(log):
    class Identification(dict):
        __slots__ = ()

        def __getitem__(self, key):
            log.append(("item", key))
            return dict.__getitem__(self, key)

    return Identification


class Installation:
    """N masters with M devices each, spread over the IP, USB and BLE base
    driver types; `_IoddDrv` and `IoddUtility` are its two namespaces.

    `iodd`: whether CommonDriverManager.iodd starts out set (truthy), so that
    check() leaves it alone. `blanks`: the variant workload where every fourth
    device has no identification and every identification text carries
    blanks around it. `trace`: a list that, when given, receives every
    attribute read, method call and identification lookup the checker makes
    on the library's objects (slow: for the tests only).
    """

    def __init__(self, masters=200, devices=8, iodd=True, trace=None, blanks=False):
        classes = {cls.__name__: cls for cls in (
            PortMode, MasterDriver, MasterBridge, BaseDriver, BaseDriverType, DriverEntry,
            DriverManager, IoddDev, Logger)}
        namespace = types.SimpleNamespace
        ident_dict = dict
        if trace is not None:
            classes = {name: _traced_class(cls, trace) for name, cls in classes.items()}
            namespace = None
            ident_dict = _traced_dict(trace)
        C = types.SimpleNamespace(**classes)

        def make_namespace(label, **attrs):
            ns_type = namespace or _traced_namespace(label, trace)
            ns = ns_type()
            for key, value in attrs.items():
                object.__setattr__(ns, key, value)
            return ns

        types_ = {name: C.BaseDriverType(name, make=C.BaseDriver) for name in ("IP", "USB", "BLE")}
        unusable = C.BaseDriverType("WLAN", usable=False, make=C.BaseDriver)
        simulator = C.BaseDriverType("Sim", make=C.BaseDriver)
        self.manager = C.DriverManager()
        self.bridges = []
        self.devices = []   # every device table entry, master by master
        self.masters = masters
        self.devices_per_master = devices
        self._IoddDev = C.IoddDev
        for i in range(masters):
            transport = TRANSPORTS[i % len(TRANSPORTS)]
            kind = MASTER_KINDS[i % len(MASTER_KINDS)]
            table = []
            for j in range(devices):
                n = i * devices + j
                ident = DEVICE_KINDS[(i + j) % len(DEVICE_KINDS)]
                if blanks:
                    ident = None if n % 4 == 3 else IDENTIFIED[(i + j) % len(IDENTIFIED)]
                if ident is not None:
                    ident = ident_dict({key: _fill(ident[key], i, n) for key in IDENT_NAMES})
                    if blanks:
                        ident = ident_dict({key: _blank(value, n + k)
                                            for k, (key, value) in enumerate(ident.items())})
                vid, did = DEVICE_IDS[(i * 3 + j) % len(DEVICE_IDS)]
                table.append((j + 1, vid, did, ident))
            self.devices.extend(table)
            # Ports: usually the first one activated; every seventh master has
            # all ports off, so the scan walks all of them.
            modes = [C.PortMode(j == 0 and i % 7 != 6) for j in range(max(devices, 1))]
            drv = C.MasterDriver("IOL-" + transport, modes, table)
            bridge = C.MasterBridge()
            object.__setattr__(bridge, "address", _address(transport, i))
            # Every eleventh master has no master driver class.
            object.__setattr__(bridge, "_master", None if i % 11 == 10 else drv)
            object.__setattr__(bridge, "_drv", drv)
            for key, value in kind.items():
                object.__setattr__(bridge, key, _fill(value, i, i))
            base_type = types_[transport]
            object.__getattribute__(base_type, "_bridges").append(bridge)
            object.__getattribute__(base_type, "_by_addr")[_address(transport, i)] = bridge
            self.bridges.append(bridge)
            # Every fifth master is known to the driver manager already.
            if i % 5 == 4:
                object.__getattribute__(self.manager, "_registered")[_address(transport, i)] = drv
        # The bridges point at a base driver of their own type.
        for base_type in types_.values():
            base = C.BaseDriver(base_type)
            for bridge in object.__getattribute__(base_type, "_bridges"):
                object.__setattr__(bridge, "_base", base)

        driverlist = [C.DriverEntry("IOL-" + name, base_type)
                      for name, base_type in types_.items()]
        driverlist.insert(1, C.DriverEntry("IOL-WLAN", unusable))
        driverlist.append(C.DriverEntry("IOL-SIM", simulator))

        # A truthy configuration keeps check() from making one, so that every
        # timed run does the same work.
        self._IoddDrv = make_namespace(
            "_IoddDrv", driverlist=driverlist,
            IoddBaseDriver=make_namespace("IoddBaseDriver", commonDrivers=self.manager),
            IoddMasterDriver=make_namespace("IoddMasterDriver", _identNames=IDENT_NAMES))
        self.IoddUtility = make_namespace(
            "IoddUtility",
            CommonDriverManager=make_namespace(
                "CommonDriverManager",
                iodd=types.SimpleNamespace(_logger=None) if iodd else None),
            Logger=C.Logger, IoddDev=C.IoddDev)
        if trace is not None:
            trace.clear()

    @property
    def ndevices(self):
        return len(self.devices)

    def device_records(self):
        """(dev, ident) for every device, as the listing hands them to _print_dev."""
        records = []
        for entry in self.devices:
            dev = self._IoddDev(*entry)
            records.append((dev, dev.deviceIdentifier))
        return records

    @contextlib.contextmanager
    def installed(self, *modules):
        saved = [(m, m._IoddDrv, m.IoddUtility) for m in modules]
        try:
            for m in modules:
                m._IoddDrv = self._IoddDrv
                m.IoddUtility = self.IoddUtility
            yield self
        finally:
            for m, drv, util in saved:
                m._IoddDrv = drv
                m.IoddUtility = util
