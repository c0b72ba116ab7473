"""IO-Link driver objects: driver list, base drivers, master bridges, master
drivers and the process-wide driver manager.

How the pieces fit:

* ``driverlist`` holds one master driver class per transport (IP, USB, BLE,
  and the library's simulator).  ``entry.getBaseDriverType()`` gives the base
  driver type of that transport.
* ``BaseType.exist()`` says whether the transport is usable; ``BaseType()``
  opens a base driver, which registers itself with the driver manager
  (``IoddBaseDriver.commonDrivers``) as the active one of its type until
  ``close()``.
* ``base.discover()`` returns master bridges (``MasterBridge``), one per master
  answering on that transport; ``base.connect(bridge, {base.driverName(): opt})``
  opens a session and returns a master driver registered under the master's
  address.
* The master driver reads port modes and the device table; with
  ``{"activatePorts": "auto"}`` it first switches every port of a master whose
  ports are all deactivated to IO-Link mode.

All hardware access goes through the ``_backend`` interfaces; what is behind
them (the in-process emulation, or later a network client) is chosen by
``_state.runtime``.
"""

from __future__ import annotations

import copy
from typing import Any

from . import IoddUtility
from ._address import address_key, address_problem, host_range, is_mac, near_match, parse_target
from ._backend import MasterLink, ReadAhead, TransportBackend
from ._emulation import EmulatedMaster, Plant
from ._errors import InstallationError, IoddError, WorkAborted
from ._health import Health
from ._http import Stop, stopped_by
from ._installation import DEMO_SOURCE, IDENT_NAMES
from ._state import runtime

__all__ = [
    "IoddError",
    "InstallationError",
    "IoddBaseDriver",
    "IoddMasterDriver",
    "MasterBridge",
    "PortMode",
    "driverlist",
]

ACTIVATE_PORTS = ("auto", "off")
# How the note about emulated masters begins (after "velmora.base: ").
EMULATION_NOTE = "emulated masters: the masters of"


def _log(message: str) -> None:
    """Debug output through the logger of the application, when it set one."""
    iodd = IoddUtility.CommonDriverManager.iodd
    logger = getattr(iodd, "_logger", None)
    debug = getattr(logger, "debug", None)
    if callable(debug):
        debug(f"velmora.base: {message}")


def _warn(message: str) -> None:
    """A warning through the logger of the application, when it set one."""
    logger = getattr(IoddUtility.CommonDriverManager.iodd, "_logger", None)
    warning = getattr(logger, "warning", None)
    if callable(warning):
        warning(f"velmora.base: {message}")


def _not_connected(transport: str, address: str, exc: BaseException) -> None:
    """The one warning for a master that was to be connected and could not
    be: the application may skip it without a word of its own.  None when
    the application aborted its work: that is no fault of the master."""
    if isinstance(exc, WorkAborted):
        return
    reason = str(exc).removeprefix(f"Master {address}: ") or type(exc).__name__
    _warn(f"{transport}: master {address} not connected: {reason}")


def _rest_address(address: str) -> bool:
    """An address the IP transport looks up over REST, and warns about itself
    when nothing answers there or it cannot be a master."""
    if parse_target(address) is not None or address_problem(address) is not None:
        return True
    backend = runtime.backend("IP")
    asked = getattr(backend, "_asked_over_rest", None)
    if callable(asked):
        return bool(asked(address)) and backend.availability()[0]
    settings = getattr(backend, "settings", None)
    try:
        return callable(settings) and bool(settings().listed(address))
    except IoddError:
        return False


def _note_emulation(links: list[MasterLink]) -> None:
    """Once (until the next check of an application that tells the library
    its addresses): say that emulated masters are being checked, which
    installation they come from and how to check a real plant."""
    logger = getattr(IoddUtility.CommonDriverManager.iodd, "_logger", None)
    if runtime.noted or logger is None or not any(isinstance(link, EmulatedMaster) for link in links):
        return
    runtime.noted = True
    source = runtime.installation().source
    which = ("the demo plant built into the stand-in driver library" if source == DEMO_SOURCE
             else f"the installation {source}")
    _warn(f"{EMULATION_NOTE} {which} are emulated, not real; to check real masters, give their IP "
          "addresses or an address range (10.0.0.5, 10.0.0.0/24) or set VELMORA_BASE_REST_HOSTS")


def _check_opt(opt: Any, where: str) -> dict[str, str]:
    """Validate a driver option dict {"activatePorts": "auto" | "off"}.

    A bad option is a programming error of the caller, so it raises
    TypeError / ValueError rather than IoddError.
    """
    if opt is None:
        return {"activatePorts": "off"}
    if not isinstance(opt, dict):
        raise TypeError(f"{where}: options must be a dict, not {type(opt).__name__}")
    for key in opt:
        if key != "activatePorts":
            raise ValueError(f"{where}: unknown option {key!r} (known: 'activatePorts')")
    value = opt.get("activatePorts", "off")
    if value not in ACTIVATE_PORTS:
        raise ValueError(f"{where}: activatePorts must be 'auto' or 'off', not {value!r}")
    return {"activatePorts": value}


class PortMode:
    """Mode of one port as reported by getPortModes()."""

    __slots__ = ("portId", "mode")

    def __init__(self, portId: int, mode: str):
        self.portId = portId
        self.mode = mode

    def activated(self) -> bool:
        return self.mode != "DEACTIVATED"

    def isIoLink(self) -> bool:
        return self.mode == "IOLINK"

    def __repr__(self) -> str:
        return f"PortMode({self.portId}, {self.mode!r})"


class MasterBridge:
    """A master found by discovery: its address and what it says about itself."""

    def __init__(self, base: IoddBaseDriver, link: MasterLink):
        self.address = link.address
        self._base = base
        self._link = link
        self._master = base._master_class if link.supported else None
        ident = link.identity
        self.vendorId = ident.get("vendorId", 0)
        self.deviceId = ident.get("deviceId", 0)
        self.name = ident.get("name")
        self.fwVersion = ident.get("fwVersion")
        self.vendor = ident.get("vendor")
        self.productName = ident.get("productName")
        self.productCode = ident.get("productCode")

    def __repr__(self) -> str:
        return f"<MasterBridge {self._base.driverName()} {self.address} {self.productName!r}>"

    @property
    def health(self) -> Health:
        """Read only: the master's pending diagnoses (its own, its ports' and
        its devices', from its event log) and each port's communication, as
        its latest session read them; what the master does not tell, or a
        master never connected, is left out (``Health()``).  Reading it asks
        the master nothing."""
        return self._link.health()


class _DriverManager:
    """The driver manager of the process: active base driver per type and the
    master drivers per address.

    A master driver stays registered after disconnect(); it is "active" while
    connected, and reconnects through the newest discovery's link (``_found``).
    Every query first makes sure the installation is loaded, so the
    drivers the installation says are already held show up.
    """

    def __init__(self) -> None:
        self._base: dict[type[IoddBaseDriver], IoddBaseDriver] = {}
        self._masters: dict[str, IoddMasterDriver] = {}

    def __repr__(self) -> str:
        return f"<DriverManager base={sorted(t.driverName() for t in self._base)} masters={sorted(self._masters)}>"

    def checkBaseDriverActive(self, baseType: type) -> bool:
        runtime.plant()
        return baseType in self._base

    def getBaseDriver(self, baseType: type) -> IoddBaseDriver | None:
        runtime.plant()
        return self._base.get(baseType)

    def checkActiveMasterDriver(self, addr: str) -> bool:
        return self.getActiveMasterDriver(addr) is not None

    def getActiveMasterDriver(self, addr: str) -> IoddMasterDriver | None:
        driver = self.getMasterDriver(addr)
        return driver if driver is not None and driver.connected() else None

    def checkMasterDriver(self, addr: str) -> bool:
        return self.getMasterDriver(addr) is not None

    def getMasterDriver(self, addr: str) -> IoddMasterDriver | None:
        runtime.plant()
        return self._masters.get(addr)

    # -- used by the drivers ----------------------------------------------------

    def _register_base(self, driver: IoddBaseDriver) -> None:
        with runtime.lock:
            self._base[type(driver)] = driver

    def _unregister_base(self, driver: IoddBaseDriver) -> None:
        with runtime.lock:
            if self._base.get(type(driver)) is driver:
                del self._base[type(driver)]

    def _register_master(self, driver: IoddMasterDriver) -> None:
        with runtime.lock:
            self._masters[driver.address] = driver

    def _found(self, links: list[MasterLink]) -> None:
        """Masters just found: a registered driver without a session
        reconnects through the link found now, not the one of an earlier
        discovery (whose base driver may be closed, whose settings may be
        old, and that no read-ahead serves any more)."""
        with runtime.lock:
            for link in links:
                driver = self._masters.get(link.address)
                if (driver is not None and not driver._session and driver._link is not link
                        and link.supported and driver._link.transport == link.transport):
                    driver._link = link

    def _abort(self) -> None:
        """Every wait of the open base drivers' transports ends (see abort())."""
        with runtime.lock:
            drivers = list(self._base.values())
        for driver in drivers:
            driver._stop.set()

    def _clear(self) -> None:
        with runtime.lock:
            self._base.clear()
            self._masters.clear()


class IoddBaseDriver:
    """Base driver of one transport; use the subclasses from driverlist."""

    commonDrivers = _DriverManager()

    _transport: str = ""
    _name: str = ""
    _master_class: type[IoddMasterDriver]

    @classmethod
    def exist(cls) -> tuple[bool, str]:
        if not cls._transport:
            return (False, "not a transport")
        return runtime.backend(cls._transport).availability()

    @classmethod
    def driverName(cls) -> str:
        return cls._name

    def __init__(self) -> None:
        self._init(preloaded=False)

    def _init(self, preloaded: bool) -> None:
        if not self._transport:
            raise TypeError("IoddBaseDriver is abstract; use a type from driverlist")
        ok, reason = self.exist()
        if not ok:
            raise IoddError(f"{self._name}: transport not available: {reason}")
        self._closed = False
        self._ahead: ReadAhead | None = None  # masters read ahead of the listing
        self._stop = Stop()  # set by abort(): the waits of this base driver's transport end
        self._preloaded = preloaded
        self.commonDrivers._register_base(self)
        if not preloaded:
            runtime.base_drivers.append(self)
            runtime.record("base-created", self._transport)
            _log(f"{self._name} base driver opened")

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return f"<{type(self).__name__} {state}>"

    def _check_open(self, what: str) -> None:
        if self._closed:
            raise IoddError(f"{self._name}: {what} on a closed base driver")

    def discover(self, addr: str | None = None):
        """All masters answering on this transport, or the one at addr (or None)."""
        self._check_open("discover")
        backend = runtime.backend(self._transport)
        if addr is None:
            with stopped_by(self._stop):
                links = backend.discover()
                _note_emulation(links)
                self.commonDrivers._found(links)
                self._read_ahead(backend, links)
            bridges = [MasterBridge(self, link) for link in links]
            runtime.record("discover", self._transport, None, found=len(bridges))
            _log(f"{self._name} discover() -> {[b.address for b in bridges]}")
            return bridges
        with stopped_by(self._stop):
            link = backend.find(addr)
            _note_emulation([] if link is None else [link])
            self.commonDrivers._found([] if link is None else [link])
            self._read_ahead(backend, [] if link is None else [link])
        runtime.record("discover", self._transport, addr, found=int(link is not None))
        _log(f"{self._name} discover({addr!r}) -> {'found' if link else 'nothing'}")
        if link is None:
            self._nothing_at(addr)
        return None if link is None else MasterBridge(self, link)

    def _read_ahead(self, backend: TransportBackend, links: list[MasterLink]) -> None:
        if self._ahead is None:
            make = getattr(backend, "read_ahead", None)  # a backend plugged in may have none
            self._ahead = make() if make is not None else None
        if self._ahead is not None:
            self._ahead.add(links)

    def _nothing_at(self, addr: object) -> None:
        """An application asks each transport in turn for an address; one
        that no transport has gets one warning.  The BLE transport speaks
        for Bluetooth addresses, the USB transport for every other address,
        or the other one of the two when it is not available (the IP
        transport, asked first, stays silent about a plain address unless
        neither is available, and warns itself about an address it asked
        over REST)."""
        if not isinstance(addr, str):
            return
        speakers = ("BLE", "USB", "IP") if is_mac(addr) else ("USB", "BLE", "IP")
        if self._transport != next((t for t in speakers if runtime.backend(t).availability()[0]), None):
            return
        if _rest_address(addr):
            return
        key = address_key(addr)
        answering = [m.address for m in runtime.plant().masters if m.spec.present]
        if any(address_key(a) == key for a in answering):
            return
        try:
            swept = host_range(addr) is not None
        except ValueError:
            swept = True
        if swept:
            _warn(f"no master at {addr!r}: an address range is swept only when it is given to "
                  "velmora.base.expect_addresses() first, as tessadyn-check -a and the window do")
            return
        near = near_match(addr, answering)
        _warn(f"no master at {addr!r}" + (f" (did you mean {near!r}?)" if near else ""))

    def connect(self, bridge: MasterBridge, drvopt: dict) -> IoddMasterDriver:
        """Open a session with a discovered master; drvopt is {self.driverName(): opt}."""
        self._check_open("connect")
        if not isinstance(bridge, MasterBridge):
            raise TypeError(f"{self._name}.connect: expected a master bridge from discover(), not {type(bridge).__name__}")
        if type(bridge._base) is not type(self):
            raise ValueError(
                f"{self._name}.connect: master {bridge.address} was discovered by the {bridge._base.driverName()} base driver"
            )
        if not isinstance(drvopt, dict) or set(drvopt) != {self._name}:
            raise ValueError(f"{self._name}.connect: drvopt must be {{{self._name!r}: options}}, got {drvopt!r}")
        opt = _check_opt(drvopt[self._name], f"{self._name}.connect")
        address = bridge.address
        detail: dict[str, Any] = {"options": copy.deepcopy(drvopt)}
        if bridge._master is None:
            runtime.record("base-connect", self._transport, address, ok=False, error="unsupported", **detail)
            exc = IoddError(f"Master {address}: no master driver for {bridge.productName or 'this product'}")
            _not_connected(self._name, address, exc)
            raise exc
        link = bridge._link
        try:
            link.open()
        except IoddError as exc:
            runtime.record("base-connect", self._transport, address, ok=False, error=str(exc), **detail)
            _log(f"{self._name} connect({address}) failed: {exc}")
            _not_connected(self._name, address, exc)
            raise
        driver = bridge._master._create(self, link, opt, preloaded=False)
        runtime.record("base-connect", self._transport, address, ok=True, error=None, **detail)
        _log(f"{self._name} connect({address}) -> {driver.driverName()}")
        return driver

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        self.commonDrivers._unregister_base(self)
        with runtime.lock:
            if self in runtime.base_drivers:
                runtime.base_drivers.remove(self)
        if not self._preloaded:
            runtime.record("base-closed", self._transport)
            _log(f"{self._name} base driver closed")
        ahead, self._ahead = self._ahead, None
        if ahead is not None:
            ahead.close()
        end_batch = getattr(runtime.backend(self._transport), "end_batch", None)
        if callable(end_batch):
            end_batch()


class IolIpBaseDriver(IoddBaseDriver):
    _transport = "IP"
    _name = "IP"


class IolUsbBaseDriver(IoddBaseDriver):
    _transport = "USB"
    _name = "USB"


class IolBleBaseDriver(IoddBaseDriver):
    _transport = "BLE"
    _name = "BLE"


class IolSimBaseDriver(IoddBaseDriver):
    """The library's own simulator transport; it never finds a master here."""

    _transport = "SIM"
    _name = "Sim"


class IoddMasterDriver:
    """A session with one master.  Made by base.connect(); use the transport
    classes from driverlist for driverName() / getBaseDriverType()."""

    _identNames = IDENT_NAMES
    _name = ""
    _base_type: type[IoddBaseDriver] | None = None

    # Set by _create() on the instance it makes without __init__.
    address: str
    _base: IoddBaseDriver | None
    _link: MasterLink
    _options: dict[str, Any]
    _session: bool
    _preloaded: bool
    _opened_by_caller: bool
    _eventChecking: bool

    @classmethod
    def driverName(cls) -> str:
        return cls._name

    @classmethod
    def getBaseDriverType(cls) -> type[IoddBaseDriver] | None:
        return cls._base_type

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        raise TypeError("master drivers are made by base_driver.connect(bridge, drvopt)")

    @classmethod
    def _create(cls, base: IoddBaseDriver | None, link: MasterLink, opt: dict, preloaded: bool) -> IoddMasterDriver:
        driver = object.__new__(cls)
        driver.address = link.address
        driver._base = base
        driver._link = link
        driver._options = opt
        driver._session = True  # the link was opened for this driver
        driver._preloaded = preloaded
        driver._opened_by_caller = not preloaded
        driver._eventChecking = True
        IoddBaseDriver.commonDrivers._register_master(driver)
        if not preloaded:
            runtime.master_drivers.append(driver)
        return driver

    def __repr__(self) -> str:
        state = "connected" if self.connected() else "disconnected"
        return f"<{type(self).__name__} {self.address} {state}>"

    @property
    def _transport(self) -> str:
        return self._link.transport

    def _require_session(self, what: str) -> None:
        if not self._session:
            raise IoddError(f"Master {self.address}: {what}: not connected")
        if not self._link.is_open():
            raise IoddError(f"Master {self.address}: {what}: connection lost")

    def disableEventChecking(self) -> None:
        self._eventChecking = False

    def connected(self) -> bool:
        return self._session and self._link.is_open()

    def connect(self, opt: dict | None = None) -> None:
        """(Re)open the session; a no-op while connected."""
        opt = _check_opt(opt, f"{self.driverName()}.connect")
        detail = {"options": copy.deepcopy(opt)}
        if self.connected():
            self._options = opt
            runtime.record("master-connect", self._transport, self.address, ok=True, error=None, already=True, **detail)
            return
        if self._session:  # session whose link dropped: start over
            self._session = False
            self._link.close()
        try:
            self._link.open()
            if not self._link.is_open():
                self._link.close()
                raise IoddError(f"Master {self.address}: connection lost right after connect")
        except IoddError as exc:
            runtime.record("master-connect", self._transport, self.address, ok=False, error=str(exc), already=False, **detail)
            _log(f"{self.driverName()} connect({self.address}) failed: {exc}")
            _not_connected(self._transport, self.address, exc)
            raise
        self._session = True
        self._opened_by_caller = True
        self._options = opt
        if self not in runtime.master_drivers:
            runtime.master_drivers.append(self)
        runtime.record("master-connect", self._transport, self.address, ok=True, error=None, already=False, **detail)

    def getPortModes(self) -> list[PortMode]:
        self._require_session("getPortModes")
        modes = self._link.port_modes()
        runtime.record("get-port-modes", self._transport, self.address)
        return [PortMode(i, mode) for i, mode in enumerate(modes, start=1)]

    def getDevices(self, options: dict | None = None) -> list[tuple]:
        """Device table entries (portId, vendorId, deviceId, identification).

        With {"activatePorts": "auto"} a master whose ports are all
        deactivated gets every port switched to IO-Link mode first.
        """
        opt = _check_opt(options, f"{self.driverName()}.getDevices")
        detail = {"options": copy.deepcopy(opt)}
        try:
            self._require_session("getDevices")
            if opt["activatePorts"] == "auto":
                modes = self._link.port_modes()
                if modes and all(m == "DEACTIVATED" for m in modes):
                    self._link.set_port_modes(["IOLINK"] * len(modes))
                    ports = list(range(1, len(modes) + 1))
                    runtime.record("ports-activated", self._transport, self.address, ports=ports)
                    _log(f"{self.driverName()} {self.address}: activated ports {ports}")
            rows = self._link.devices()
        except IoddError as exc:
            runtime.record("get-devices", self._transport, self.address, ok=False, error=str(exc), count=0, **detail)
            raise
        runtime.record("get-devices", self._transport, self.address, ok=True, error=None, count=len(rows), **detail)
        return [tuple(row) for row in rows]

    def disconnect(self) -> None:
        """Close the session; the driver stays registered with the manager."""
        if not self._session:
            return
        self._session = False
        self._link.close()
        with runtime.lock:
            if self in runtime.master_drivers:
                runtime.master_drivers.remove(self)
        runtime.record("master-disconnect", self._transport, self.address)
        _log(f"{self.driverName()} disconnect({self.address})")


class IolIpMasterDriver(IoddMasterDriver):
    _name = "IOL-IP"
    _base_type = IolIpBaseDriver


class IolUsbMasterDriver(IoddMasterDriver):
    _name = "IOL-USB"
    _base_type = IolUsbBaseDriver


class IolBleMasterDriver(IoddMasterDriver):
    _name = "IOL-BLE"
    _base_type = IolBleBaseDriver


class IolSimMasterDriver(IoddMasterDriver):
    _name = "IOL-SIM"
    _base_type = IolSimBaseDriver


IolIpBaseDriver._master_class = IolIpMasterDriver
IolUsbBaseDriver._master_class = IolUsbMasterDriver
IolBleBaseDriver._master_class = IolBleMasterDriver
IolSimBaseDriver._master_class = IolSimMasterDriver

driverlist = [IolIpMasterDriver, IolUsbMasterDriver, IolBleMasterDriver, IolSimMasterDriver]

_BASE_TYPES = {cls._transport: cls for cls in (IolIpBaseDriver, IolUsbBaseDriver, IolBleBaseDriver)}


def _on_reset(plant: Plant | None) -> None:
    """Clear the driver manager; then re-create what the installation says
    the manager already holds (an open base driver of a transport, a master
    driver registered or connected by some other part of the process)."""
    manager = IoddBaseDriver.commonDrivers
    manager._clear()
    if plant is None:
        return
    inst = plant.installation
    bases: dict[str, IoddBaseDriver] = {}
    for name, spec in inst.transports.items():
        if spec.active_base_driver:
            base = object.__new__(_BASE_TYPES[name])
            base._init(preloaded=True)
            bases[name] = base
    for link in plant.masters:
        held = link.spec.manager_driver
        if held == "none":
            continue
        base_type = _BASE_TYPES[link.transport]
        if held == "active":
            link.hold_session()
        driver = base_type._master_class._create(bases.get(link.transport), link, {"activatePorts": "off"}, preloaded=True)
        driver._session = held == "active"


runtime.on_reset(_on_reset)


def open_base_drivers() -> list[IoddBaseDriver]:
    """Base drivers created since the last reset and not closed."""
    with runtime.lock:
        return [d for d in runtime.base_drivers if not d._closed]


def open_master_drivers() -> list[IoddMasterDriver]:
    """Master drivers whose session was opened since the last reset (by
    base.connect or connect()) and not closed with disconnect()."""
    with runtime.lock:
        return [d for d in runtime.master_drivers if d._session and d._opened_by_caller]
