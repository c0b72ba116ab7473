"""Master sessions: one IO-Link master of a gateway reached over the REST
API, as the driver layer sees a master (``.._backend.MasterLink``)."""

from __future__ import annotations

import time
from collections.abc import Mapping, Sequence
from typing import Any

from .._backend import DeviceRow, SessionLink
from .._errors import IoddError
from .._health import MAX_ENTRIES, Communication, Diagnosis, Health, PortFault, communication, derive
from .._log import info, tell_port_fault, warn
from .._protocol import API_MODE, DEVICE_THERE, NO_DEVICE_CODES, STARTING
from . import resources
from .client import Client, PermissionDenied, PortWriteRefused, RestError

POLL_INTERVAL = 0.1  # seconds between port status reads while devices start up


def _lacking(error: RestError) -> bool:
    """An answer that says the master does not offer a resource (103, any
    404) or does not let it be read (403): data it lacks, not a fault."""
    return error.status == 404 or resources.unsupported(error) or isinstance(error, PermissionDenied)


class RestMaster(SessionLink):
    """One IO-Link master of a gateway reached over the REST API.  A session
    keeps one connection (the client's) and what it read: the number of
    ports and the ports' modes, which only a write of the session changes."""

    transport = "IP"
    supported = True  # every master that speaks the API

    def __init__(self, client: Client, number: int, identity: Mapping[str, Any]):
        super().__init__()
        self.client = client
        client.on_lost = self._link_lost
        self.address = client.address
        self.number = number
        self._identity = dict(identity)
        self._ports = 0
        self._modes: list[str] | None = None  # as read (or written) in this session
        self._expected: dict[int, tuple[int, int]] = {}  # the device a port's validation expects, by port
        self._starting: set[int] = set()  # ports still starting after the wait of this session
        self._status: dict[int, str | None] | None = None  # statusInfo per port, when the master lists them
        # What the latest session read of the master's health: its diagnoses
        # from the event log, and the status of each port holding a device.
        self._diagnoses: tuple[Diagnosis, ...] = ()
        self._communication: dict[int, Communication] = {}
        self._faults: tuple[PortFault, ...] = ()  # as the latest device listing told them

    def __repr__(self) -> str:
        return f"<RestMaster {self.address} master {self.number}>"

    @classmethod
    def probe(cls, client: Client) -> RestMaster:
        """The gateway's first master (see gateway())."""
        return cls.gateway(client)[0][0]

    @classmethod
    def gateway(cls, client: Client, wanted: set[int] | None = None) -> tuple[list[RestMaster], list[RestError], int]:
        """The IO-Link masters of the gateway at the client's address (every
        one, up to ``resources.MAX_GATEWAY_MASTERS``, and those wanted),
        read on a connection of its own that is closed afterwards; the
        errors of masters past the first that could not be read; and how
        many masters the gateway listed.  Raises RestError when the gateway
        or its first master cannot be read.  The first master keeps the
        client and the gateway's address; master N of several is
        ``ADDRESS#N`` with a client (a connection) of its own."""
        client.begin()
        try:
            found, listed = resources.identify(client, wanted)
        finally:
            client.end()
        masters: list[RestMaster] = []
        errors: list[RestError] = []
        for number, identity in found:
            if isinstance(identity, RestError):
                errors.append(identity)
            elif not masters:
                masters.append(cls(client, number, identity))
            else:
                masters.append(cls(client.sibling(f"{client.address}#{number}"), number, identity))
        return masters, errors, listed

    @property
    def identity(self) -> Mapping[str, Any]:
        return dict(self._identity)

    # -- session ---------------------------------------------------------------

    def _link_lost(self) -> None:
        with self._lock:
            self._lost = True

    def open(self) -> None:
        with self._lock:
            first = self._sessions == 0
        ports, status = self._ports, self._status
        diagnoses = self._diagnoses
        if first:
            self.client.begin()
            try:
                ports, status = resources.port_table(self.client, self.number)
                diagnoses = self._event_log()
            except BaseException:
                self.client.end()
                raise
        with self._lock:
            self._sessions += 1
            if first:
                self._ports, self._status = ports, status
                self._modes = None
                self._diagnoses, self._communication, self._faults = diagnoses, {}, ()

    def _event_log(self) -> tuple[Diagnosis, ...]:
        """The master's pending diagnoses, from the youngest entries of the
        gateway's event log (its first master reads the gateway's own
        entries too; master N of several asks for its own).  A master that
        does not offer the log, or does not let it be read, has none (an
        info line); another error answer is one warning."""
        query = f"?bottom={MAX_ENTRIES}" if self.number == 1 else f"?masterNumber={self.number}&bottom={MAX_ENTRIES}"
        try:
            entries = self.client.get("/gateway/events" + query)
        except RestError as exc:
            if exc.link:
                raise
            if _lacking(exc):
                info(f"{exc}; no diagnoses from the event log")
            else:
                warn(f"{exc}; no diagnoses from the event log")
            return ()
        return derive(entries, self.number, warn, f"Master {self.address}")

    def health(self) -> Health:
        with self._lock:
            ports = {p: Communication(status=s) for p, s in (self._status or {}).items()}
            ports.update(self._communication)
            return Health(self._diagnoses, ports, self._faults)

    def close(self) -> None:
        super().close()
        with self._lock:
            idle = self._sessions == 0
            if idle:
                self._modes = self._status = None
                self._starting = set()
        if idle:
            self.client.end()

    # -- ports and devices -------------------------------------------------------

    def port_modes(self) -> list[str]:
        self._check_link()
        if self._modes is None:
            try:
                configs = [resources.port_config(self.client, self.number, port)
                           for port in range(1, self._ports + 1)]
            except RestError as exc:
                if self._status is None or not (isinstance(exc, PermissionDenied) or resources.unsupported(exc)):
                    raise
                # The port list's states tell the modes well enough for a listing.
                warn(f"{exc}; the ports' modes are taken from their states")
                configs = [(resources.mode_of_status(self._status.get(port)), None)
                           for port in range(1, self._ports + 1)]
            self._expected = {port: expected for port, (_, expected) in enumerate(configs, start=1) if expected}
            self._modes = [mode for mode, _ in configs]
        return list(self._modes)

    def set_port_modes(self, modes: Sequence[str]) -> None:
        """Write the changed ports; ports switched to IO-Link are then given
        the startup timeout to bring their devices online.  A write that the
        master refuses (user management, another client holding the master,
        any error answer) ends the writing with one warning: the ports stay
        as they are and the master is listed so."""
        current = self.port_modes()
        if len(modes) != len(current) or any(m not in API_MODE for m in modes):
            raise IoddError(f"Master {self.address}: invalid port configuration {list(modes)!r}")
        started = []
        for port, (old, new) in enumerate(zip(current, modes, strict=True), start=1):
            if old != new:
                self._modes = None  # not known while the write is under way
                try:
                    self.client.request("POST", resources.port_path(self.number, port, "configuration"),
                                        {"mode": API_MODE[new]})
                except RestError as exc:
                    if exc.link:
                        raise
                    self._modes = list(current)
                    warn(str(PortWriteRefused(self.address, port, API_MODE[new], exc)))
                    break
                current[port - 1] = new
                self._modes = list(current)
                if new == "IOLINK":
                    started.append(port)
        self._await_devices(started)

    def _await_devices(self, ports: list[int]) -> None:
        deadline = time.monotonic() + self.client.settings.startup_timeout
        while ports:
            try:
                status = {p: resources.port_status(self.client, self.number, p) for p in ports}
            except RestError as exc:
                if exc.link or not resources.unsupported(exc):
                    raise
                return  # a master without port status: the devices are read as they are
            if self._status is not None:
                self._status.update(status)
            ports = [p for p in ports if status[p] in STARTING]
            left = deadline - time.monotonic()
            if ports and left <= 0:
                self._starting.update(ports)
                warn(f"IP {self.address}: ports {ports} still starting after "
                     f"{self.client.settings.startup_timeout:g} s; reading the devices anyway")
                return
            if ports:
                time.sleep(min(POLL_INTERVAL, left))

    def devices(self) -> list[DeviceRow]:
        iolink = {p for p, mode in enumerate(self.port_modes(), start=1) if mode == "IOLINK"}
        faults = []
        for port, status in sorted((self._status or {}).items()):
            if port not in self._starting:  # those were named when the wait ended
                fault = tell_port_fault(self.address, port, status, port in iolink, self._expected.get(port))
                if fault is not None:
                    faults.append(fault)
        with self._lock:
            self._faults = tuple(faults)
        rows: dict[int, DeviceRow] = {}
        try:
            aliases = resources.device_aliases(self.client, self.number, self._ports)
        except PermissionDenied as exc:
            warn(f"{exc}; no device listed")
            return []
        for port, alias in aliases:
            if port not in iolink or port in rows or not alias:
                continue
            if self._status is not None and self._status.get(port) not in DEVICE_THERE:
                continue  # no device to read there
            row = self._device(port, alias)
            if row is not None:
                rows[port] = row
        self._port_health(sorted(rows))
        return [rows[p] for p in sorted(rows)]

    def _port_health(self, ports: list[int]) -> None:
        """The status of each port holding a device: its communication.  A
        master without port status (or one that refuses it) is not asked
        again in this listing (an info line); another error answer is one
        warning and ends the reading too."""
        for port in ports:
            try:
                answer = self.client.get(resources.port_path(self.number, port, "status"))
            except RestError as exc:
                if exc.link:
                    raise
                (info if _lacking(exc) else warn)(
                    f"{exc}; the ports' communication is not known")
                return
            with self._lock:
                self._communication[port] = communication(answer)

    def _device(self, port: int, alias: str) -> DeviceRow | None:
        """The row of the device on a port, None when there is none there.
        An identification that cannot be read gives a row without it (ids 0
        unless they could be read) and a warning; a lost connection fails
        the listing."""
        ids = (0, 0)
        try:
            ident = resources.device_identification(self.client, alias)
            ids = resources.device_ids(ident)
            return (port, *ids, resources.ident_values(ident))
        except RestError as exc:
            if exc.code in NO_DEVICE_CODES:
                return None
            if exc.link:
                raise
            warn(f"Master {self.address} port {port}: device listed without identification: {exc}")
            return (port, *ids, None)
