"""What a transport has to provide to the driver layer in ``_IoddDrv``.

The driver layer (base drivers, master bridges, master drivers, the driver
manager, option handling and "auto" port activation) only talks to these two
interfaces.  The in-process emulation in ``_emulation`` implements them for
every transport; ``_rest`` implements them for IP masters reached over the
JSON-for-IO-Link REST API (and puts both behind the IP transport).  Another
implementation is plugged in with ``_state.runtime.set_backend(name, backend)``
without touching the driver layer.

Errors are reported by raising ``IoddError`` with a message that names the
master ("Master 192.168.0.30: connection refused").
"""

from __future__ import annotations

import threading
from abc import ABC, abstractmethod
from typing import Any, Iterable, Mapping, Protocol, Sequence

from ._errors import IoddError
from ._health import NO_HEALTH, Health

# One row of a master's device table: (portId, vendorId, deviceId, identification)
DeviceRow = tuple[int, int, int, "Mapping[str, str | None] | None"]


class MasterLink(ABC):
    """One master reachable over a transport."""

    transport: str
    address: str

    @property
    @abstractmethod
    def identity(self) -> Mapping[str, Any]:
        """vendorId, deviceId, name, fwVersion, vendor, productName, productCode."""

    @property
    @abstractmethod
    def supported(self) -> bool:
        """False when the library has no master driver for this product."""

    @abstractmethod
    def open(self) -> None:
        """Open a session with the master (may block, may raise IoddError)."""

    @abstractmethod
    def close(self) -> None:
        """Close a session opened with open(); never raises."""

    @abstractmethod
    def is_open(self) -> bool:
        """True while at least one session is open and the link is up."""

    @abstractmethod
    def port_modes(self) -> list[str]:
        """Current mode of every port, port 1 first (IOLINK, DI, DO, DEACTIVATED)."""

    @abstractmethod
    def set_port_modes(self, modes: Sequence[str]) -> None:
        """Write a new port configuration (one mode per port)."""

    @abstractmethod
    def devices(self) -> list[DeviceRow]:
        """The device table: devices on ports in IO-Link mode only."""

    def health(self) -> Health:
        """The pending diagnoses and the ports' communication as the latest
        session read them (what a transport does not know: none)."""
        return NO_HEALTH


class SessionLink(MasterLink):
    """A master link that counts its open sessions. A fault drops the link
    (``_lost``) until the last session closes."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._sessions = 0
        self._lost = False

    def close(self) -> None:
        with self._lock:
            if self._sessions:
                self._sessions -= 1
            if not self._sessions:
                self._lost = False

    def is_open(self) -> bool:
        with self._lock:
            return self._sessions > 0 and not self._lost

    def _check_link(self) -> None:
        if not self.is_open():
            raise IoddError(f"Master {self.address}: connection lost")


class ReadAhead(Protocol):
    """Reads masters ahead of the listing, for one base driver."""

    def add(self, links: Iterable[MasterLink]) -> None:
        """Masters to read, in the order they will be listed."""

    def close(self) -> None:
        """Stop reading; nothing of it outlives this call."""


class TransportBackend(ABC):
    """All masters of one transport (IP, USB, BLE)."""

    name: str

    def read_ahead(self) -> ReadAhead | None:
        """A read-ahead for the masters one base driver finds, or None."""
        return None

    @abstractmethod
    def availability(self) -> tuple[bool, str]:
        """(True, "") when usable, else (False, reason)."""

    @abstractmethod
    def discover(self) -> list[MasterLink]:
        """Every master that answers discovery."""

    @abstractmethod
    def find(self, address: str) -> MasterLink | None:
        """The master at address if it answers, else None."""
