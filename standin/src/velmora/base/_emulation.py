"""In-process emulation of an installation: implements the ``_backend``
interfaces on top of an ``Installation``.

A ``Plant`` is built fresh from the installation on every reset; it holds the
mutable state: current port modes (changed by "auto" activation) and open
sessions.  Delays are slept outside any lock so that a slow master does not
block the others and can be interrupted.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Mapping, Sequence
from typing import Any

from ._address import address_key, split_master
from ._backend import DeviceRow, MasterLink, SessionLink, TransportBackend
from ._errors import IoddError
from ._health import Communication, Diagnosis, Health, PortFault, communication, derive
from ._log import tell_port_fault, warn
from ._installation import PORT_MODES, DeviceSpec, Installation, MasterSpec, PortSpec
from ._protocol import (
    API_MODE,
    COMMUNICATION_LOST,
    DEVICE_ONLINE,
    DEVICE_STARTING,
    DEVICE_THERE,
    INCORRECT_DEVICE,
    IOLINK_API_MODES,
    MODE_OF_API,
    STATUS_OF_MODE,
    default_alias,
)


class EmulatedPort:
    """One port of an emulated master: its configuration as the master keeps
    it (in the REST API's terms: mode, deviceAlias, iqConfiguration, ...),
    and the device plugged into it."""

    def __init__(self, spec: PortSpec, master: int = 1):
        self.number = spec.port_id
        self.device: DeviceSpec | None = spec.device
        self.config: dict[str, Any] = {
            "mode": API_MODE[spec.mode],
            "iqConfiguration": "NOT_SUPPORTED",
            "deviceAlias": default_alias(master, spec.port_id),
        }
        self.fault = spec.status
        self.communication = spec.communication
        if spec.expected is not None:  # a port that validates its device
            self.config.update(mode="IOLINK_MANUAL", validationAndBackup="TYPE_COMPATIBLE_DEVICE_V1.1",
                               vendorId=spec.expected[0], deviceId=spec.expected[1])
        self.online_at = 0.0  # monotonic time the device comes online after activation

    @property
    def mode(self) -> str:
        """The installation mode: IOLINK, DI, DO or DEACTIVATED."""
        return MODE_OF_API[self.config["mode"]]

    @property
    def expected(self) -> tuple[int, int] | None:
        """The (vendorId, deviceId) that the port's validation expects."""
        config = self.config
        if config["mode"] != "IOLINK_MANUAL" or config.get("validationAndBackup") in (None, "NO_DEVICE_CHECK"):
            return None
        ids = config.get("vendorId"), config.get("deviceId")
        return (ids[0], ids[1]) if ids[0] and ids[1] else None

    def status(self) -> str:
        """The port's statusInfo."""
        mode = self.config["mode"]
        if self.fault is not None and self.fault != DEVICE_STARTING:
            return self.fault
        if mode in STATUS_OF_MODE:
            return STATUS_OF_MODE[mode]
        if self.fault == DEVICE_STARTING:
            return DEVICE_STARTING  # a device that never finishes starting
        if self.device is None:
            return COMMUNICATION_LOST
        if time.monotonic() < self.online_at:
            return DEVICE_STARTING
        expected = self.expected
        if expected is not None and expected != (self.device.vendor_id, self.device.device_id):
            return INCORRECT_DEVICE
        return DEVICE_ONLINE


class EmulatedMaster(SessionLink):
    """One master of the plant.  ``device_startup`` is how long a device takes
    to come online after its port is switched to IO-Link; ``stop``, when set,
    ends the emulated delays."""

    def __init__(self, spec: MasterSpec, device_startup: float = 0.0, stop: threading.Event | None = None):
        super().__init__()
        self.spec = spec
        self.transport = spec.transport
        self.address = spec.address
        # An IP master ADDRESS#N is master N of the gateway at ADDRESS, which is its master 1.
        self.gateway, number = split_master(spec.address) if spec.transport == "IP" else (spec.address, None)
        self.number = number or 1
        self.device_startup = device_startup
        self._stop = stop or threading.Event()
        self.ports = [EmulatedPort(p, self.number) for p in spec.ports]
        self._diagnoses: tuple[Diagnosis, ...] | None = None
        self._faults: tuple[PortFault, ...] = ()  # as the latest device listing told them

    def __repr__(self) -> str:
        return f"<EmulatedMaster {self.transport} {self.address}>"

    @property
    def identity(self) -> Mapping[str, Any]:
        return dict(self.spec.identity)

    @property
    def supported(self) -> bool:
        return self.spec.supported

    def slow(self) -> None:
        """The master's delay (a slow connect or device table read)."""
        # Sleep in short slices: an exception raised asynchronously into this
        # thread (e.g. by a caller cancelling a worker) is delivered between
        # slices instead of after the whole delay.  In the main thread Ctrl-C
        # interrupts the wait directly.
        deadline = time.monotonic() + self.spec.delay
        while (left := deadline - time.monotonic()) > 0 and not self._stop.is_set():
            self._stop.wait(min(left, 0.05))

    def open(self) -> None:
        self.slow()
        if self.spec.fault == "refuse":
            raise IoddError(f"Master {self.address}: connection refused")
        with self._lock:
            self._sessions += 1
            if self.spec.fault == "fail-after-connect":
                # The master accepts the connection and drops it right away.
                self._lost = True

    def hold_session(self) -> None:
        """A session opened before the process looked (a driver the manager
        already holds): no delay, no fault."""
        with self._lock:
            self._sessions += 1

    def port_modes(self) -> list[str]:
        self._check_link()
        return self.current_modes()

    def set_port_modes(self, modes: Sequence[str]) -> None:
        self._check_link()
        modes = list(modes)
        if len(modes) != len(self.ports) or any(m not in PORT_MODES for m in modes):
            raise IoddError(f"Master {self.address}: invalid port configuration {modes!r}")
        with self._lock:
            for port, mode in zip(self.ports, modes, strict=True):
                if port.mode != mode:
                    self._configure(port, {"mode": API_MODE[mode]})

    def devices(self) -> list[DeviceRow]:
        self._check_link()
        self.slow()
        if self.spec.fault == "fail-get-devices":
            with self._lock:
                self._lost = True
            raise IoddError(f"Master {self.address}: connection lost while reading the device table")
        self._check_link()
        rows: list[DeviceRow] = []
        faults: list[PortFault] = []
        with self._lock:
            states = [(port, port.status()) for port in self.ports]
        for port, status in states:
            fault = tell_port_fault(self.address, port.number, status, port.mode == "IOLINK", port.expected)
            if fault is not None:
                faults.append(fault)
            dev = port.device
            if port.mode == "IOLINK" and dev is not None and status in DEVICE_THERE:
                ident = None if dev.identification is None else dict(dev.identification)
                rows.append((port.number, dev.vendor_id, dev.device_id, ident))
        with self._lock:
            self._faults = tuple(faults)
        return rows

    def event_log(self) -> Any:
        """The entries of the master's event log, oldest first: its own and
        its ports' and devices' (or the installation's ``eventLog`` as it is)."""
        if self.spec.event_log is not None:
            return self.spec.event_log[0]
        return [dict(e) for e in self.spec.events] + [dict(e) for p in self.spec.ports for e in p.events]

    def communication(self, port: EmulatedPort) -> dict[str, Any]:
        """A port's status as the REST API gives it."""
        status = port.status()
        answer: dict[str, Any] = {"statusInfo": status}
        if status not in DEVICE_THERE:
            return answer
        given = dict(port.communication or {})
        answer.update(ioLinkRevision=given.get("revision", "1.1"),
                      transmissionRate=given.get("transmissionRate", "COM2"),
                      masterCycleTime={"value": given.get("cycleTime", 2.3), "unit": "ms"})
        quality = {k: given[k] for k in ("pdInValid", "pdOutValid") if k in given}
        if quality:
            answer["portQualityInfo"] = quality
        return answer

    def health(self) -> Health:
        if self._diagnoses is None:  # the installation's log does not change: told once
            self._diagnoses = derive(self.event_log(), self.number, warn, f"Master {self.address}")
        diagnoses = self._diagnoses
        with self._lock:
            answers = {port.number: self.communication(port) for port in self.ports}
            faults = self._faults
        ports: dict[int, Communication] = {n: communication(a) for n, a in answers.items()}
        return Health(diagnoses, ports, faults)

    # -- the port configuration, as the REST face reads and writes it --------------

    def port(self, number: int) -> EmulatedPort | None:
        return self.ports[number - 1] if 1 <= number <= len(self.ports) else None

    def port_by_alias(self, alias: str) -> EmulatedPort | None:
        with self._lock:
            return next((p for p in self.ports if p.config["deviceAlias"] == alias), None)

    def configure(self, port: EmulatedPort, changes: Mapping[str, Any]) -> bool:
        """Apply checked configuration values to a port; False (and nothing
        changed) when the deviceAlias is another port's."""
        with self._lock:
            alias = changes.get("deviceAlias")
            if alias is not None and any(p.config["deviceAlias"] == alias for p in self.ports if p is not port):
                return False
            self._configure(port, changes)
            return True

    def _configure(self, port: EmulatedPort, changes: Mapping[str, Any]) -> None:
        was_iolink = port.config["mode"] in IOLINK_API_MODES
        port.config.update(changes)
        if port.config["mode"] in IOLINK_API_MODES and not was_iolink:
            port.online_at = time.monotonic() + self.device_startup

    # Test-hook view of the state (no link needed).
    def current_modes(self) -> list[str]:
        with self._lock:
            return [p.mode for p in self.ports]


class EmulatedTransport(TransportBackend):
    def __init__(self, name: str, available: bool, reason: str, masters: list[EmulatedMaster]):
        self.name = name
        self._available = available
        self._reason = reason
        self._masters = masters

    def availability(self) -> tuple[bool, str]:
        return (True, "") if self._available else (False, self._reason)

    def discover(self) -> list[MasterLink]:
        return [m for m in self._masters if m.spec.present]

    def find(self, address: str) -> MasterLink | None:
        key = address_key(address)
        for m in self._masters:
            if address_key(m.address) == key and m.spec.present:
                return m
        return None


class Plant:
    """The live emulated installation (``device_startup`` and ``stop``: see
    ``EmulatedMaster``)."""

    def __init__(self, installation: Installation, device_startup: float = 0.0, stop: threading.Event | None = None):
        self.installation = installation
        self.masters = [EmulatedMaster(spec, device_startup, stop) for spec in installation.masters]
        self.transports: dict[str, TransportBackend] = {}
        for name, t in installation.transports.items():
            ms = [m for m in self.masters if m.transport == name]
            self.transports[name] = EmulatedTransport(name, t.available, t.reason, ms)
        # The simulator transport of the library: always usable, no masters.
        self.transports["SIM"] = EmulatedTransport("SIM", True, "", [])

    def master(self, transport: str, address: str) -> EmulatedMaster | None:
        key = address_key(address)
        for m in self.masters:
            if m.transport == transport and address_key(m.address) == key:
                return m
        return None
