"""The IP transport: in-process masters of the installation, and masters
reached over the JSON-for-IO-Link REST API (paths under ``/iolink/v1``).

Which one an address means:

1. an address of an IP master in the installation: the in-process master;
2. ``host:port``, ``http(s)://...``, or a plain host listed in the REST hosts:
   a master over REST (see ``_address``);
3. anything else: no master (as before: a plain unknown address never
   leaves the process).

``discover()`` lists the in-process IP masters first, then every REST host
that answers as a master, in the order listed.  The REST hosts and the
timeouts come from the installation's ``rest`` object; the environment
variables below replace them.

A REST master is one gateway's first IO-Link master (lowest masterNumber).
Every request has a connect and a read timeout; failures become ``IoddError``
naming the master, the request and the problem (HTTP status with the API's
error code and message, connection refused, timeout, malformed JSON,
unexpected answer), so that a master that fails to connect is skipped by the
caller like any other.
"""

from __future__ import annotations

import functools
import http.client
import json
import os
import socket
import ssl
import time
from dataclasses import dataclass
from typing import Any, Callable, Mapping, Sequence
from urllib.parse import quote

from . import IoddUtility
from ._address import Target, parse_target
from ._backend import DeviceRow, MasterLink, SessionLink, TransportBackend
from ._errors import IoddError
from ._installation import IDENT_NAMES, MAX_TIMEOUT, REST_TIMEOUTS, Installation
from ._protocol import API_MODE, MODE_OF_API, NO_DEVICE_CODES, STARTING

ENV_HOSTS = "VELMORA_BASE_REST_HOSTS"
ENV_TIMEOUTS = {
    "connectTimeout": "VELMORA_BASE_REST_CONNECT_TIMEOUT",
    "readTimeout": "VELMORA_BASE_REST_READ_TIMEOUT",
    "startupTimeout": "VELMORA_BASE_REST_STARTUP_TIMEOUT",
}
DEFAULT_TIMEOUTS = {"connectTimeout": 1.0, "readTimeout": 3.0, "startupTimeout": 5.0}
MAX_ANSWER = 1 << 20  # bytes; a bigger answer is not an IO-Link master's
POLL_INTERVAL = 0.1  # seconds between port status reads while devices start up



def _warn(message: str) -> None:
    """A warning through the logger of the application, when it set one."""
    logger = getattr(IoddUtility.CommonDriverManager.iodd, "_logger", None)
    warning = getattr(logger, "warning", None)
    if callable(warning):
        warning(f"velmora.base: {message}")


# ---------------------------------------------------------------- settings


@dataclass(frozen=True)
class Settings:
    hosts: tuple[str, ...]
    connect_timeout: float
    read_timeout: float
    startup_timeout: float

    @classmethod
    def load(cls, installation: Installation, environ: Mapping[str, str] = os.environ) -> Settings:
        hosts = installation.rest.hosts
        if ENV_HOSTS in environ:
            hosts = tuple(h.strip() for h in environ[ENV_HOSTS].split(",") if h.strip())
            for host in hosts:
                if parse_target(host, plain=True) is None:
                    raise IoddError(f"{ENV_HOSTS}: {host!r} is not a host, host:port or http(s) URL")
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
                    raise IoddError(f"{ENV_TIMEOUTS[key]}: expected seconds (more than 0, at most {MAX_TIMEOUT:g}), got {text!r}")
            seconds[key] = value
        return cls(hosts, seconds["connectTimeout"], seconds["readTimeout"], seconds["startupTimeout"])


# ---------------------------------------------------------------- HTTP


@functools.cache
def _tls_context() -> ssl.SSLContext:
    return ssl.create_default_context()  # certificates are verified


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
    """Requests to the API of one master, one connection each."""

    def __init__(self, address: str, target: Target, settings: Settings):
        self.address = address
        self.target = target
        self.settings = settings

    def what(self, method: str, path: str) -> str:
        return f"{method} {self.target.base}{path}"

    def fail(self, what: str, problem: str, **kw: Any) -> RestError:
        return RestError(f"Master {self.address}: {what}: {problem}", **kw)

    def get(self, path: str) -> Any:
        return self.request("GET", path)

    def request(self, method: str, path: str, body: Any = None) -> Any:
        t = self.target
        url = t.base + path
        what = self.what(method, path)
        data = None if body is None else json.dumps(body).encode()
        headers = {"Accept": "application/json", "Connection": "close"}
        if data is not None:
            headers["Content-Type"] = "application/json"
        if t.scheme == "https":
            conn: http.client.HTTPConnection = http.client.HTTPSConnection(
                t.host, t.port, timeout=self.settings.connect_timeout, context=_tls_context()
            )
        else:
            conn = http.client.HTTPConnection(t.host, t.port, timeout=self.settings.connect_timeout)
        phase = "connect"
        try:
            conn.connect()
            conn.sock.settimeout(self.settings.read_timeout)
            phase = "read"
            conn.request(method, url, body=data, headers=headers)
            answer = conn.getresponse()
            raw = answer.read(MAX_ANSWER + 1)
        except TimeoutError:
            limit = self.settings.connect_timeout if phase == "connect" else self.settings.read_timeout
            raise self.fail(what, f"no answer within {limit:g} s ({phase} timeout)", link=True) from None
        except ConnectionRefusedError:
            raise self.fail(what, "connection refused", link=True) from None
        except socket.gaierror as exc:
            raise self.fail(what, f"unknown host {t.host!r} ({exc.strerror})", link=True) from None
        except ssl.SSLError as exc:
            raise self.fail(what, f"TLS error: {exc.reason or exc}", link=True) from None
        except OSError as exc:
            raise self.fail(what, f"connection failed: {exc.strerror or exc!r}", link=True) from None
        except http.client.HTTPException as exc:
            raise self.fail(what, f"broken HTTP answer: {exc!r}", link=True) from None
        finally:
            conn.close()
        if len(raw) > MAX_ANSWER:
            raise self.fail(what, f"answer larger than {MAX_ANSWER} bytes")
        status = answer.status
        if not 200 <= status < 300:
            detail = ""
            code = None
            try:
                err = json.loads(raw)
                if isinstance(err, dict) and isinstance(err.get("code"), int):
                    code = err["code"]
                    detail = f": [{code}] {err.get('message', '')}"
            except ValueError:
                pass
            raise self.fail(what, f"HTTP {status} {answer.reason}{detail}", status=status, code=code)
        if status == 204 or (method == "POST" and not raw):
            return None
        try:
            return json.loads(raw)
        except ValueError as exc:
            reason = exc.msg if isinstance(exc, json.JSONDecodeError) else str(exc)
            raise self.fail(what, f"malformed JSON in the answer ({reason})") from None


# ---------------------------------------------------------------- answers


class _Answer:
    """Typed access to one decoded answer; a wrong shape is a clear error."""

    def __init__(self, client: Client, what: str, value: Any):
        self.client = client
        self.what = what
        if not isinstance(value, dict):
            raise self.bad(f"expected an object, got {type(value).__name__}")
        self.value = value

    def bad(self, problem: str) -> RestError:
        return self.client.fail(self.what, f"unexpected answer: {problem}")

    def number(self, key: str, default: int | None = None) -> int:
        v = self.value.get(key)
        if v is None and default is not None:
            return default
        if isinstance(v, float) and v.is_integer():
            v = int(v)
        if isinstance(v, bool) or not isinstance(v, int) or v < 0:
            raise self.bad(f"{key!r} is {v!r}, not a non-negative integer")
        return v

    def text(self, key: str) -> str | None:
        v = self.value.get(key)
        if v is not None and not isinstance(v, str):
            raise self.bad(f"{key!r} is {v!r}, not a string")
        return v


def _objects(client: Client, what: str, value: Any) -> list[_Answer]:
    if not isinstance(value, list):
        raise client.fail(what, f"unexpected answer: expected an array, got {type(value).__name__}")
    return [_Answer(client, what, item) for item in value]


def _first(*values: Any) -> Any:
    return next((v for v in values if v is not None), None)


# ---------------------------------------------------------------- masters


class RestMaster(SessionLink):
    """One IO-Link master of a gateway reached over the REST API."""

    transport = "IP"
    supported = True  # every master that speaks the API

    def __init__(self, client: Client, number: int, identity: Mapping[str, Any]):
        super().__init__()
        self.client = client
        self.address = client.address
        self.number = number
        self._identity = dict(identity)
        self._ports = 0

    def __repr__(self) -> str:
        return f"<RestMaster {self.address} master {self.number}>"

    @classmethod
    def probe(cls, client: Client) -> RestMaster:
        """Read what a master says about itself; raises RestError."""
        def get(path: str) -> Any:
            return client.what("GET", path), client.get(path)

        gateway = _Answer(client, *get("/gateway/identification"))
        masters = _objects(client, *get("/masters"))
        if not masters:
            raise client.fail(client.what("GET", "/masters"), "no IO-Link master behind this gateway")
        first = min(masters, key=lambda m: m.number("masterNumber"))
        number = first.number("masterNumber")
        master = _Answer(client, *get(f"/masters/{number}/identification"))
        identity = {
            "vendorId": master.number("vendorId", 0),
            "deviceId": master.number("masterId", 0),
            "name": _first(master.text("locationTag"), master.text("functionTag"), first.text("locationTag")),
            "fwVersion": _first(master.text("firmwareRevision"), gateway.text("firmwareRevision")),
            "vendor": _first(master.text("vendorName"), gateway.text("vendorName")),
            "productName": _first(master.text("productName"), gateway.text("productName")),
            "productCode": _first(master.text("orderCode"), master.text("productId"), gateway.text("productId")),
        }
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
        ports = self._get(f"/masters/{self.number}/capabilities").number("numberOfPorts")
        with self._lock:
            self._sessions += 1
            self._ports = ports

    # -- ports and devices -------------------------------------------------------

    def _port_path(self, port: int, leaf: str) -> str:
        return f"/masters/{self.number}/ports/{port}/{leaf}"

    def port_modes(self) -> list[str]:
        self._check_link()
        modes = []
        for port in range(1, self._ports + 1):
            config = self._get(self._port_path(port, "configuration"))
            mode = config.text("mode")
            if mode not in MODE_OF_API:
                raise config.bad(f"unknown port mode {mode!r}")
            modes.append(MODE_OF_API[mode])
        return modes

    def set_port_modes(self, modes: Sequence[str]) -> None:
        """Write the changed ports; ports switched to IO-Link are then given
        the startup timeout to bring their devices online."""
        current = self.port_modes()
        if len(modes) != len(current) or any(m not in API_MODE for m in modes):
            raise IoddError(f"Master {self.address}: invalid port configuration {list(modes)!r}")
        started = []
        for port, (old, new) in enumerate(zip(current, modes), start=1):
            if old != new:
                self._request("POST", self._port_path(port, "configuration"), {"mode": API_MODE[new]})
                if new == "IOLINK":
                    started.append(port)
        self._await_devices(started)

    def _await_devices(self, ports: list[int]) -> None:
        deadline = time.monotonic() + self.client.settings.startup_timeout
        while ports:
            ports = [p for p in ports if self._get(self._port_path(p, "status")).text("statusInfo") in STARTING]
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
            port = entry.number("portNumber")
            alias = entry.text("deviceAlias")
            if entry.number("masterNumber") != self.number or port not in iolink or port in rows or not alias:
                continue
            try:
                ident = self._get(f"/devices/{quote(alias, safe='')}/identification")
            except RestError as exc:
                if exc.code in NO_DEVICE_CODES:
                    continue
                raise
            values = {name: ident.text(name) for name in IDENT_NAMES}
            has_ident = any(v is not None for v in values.values())
            rows[port] = (port, ident.number("vendorId"), ident.number("deviceId"), values if has_ident else None)
        return [rows[p] for p in sorted(rows)]


# ---------------------------------------------------------------- transport


class IpTransport(TransportBackend):
    """The IP transport: in-process masters first, then masters over REST."""

    name = "IP"

    def __init__(self, plant: Callable[[], Any], environ: Mapping[str, str] = os.environ):
        self._plant = plant  # the live emulated plant (rebuilt on reset)
        self._environ = environ

    def _emulated(self) -> TransportBackend:
        return self._plant().transports["IP"]

    def _installed(self, address: object) -> bool:
        return any(m.address == address for m in self._plant().installation.masters_of("IP"))

    def settings(self) -> Settings:
        return Settings.load(self._plant().installation, self._environ)

    def availability(self) -> tuple[bool, str]:
        return self._emulated().availability()

    def discover(self) -> list[MasterLink]:
        links = list(self._emulated().discover())
        settings = self.settings()
        for host in settings.hosts:
            if not self._installed(host):
                link = self._probe(host, parse_target(host, plain=True), settings)
                if link is not None:
                    links.append(link)
        return links

    def find(self, address: str) -> MasterLink | None:
        if self._installed(address):
            return self._emulated().find(address)
        settings = self.settings()
        target = parse_target(address, plain=address in settings.hosts)
        return None if target is None else self._probe(address, target, settings)

    def _probe(self, address: str, target: Target | None, settings: Settings) -> RestMaster | None:
        assert target is not None  # the hosts were checked when loaded
        try:
            return RestMaster.probe(Client(address, target, settings))
        except RestError as exc:
            _warn(f"IP discovery: no master found: {exc}")
            return None
