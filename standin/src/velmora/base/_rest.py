"""The IP transport: in-process masters of the installation, and masters
reached over the JSON-for-IO-Link REST API (paths under ``/iolink/v1``).

Which one an address means:

1. an address of an IP master in the installation: the in-process master;
2. ``host:port``, ``http(s)://...``, or a plain host listed in the REST hosts
   (or in one of their address ranges): a master over REST (see ``_address``);
3. anything else: no master (as before: a plain unknown address never
   leaves the process); an address that looks meant as a REST address and
   cannot be one (a malformed URL, a bad port) gets a warning.

``discover()`` lists the in-process IP masters first, then every REST host
that answers as a master, in the order listed; the hosts are probed
concurrently.  The REST hosts and the timeouts come from the installation's
``rest`` object; the environment variables below replace them.

A REST master is one gateway's first IO-Link master (lowest masterNumber).
A session (open() to the last close()) keeps one HTTP/1.1 connection and
reads the capabilities and each port's configuration once; discovery uses a
connection of its own.  Every request has a connect and a read timeout and
a deadline for the whole request; every session, and every probe of a host,
has a deadline of its own.  Failures are ``RestError``s naming the master,
the request and the problem (HTTP status with the API's error code and
message, connection refused, timeout, malformed or hostile JSON, a value
outside the API's range), so that a master that fails to connect is skipped
by the caller like any other, and a host that fails discovery is skipped
with one warning.
"""

from __future__ import annotations

import http.client
import json
import os
import socket
import ssl
import time
from collections.abc import Callable, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any
from urllib.parse import quote

from . import IoddUtility
from ._address import Target, address_problem, host_range, parse_target
from ._backend import DeviceRow, MasterLink, SessionLink, TransportBackend
from ._errors import IoddError
from ._http import Clock, Connection, LookupTimeout, TooLarge, decode_json, tls_context
from ._installation import IDENT_NAMES, MAX_TIMEOUT, REST_TIMEOUTS, Installation
from ._protocol import (
    API_MODE,
    MAX_DEVICE_ID,
    MAX_MASTER_ID,
    MAX_VENDOR_ID,
    MODE_OF_API,
    NO_DEVICE_CODES,
    STARTING,
)

ENV_HOSTS = "VELMORA_BASE_REST_HOSTS"
ENV_TIMEOUTS = {
    "connectTimeout": "VELMORA_BASE_REST_CONNECT_TIMEOUT",
    "readTimeout": "VELMORA_BASE_REST_READ_TIMEOUT",
    "requestTimeout": "VELMORA_BASE_REST_REQUEST_TIMEOUT",
    "sessionTimeout": "VELMORA_BASE_REST_SESSION_TIMEOUT",
    "startupTimeout": "VELMORA_BASE_REST_STARTUP_TIMEOUT",
}
DEFAULT_TIMEOUTS = {"connectTimeout": 1.0, "readTimeout": 3.0, "requestTimeout": 5.0, "sessionTimeout": 30.0,
                    "startupTimeout": 5.0}
POLL_INTERVAL = 0.1  # seconds between port status reads while devices start up
MAX_PORTS = 64  # numberOfPorts: at least 1 by the description; more is no master this library knows
MAX_TEXT = 1000  # characters of a text value
MAX_MASTER_NUMBER = 0x7FFFFFFF
DISCOVERY_WORKERS = 32  # hosts probed at the same time
# Port states in which a device answers for its identification.
DEVICE_THERE = ("DEVICE_ONLINE", "INCORRECT_DEVICE")


def _warn(message: str) -> None:
    """A warning through the logger of the application, when it set one."""
    logger = getattr(IoddUtility.CommonDriverManager.iodd, "_logger", None)
    warning = getattr(logger, "warning", None)
    if callable(warning):
        warning(f"velmora.base: {message}")


def _short(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


# ---------------------------------------------------------------- settings


@dataclass(frozen=True)
class Settings:
    hosts: tuple[str, ...]  # entries as configured: hosts, URLs, address ranges
    connect_timeout: float
    read_timeout: float
    request_timeout: float
    session_timeout: float
    startup_timeout: float

    @classmethod
    def load(cls, installation: Installation, environ: Mapping[str, str] = os.environ) -> Settings:
        hosts = installation.rest.hosts
        if ENV_HOSTS in environ:
            hosts = tuple(h.strip() for h in environ[ENV_HOSTS].split(",") if h.strip())
            for host in hosts:
                try:
                    is_range = host_range(host) is not None
                except ValueError as exc:
                    raise IoddError(f"{ENV_HOSTS}: {host!r}: {exc}") from None
                if not is_range and parse_target(host, plain=True) is None:
                    raise IoddError(f"{ENV_HOSTS}: {host!r} is not a host, host:port, http(s) URL or address range")
        seconds = {}
        for key in REST_TIMEOUTS:
            value = installation.rest.timeouts.get(key, DEFAULT_TIMEOUTS[key])
            text = environ.get(ENV_TIMEOUTS[key], "").strip()
            if text:
                try:
                    value = float(text)
                except ValueError:
                    value = -1.0
                if not 0 < value <= MAX_TIMEOUT:
                    raise IoddError(f"{ENV_TIMEOUTS[key]}: expected seconds (more than 0, at most {MAX_TIMEOUT:g}), "
                                    f"got {text!r}")
            seconds[key] = value
        return cls(hosts, seconds["connectTimeout"], seconds["readTimeout"], seconds["requestTimeout"],
                   seconds["sessionTimeout"], seconds["startupTimeout"])

    def addresses(self) -> list[tuple[str, str]]:
        """(entry, address) for every REST host, ranges expanded, in order."""
        return [(entry, address) for entry in self.hosts for address in host_range(entry) or [entry]]

    def listed(self, address: str) -> bool:
        """True for an address among the REST hosts or their ranges."""
        return address in self.hosts or any(address == a for e, a in self.addresses() if e != a)


# ---------------------------------------------------------------- HTTP


class RestError(IoddError):
    """A failed request.  ``status`` and ``code`` are the HTTP status and the
    API's error code when the master answered; ``link`` is true when the
    connection itself failed (nothing or no complete answer came back)."""

    def __init__(self, text: str, status: int | None = None, code: int | None = None, link: bool = False):
        super().__init__(text)
        self.status = status
        self.code = code
        self.link = link


class Client:
    """Requests to the API of one master over one persistent connection.
    begin() starts a session (a probe, or a master session) with its
    deadline; end() closes the connection."""

    def __init__(self, address: str, target: Target, settings: Settings):
        self.address = address
        self.target = target
        self.settings = settings
        self.connection = Connection(target.host, target.port, tls_context() if target.scheme == "https" else None)
        self._session_end = float("inf")

    def begin(self) -> None:
        self.connection.close()
        self._session_end = time.monotonic() + self.settings.session_timeout

    def end(self) -> None:
        self.connection.close()
        self._session_end = float("inf")

    def what(self, method: str, path: str) -> str:
        return f"{method} {self.target.base}{path}"

    def fail(self, what: str, problem: str, **kw: Any) -> RestError:
        return RestError(f"Master {self.address}: {what}: {problem}", **kw)

    def get(self, path: str) -> Any:
        return self.request("GET", path)

    def request(self, method: str, path: str, body: Any = None) -> Any:
        s = self.settings
        what = self.what(method, path)
        data = None if body is None else json.dumps(body).encode("ascii")
        headers = {"Accept": "application/json"}
        if data is not None:
            headers["Content-Type"] = "application/json"
        now = time.monotonic()
        by_session = self._session_end < now + s.request_timeout
        clock = Clock(s.connect_timeout, s.read_timeout, min(now + s.request_timeout, self._session_end))
        try:
            answer = self.connection.request(method, self.target.base + path, data, headers, clock)
        except TimeoutError as exc:
            if clock.cause == "deadline":
                limit, name = (s.session_timeout, "session") if by_session else (s.request_timeout, "request")
                problem = f"no complete answer within {limit:g} s ({name} deadline)"
            elif isinstance(exc, LookupTimeout):
                problem = (f"unknown host {self.target.host!r} (no address within "
                           f"{s.connect_timeout:g} s, connect timeout)")
            else:
                limit = s.connect_timeout if clock.cause == "connect" else s.read_timeout
                problem = f"no answer within {limit:g} s ({clock.cause} timeout)"
            raise self.fail(what, problem, link=True) from None
        except ConnectionRefusedError:
            raise self.fail(what, "connection refused", link=True) from None
        except TooLarge:
            # A bad answer, not a lost link: the connection was closed and the
            # next request opens a new one.
            raise self.fail(what, "answer larger than 1 MiB") from None
        except socket.gaierror as exc:
            raise self.fail(what, f"unknown host {self.target.host!r} ({exc.strerror})", link=True) from None
        except ssl.SSLError as exc:
            raise self.fail(what, f"TLS error: {exc.reason or exc}", link=True) from None
        except OSError as exc:
            raise self.fail(what, f"connection failed: {exc.strerror or _short(exc)}", link=True) from None
        except (http.client.HTTPException, ValueError) as exc:  # what http.client makes of a broken answer
            raise self.fail(what, f"broken HTTP answer: {_short(exc)}", link=True) from None
        raw = answer.body
        if not 200 <= answer.status < 300:
            detail = ""
            code = None
            try:
                err = decode_json(raw)
            except ValueError:
                err = None
            if isinstance(err, dict) and type(err.get("code")) is int and 0 <= err["code"] < 10**6:
                code = err["code"]
                message = err.get("message")
                # The master's own words, shortened; the application escapes what it prints.
                detail = f": [{code}] {message[:MAX_TEXT] if isinstance(message, str) else ''}"
            raise self.fail(what, f"HTTP {answer.status} {answer.reason[:MAX_TEXT]}{detail}",
                            status=answer.status, code=code)
        if answer.status == 204 or (method == "POST" and not raw):
            return None
        try:
            return decode_json(raw)
        except ValueError as exc:
            raise self.fail(what, f"malformed JSON in the answer ({exc})") from None


# ---------------------------------------------------------------- answers


class _Answer:
    """Typed access to one decoded answer; a wrong shape or a value outside
    the API's range is a clear error."""

    def __init__(self, client: Client, what: str, value: Any):
        self.client = client
        self.what = what
        if not isinstance(value, dict):
            raise self.bad(f"expected an object, got {type(value).__name__}")
        self.value = value

    def bad(self, problem: str) -> RestError:
        return self.client.fail(self.what, f"unexpected answer: {problem}")

    def number(self, key: str, low: int, high: int, default: int | None = None) -> int:
        v = self.value.get(key)
        if v is None and default is not None:
            return default
        if isinstance(v, float) and v.is_integer() and low <= v <= high:
            v = int(v)
        if isinstance(v, bool) or not isinstance(v, int) or not low <= v <= high:
            raise self.bad(f"{key!r} is {_short(v)}, not an integer in {low}..{high}")
        return v

    def text(self, key: str, limit: int | None = MAX_TEXT, sent: bool = False) -> str | None:
        """A text value, or None.  ``limit``: its most characters (None: as
        long as the answer); ``sent``: the text goes back to the master in
        a request, so it must be encodable (no lone surrogate).  Texts that
        are only shown may hold one: the application escapes what it
        prints."""
        v = self.value.get(key)
        if v is None:
            return None
        if not isinstance(v, str):
            raise self.bad(f"{key!r} is {_short(v)}, not a string")
        if limit is not None and len(v) > limit:
            raise self.bad(f"{key!r} is longer than {limit} characters")
        if sent:
            try:
                v.encode("utf-8")
            except UnicodeEncodeError:
                raise self.bad(f"{key!r} is {_short(v)}, not valid text (a lone surrogate)") from None
        return v


def _objects(client: Client, what: str, value: Any) -> list[_Answer]:
    if not isinstance(value, list):
        raise client.fail(what, f"unexpected answer: expected an array, got {type(value).__name__}")
    return [_Answer(client, what, item) for item in value]


def _first(*values: Any) -> Any:
    return next((v for v in values if v is not None), None)


# ---------------------------------------------------------------- masters


class RestMaster(SessionLink):
    """One IO-Link master of a gateway reached over the REST API.  A session
    keeps one connection (the client's) and what it read: the number of
    ports and the ports' modes, which only a write of the session changes."""

    transport = "IP"
    supported = True  # every master that speaks the API

    def __init__(self, client: Client, number: int, identity: Mapping[str, Any]):
        super().__init__()
        self.client = client
        self.address = client.address
        self.number = number
        self._identity = dict(identity)
        self._ports = 0
        self._modes: list[str] | None = None  # as read (or written) in this session
        self._status: dict[int, str | None] | None = None  # statusInfo per port, when the master lists them

    def __repr__(self) -> str:
        return f"<RestMaster {self.address} master {self.number}>"

    @classmethod
    def probe(cls, client: Client) -> RestMaster:
        """Read what a master says about itself, on a connection of its own
        that is closed afterwards; raises RestError."""

        def get(path: str) -> tuple[str, Any]:
            return client.what("GET", path), client.get(path)

        client.begin()
        try:
            gateway = _Answer(client, *get("/gateway/identification"))
            masters = _objects(client, *get("/masters"))
            if not masters:
                raise client.fail(client.what("GET", "/masters"), "no IO-Link master behind this gateway")
            numbers = [m.number("masterNumber", 1, MAX_MASTER_NUMBER) for m in masters]
            number = min(numbers)
            first = masters[numbers.index(number)]
            master = _Answer(client, *get(f"/masters/{number}/identification"))
            identity = {
                "vendorId": master.number("vendorId", 1, MAX_VENDOR_ID, 0),
                "deviceId": master.number("masterId", 1, MAX_MASTER_ID, 0),
                "name": _first(master.text("locationTag"), master.text("functionTag"), first.text("locationTag")),
                "fwVersion": _first(master.text("firmwareRevision"), gateway.text("firmwareRevision")),
                "vendor": _first(master.text("vendorName"), gateway.text("vendorName")),
                "productName": _first(master.text("productName"), gateway.text("productName")),
                "productCode": _first(master.text("orderCode"), master.text("productId"), gateway.text("productId")),
            }
        finally:
            client.end()
        return cls(client, number, identity)

    @property
    def identity(self) -> Mapping[str, Any]:
        return dict(self._identity)

    # -- session ---------------------------------------------------------------

    def _request(self, method: str, path: str, body: Any = None) -> Any:
        try:
            return self.client.request(method, path, body)
        except RestError as exc:
            if exc.link:
                with self._lock:
                    self._lost = True
            raise

    def _get(self, path: str) -> _Answer:
        return _Answer(self.client, self.client.what("GET", path), self._request("GET", path))

    def open(self) -> None:
        with self._lock:
            first = self._sessions == 0
        ports, status = self._ports, self._status
        if first:
            self.client.begin()
            try:
                ports, status = self._read_ports()
            except BaseException:
                self.client.end()
                raise
        with self._lock:
            self._sessions += 1
            if first:
                self._ports, self._status = ports, status
                self._modes = None

    def _read_ports(self) -> tuple[int, dict[int, str | None] | None]:
        """The number of ports and each one's statusInfo, from the port list;
        a master without one gives its number of ports in its capabilities
        (and no status: every IO-Link port is then asked for a device)."""
        path = f"/masters/{self.number}/ports"
        try:
            listing = self._request("GET", path)
        except RestError as exc:
            if exc.link:
                raise
            return self._get(f"/masters/{self.number}/capabilities").number("numberOfPorts", 1, MAX_PORTS), None
        what = self.client.what("GET", path)
        entries = _objects(self.client, what, listing)
        if not 1 <= len(entries) <= MAX_PORTS:
            raise self.client.fail(what, f"unexpected answer: {len(entries)} ports, expected 1..{MAX_PORTS}")
        status = {entry.number("portNumber", 1, MAX_PORTS): entry.text("statusInfo") for entry in entries}
        if sorted(status) != list(range(1, len(entries) + 1)):
            raise self.client.fail(what, f"unexpected answer: ports numbered {sorted(status)}, not 1..{len(entries)}")
        return len(entries), status

    def close(self) -> None:
        super().close()
        with self._lock:
            idle = self._sessions == 0
            if idle:
                self._modes = self._status = None
        if idle:
            self.client.end()

    # -- ports and devices -------------------------------------------------------

    def _port_path(self, port: int, leaf: str) -> str:
        return f"/masters/{self.number}/ports/{port}/{leaf}"

    def port_modes(self) -> list[str]:
        self._check_link()
        if self._modes is None:
            modes = []
            for port in range(1, self._ports + 1):
                config = self._get(self._port_path(port, "configuration"))
                mode = config.text("mode")
                if mode not in MODE_OF_API:
                    raise config.bad(f"unknown port mode {_short(mode)}")
                modes.append(MODE_OF_API[mode])
            self._modes = modes
        return list(self._modes)

    def set_port_modes(self, modes: Sequence[str]) -> None:
        """Write the changed ports; ports switched to IO-Link are then given
        the startup timeout to bring their devices online."""
        current = self.port_modes()
        if len(modes) != len(current) or any(m not in API_MODE for m in modes):
            raise IoddError(f"Master {self.address}: invalid port configuration {list(modes)!r}")
        started = []
        for port, (old, new) in enumerate(zip(current, modes, strict=True), start=1):
            if old != new:
                self._modes = None  # not known while the write is under way
                self._request("POST", self._port_path(port, "configuration"), {"mode": API_MODE[new]})
                current[port - 1] = new
                self._modes = list(current)
                if new == "IOLINK":
                    started.append(port)
        self._await_devices(started)

    def _await_devices(self, ports: list[int]) -> None:
        deadline = time.monotonic() + self.client.settings.startup_timeout
        while ports:
            status = {p: self._get(self._port_path(p, "status")).text("statusInfo") for p in ports}
            if self._status is not None:
                self._status.update(status)
            ports = [p for p in ports if status[p] in STARTING]
            left = deadline - time.monotonic()
            if ports and left <= 0:
                _warn(f"IP {self.address}: ports {ports} still starting after "
                      f"{self.client.settings.startup_timeout:g} s; reading the devices anyway")
                return
            if ports:
                time.sleep(min(POLL_INTERVAL, left))

    def devices(self) -> list[DeviceRow]:
        iolink = {p for p, mode in enumerate(self.port_modes(), start=1) if mode == "IOLINK"}
        rows: dict[int, DeviceRow] = {}
        listing = self._request("GET", "/devices")
        for entry in _objects(self.client, self.client.what("GET", "/devices"), listing):
            if entry.number("masterNumber", 1, MAX_MASTER_NUMBER) != self.number:
                continue
            port = entry.number("portNumber", 1, self._ports)
            alias = entry.text("deviceAlias", sent=True)
            if port not in iolink or port in rows or not alias:
                continue
            if self._status is not None and self._status.get(port) not in DEVICE_THERE:
                continue  # no device to read there
            row = self._device(port, alias)
            if row is not None:
                rows[port] = row
        return [rows[p] for p in sorted(rows)]

    def _device(self, port: int, alias: str) -> DeviceRow | None:
        """The row of the device on a port, None when there is none there.
        An identification that cannot be read gives a row without it (ids 0
        unless they could be read) and a warning; a lost connection fails
        the listing."""
        vendor_id = device_id = 0
        try:
            ident = self._get(f"/devices/{quote(alias, safe='')}/identification")
            vendor_id, device_id = ident.number("vendorId", 1, MAX_VENDOR_ID), ident.number("deviceId", 1, MAX_DEVICE_ID)
            values = {name: ident.text(name) for name in IDENT_NAMES}
        except RestError as exc:
            if exc.code in NO_DEVICE_CODES:
                return None
            if exc.link:
                raise
            _warn(f"Master {self.address} port {port}: device listed without identification: {exc}")
            return (port, vendor_id, device_id, None)
        has_ident = any(v is not None for v in values.values())
        return (port, vendor_id, device_id, values if has_ident else None)


# ---------------------------------------------------------------- transport


class IpTransport(TransportBackend):
    """The IP transport: in-process masters first, then masters over REST."""

    name = "IP"

    def __init__(self, plant: Callable[[], Any], environ: Mapping[str, str] = os.environ,
                 workers: int = DISCOVERY_WORKERS):
        self._plant = plant  # the live emulated plant (rebuilt on reset)
        self._environ = environ
        self._workers = workers

    def _emulated(self) -> TransportBackend:
        transport: TransportBackend = self._plant().transports["IP"]
        return transport

    def _installed(self, address: object) -> bool:
        return any(m.address == address for m in self._plant().installation.masters_of("IP"))

    def settings(self) -> Settings:
        return Settings.load(self._plant().installation, self._environ)

    def availability(self) -> tuple[bool, str]:
        return self._emulated().availability()

    def discover(self) -> list[MasterLink]:
        """The in-process masters, then every REST host that answers as a
        master, in the order configured.  The hosts are probed at the same
        time (at most ``workers`` at once).  Each host that is no master gets
        one warning, except that the addresses of a range where nothing
        answers are summed up in one warning per range."""
        links = list(self._emulated().discover())
        settings = self.settings()
        hosts = [(entry, address) for entry, address in settings.addresses() if not self._installed(address)]
        if not hosts:
            return links

        def probe(host: tuple[str, str]) -> RestMaster | RestError:
            target = parse_target(host[1], plain=True)
            assert target is not None  # the hosts were checked when loaded
            try:
                return RestMaster.probe(Client(host[1], target, settings))
            except RestError as exc:
                return exc

        pool = ThreadPoolExecutor(max_workers=min(self._workers, len(hosts)), thread_name_prefix="rest-discovery")
        try:
            results = list(pool.map(probe, hosts))
        finally:
            pool.shutdown(wait=False, cancel_futures=True)
        # Warnings in host order: a range's summary where its first address is.
        warnings: list[tuple[int, str]] = []
        unanswered: dict[str, list[RestError]] = {}
        for i, ((entry, address), result) in enumerate(zip(hosts, results, strict=True)):
            if isinstance(result, RestMaster):
                links.append(result)
            elif entry != address and result.link:
                if entry not in unanswered:
                    unanswered[entry] = []
                    warnings.append((i, entry))
                unanswered[entry].append(result)
            else:
                warnings.append((i, f"IP discovery: no master found: {result}"))
        for _, text in sorted(warnings):
            if text in unanswered:
                errors = unanswered[text]
                total = sum(1 for e, _ in hosts if e == text)
                text = f"IP discovery: {text}: no master at {len(errors)} of {total} addresses (first: {errors[0]})"
            _warn(text)
        return links

    def find(self, address: str) -> MasterLink | None:
        if self._installed(address):
            return self._emulated().find(address)
        settings = self.settings()
        target = parse_target(address, plain=settings.listed(address))
        if target is None:
            if problem := address_problem(address):
                _warn(f"IP: {address!r} is not a master address: {problem}")
            return None
        try:
            return RestMaster.probe(Client(address, target, settings))
        except RestError as exc:
            _warn(f"IP discovery: no master found: {exc}")
            return None
