"""In-process emulation of an installation: implements the ``_backend``
interfaces on top of an ``Installation``.

A ``Plant`` is built fresh from the installation on every reset; it holds the
mutable state: current port modes (changed by "auto" activation) and open
sessions.  Delays are slept outside any lock so that a slow master does not
block the others and can be interrupted.
"""

from __future__ import annotations

import time
from typing import Any, Mapping, Sequence

from ._backend import DeviceRow, MasterLink, SessionLink, TransportBackend
from ._errors import IoddError
from ._installation import PORT_MODES, Installation, MasterSpec


class EmulatedMaster(SessionLink):
    def __init__(self, spec: MasterSpec):
        super().__init__()
        self.spec = spec
        self.transport = spec.transport
        self.address = spec.address
        self._modes = [p.mode for p in spec.ports]

    def __repr__(self) -> str:
        return f"<EmulatedMaster {self.transport} {self.address}>"

    @property
    def identity(self) -> Mapping[str, Any]:
        return dict(self.spec.identity)

    @property
    def supported(self) -> bool:
        return self.spec.supported

    def _slow(self) -> None:
        # Sleep in short slices: an exception raised asynchronously into this
        # thread (e.g. by a caller cancelling a worker) is delivered between
        # slices instead of after the whole delay.  In the main thread Ctrl-C
        # interrupts time.sleep() directly.
        deadline = time.monotonic() + self.spec.delay
        while (left := deadline - time.monotonic()) > 0:
            time.sleep(min(left, 0.05))

    def open(self) -> None:
        self._slow()
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
        with self._lock:
            return list(self._modes)

    def set_port_modes(self, modes: Sequence[str]) -> None:
        self._check_link()
        modes = list(modes)
        if len(modes) != len(self._modes) or any(m not in PORT_MODES for m in modes):
            raise IoddError(f"Master {self.address}: invalid port configuration {modes!r}")
        with self._lock:
            self._modes = modes

    def devices(self) -> list[DeviceRow]:
        self._check_link()
        self._slow()
        if self.spec.fault == "fail-get-devices":
            with self._lock:
                self._lost = True
            raise IoddError(f"Master {self.address}: connection lost while reading the device table")
        self._check_link()
        with self._lock:
            modes = list(self._modes)
        rows: list[DeviceRow] = []
        for port, mode in zip(self.spec.ports, modes):
            if mode == "IOLINK" and port.device is not None:
                dev = port.device
                ident = None if dev.identification is None else dict(dev.identification)
                rows.append((port.port_id, dev.vendor_id, dev.device_id, ident))
        return rows

    # Test-hook view of the state (no link needed).
    def current_modes(self) -> list[str]:
        with self._lock:
            return list(self._modes)


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
        for m in self._masters:
            if m.address == address and m.spec.present:
                return m
        return None


class Plant:
    """The live emulated installation."""

    def __init__(self, installation: Installation):
        self.installation = installation
        self.masters = [EmulatedMaster(spec) for spec in installation.masters]
        self.transports: dict[str, TransportBackend] = {}
        for name, t in installation.transports.items():
            ms = [m for m in self.masters if m.transport == name]
            self.transports[name] = EmulatedTransport(name, t.available, t.reason, ms)
        # The simulator transport of the library: always usable, no masters.
        self.transports["SIM"] = EmulatedTransport("SIM", True, "", [])

    def master(self, transport: str, address: str) -> EmulatedMaster | None:
        for m in self.masters:
            if m.transport == transport and m.address == address:
                return m
        return None
