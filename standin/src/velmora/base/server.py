"""Emulated IO-Link masters speaking JSON for IO-Link (REST, ``/iolink/v1``).

    python -m velmora.base.server [--installation FILE] [--listen 127.0.0.1:0 ...]
        [--latency SECONDS] [--accept-latency SECONDS] [--device-startup SECONDS] [--reload] [-v]

serves every IP master of an installation file (same format as the
in-process emulation; default: VELMORA_BASE_INSTALLATION or the demo plant)
on a listening port of its own, and prints one line per master,
``192.168.10.21 -> 127.0.0.1:40123``.  With a port other than 0 the masters
get that port and the following ones; ``--listen`` given once per master
puts the n-th master at the n-th address.  ``--latency`` delays every
answer, ``--accept-latency`` every new connection (a slow embedded master).
Connections are persistent (HTTP/1.1).  SIGTERM or SIGINT stops it.

Each master is a gateway with one IO-Link master (masterNumber 1), except
that the IP masters ``ADDRESS#N`` of the installation are master N of the
gateway ``ADDRESS`` (served on its port, with their own ports and devices).
What it serves, from the installation:

* identity: vendor -> vendorName, productName, productCode -> orderCode
  (gateway: productId), fwVersion -> firmwareRevision, vendorId, deviceId ->
  masterId, name -> locationTag; null texts and zero ids are left out;
* ports: mode IOLINK/DI/DO/DEACTIVATED -> IOLINK_AUTOSTART, DIGITAL_INPUT,
  DIGITAL_OUTPUT, DEACTIVATED; writable with POST .../configuration (mode,
  deviceAlias, iqConfiguration, validationAndBackup, cycleTime, vendorId,
  deviceId).  A port switched to IO-Link reports DEVICE_STARTING for
  ``--device-startup`` seconds before its device is online;
* devices: ``/devices`` lists every port under its alias (``master1portN``);
  the identification of a device leaves out null values; a device without
  identification answers the ids only;
* ``access``: user management: with a ``password``, a request without the
  right credentials answers 401 [151] with a Basic (or, ``scheme``
  "bearer", a Bearer) challenge; ``writes`` "forbidden" answers port
  configuration POSTs with 403 [150], "locked" with 400 [104];
* ``present: false``: not served; ``fault`` "refuse" and "fail-after-connect":
  everything past the identification answers 500 [102]; "fail-get-devices":
  the device requests answer 500 [101]; ``delay``: each capabilities, port
  list and ``/devices`` request takes that long (where a client connects and
  where it reads the device table).  ``supported`` and ``managerDriver``
  are properties of the driver library and have no effect here.

Errors are the API's error objects ``{"code": ..., "message": ...}``;
the event log (``/gateway/events`` with its filters) holds the
installation's events of the gateway's masters, ports and devices;
operations it does not implement (the gateway's configuration, reset and
reboot, unknown methods) answer 404 [103] "Operation not
supported".
"""

from __future__ import annotations

import argparse
import base64
import json
import os
import signal
import socket
import sys
import threading
import zlib
from collections import deque
from collections.abc import Mapping, Sequence
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Self
from urllib.parse import parse_qs, unquote, urlsplit

from ._emulation import EmulatedMaster, EmulatedPort, Plant
from ._errors import InstallationError
from ._installation import (
    IDENT_NAMES,
    AccessSpec,
    Installation,
    MasterSpec,
    load_default,
    load_file,
)
from ._protocol import (
    API_BASE,
    API_PORT_MODES,
    DEVICE_THERE,
    IOLINK_API_MODES,
    IQ_CONFIGURATIONS,
    MAX_DEVICE_ID,
    MAX_VENDOR_ID,
    VALIDATION_AND_BACKUP,
    ErrorCode,
)

MAX_BODY = 64 * 1024
REQUEST_LOG_LIMIT = 10_000  # requests each master remembers


class ApiError(Exception):
    """An answer with the API's error object; ``detail`` is added to the message."""

    def __init__(self, code: ErrorCode, detail: str = ""):
        super().__init__(code.message + detail)
        self.status, self.code, self.message = code.status, int(code), code.message + detail


def _compact(obj: dict[str, Any]) -> dict[str, Any]:
    """Leave out what the installation does not know (null texts, zero ids)."""
    return {k: v for k, v in obj.items() if v is not None and not (type(v) is int and v == 0)}


def api_problems(spec: MasterSpec) -> list[str]:
    """Values of a master that its answers cannot carry within the API's ranges."""
    where = f"master {spec.address}"
    ident = spec.identity
    problems = []
    if not 1 <= ident["vendorId"] <= MAX_VENDOR_ID:
        problems.append(f"{where}: vendorId {ident['vendorId']} outside 1..65535")
    if not ident["deviceId"]:
        problems.append(f"{where}: deviceId 0 (masterId must be at least 1)")
    if ident["vendor"] is None:
        problems.append(f"{where}: vendor null (vendorName is required)")
    if not spec.ports:
        problems.append(f"{where}: no ports (numberOfPorts must be at least 1)")
    for port in spec.ports:
        dev = port.device
        if dev and not (1 <= dev.vendor_id <= MAX_VENDOR_ID and 1 <= dev.device_id <= MAX_DEVICE_ID):
            problems.append(f"{where} port {port.port_id}: device ids {dev.vendor_id}/{dev.device_id} "
                            "outside 1..65535 / 1..16777215")
    return problems


def master_number(text: str) -> int | None:
    """The number N of a path /masters/N/...; None when it is none."""
    return int(text) if text.isdigit() and len(text) < 11 else None


class ServedMaster:
    """The REST face of one emulated master: the requests it was sent, in
    arrival order, and its answers.  The master itself (ports, devices,
    faults, delays) is the plant's ``EmulatedMaster``."""

    def __init__(self, master: EmulatedMaster, others: Sequence[EmulatedMaster] = ()):
        self.master = master
        self.spec = master.spec
        # The gateway's masters by masterNumber: this one is 1, ADDRESS#N are N.
        self.gateway = {m.number: m for m in (master, *others)}
        # (method, path) in arrival order, the latest REQUEST_LOG_LIMIT
        self.requests: deque[tuple[str, str]] = deque(maxlen=REQUEST_LOG_LIMIT)
        self._lock = threading.Lock()

    @property
    def ports(self) -> list[EmulatedPort]:
        return self.master.ports

    # -- answers -------------------------------------------------------------

    def answer(self, method: str, path: str, body: bytes | None, query: str = "") -> tuple[int, Any]:
        """(status, JSON value or None) for one request; raises ApiError."""
        with self._lock:
            self.requests.append((method, path))
        if not path.startswith(API_BASE + "/"):
            raise ApiError(ErrorCode.RESOURCE_NOT_FOUND)
        parts = [unquote(p) for p in path[len(API_BASE) + 1:].rstrip("/").split("/")]
        number = master_number(parts[1]) if parts[0] == "masters" and len(parts) > 1 else None
        addressed = self.addressed(parts, number)
        fault = addressed.spec.fault
        behind = parts[0] == "devices" or (parts[0] == "masters" and len(parts) > 2 and parts[2] != "identification")
        if behind and fault in ("refuse", "fail-after-connect"):
            if parts[2:] in (["capabilities"], ["ports"]):  # where a client connects
                addressed.slow()
            raise ApiError(ErrorCode.INTERNAL_COMMUNICATION_ERROR)
        if parts[0] == "devices" and fault == "fail-get-devices":
            raise ApiError(ErrorCode.INTERNAL_SERVER_ERROR)

        def only(*methods: str) -> None:
            if method not in methods:
                raise ApiError(ErrorCode.OPERATION_NOT_SUPPORTED)

        match parts:
            case ["gateway", "identification"]:
                only("GET")
                return 200, self.gateway_identification()
            case ["gateway", "capabilities"]:
                only("GET")
                return 200, {"ioddSupported": False, "mqttSupported": False}
            case ["gateway", "events"]:
                only("GET")
                return 200, self.events(query)
            case ["gateway", "configuration" | "reset" | "reboot"]:
                raise ApiError(ErrorCode.OPERATION_NOT_SUPPORTED)
            case ["masters"]:
                only("GET")
                return 200, [_compact({"masterNumber": n, "locationTag": m.spec.identity["name"]})
                             for n, m in sorted(self.gateway.items())]
            case ["masters", _, *rest] if rest:
                if number is None or self.gateway.get(number) is not addressed:
                    raise ApiError(ErrorCode.MASTER_NUMBER_NOT_FOUND)
                return self.master_answer(addressed, method, rest, body)
            case ["devices"]:
                only("GET")
                self.master.slow()
                return 200, [{"deviceAlias": p.config["deviceAlias"], "masterNumber": n, "portNumber": p.number}
                             for n, m in sorted(self.gateway.items()) for p in m.ports]
            case ["devices", alias, "identification"]:
                only("GET")
                return 200, self.device_identification(alias)
            case ["iodds", *_]:
                raise ApiError(ErrorCode.IODD_NOT_SUPPORTED)
            case ["mqtt", *_]:
                raise ApiError(ErrorCode.MQTT_NOT_SUPPORTED)
        raise ApiError(ErrorCode.RESOURCE_NOT_FOUND)

    def addressed(self, parts: list[str], number: int | None) -> EmulatedMaster:
        """The master a request is about: /masters/N/... (``number``, as
        read from the path), the owner of a device alias, else the
        gateway's first."""
        if number is not None:
            return self.gateway.get(number, self.master)
        if parts[0] == "devices" and len(parts) > 1:
            return next((m for m in self.gateway.values() if m.port_by_alias(parts[1])), self.master)
        return self.master

    def gateway_identification(self) -> dict[str, Any]:
        ident = self.spec.identity
        mac = zlib.crc32(self.spec.address.encode()).to_bytes(4, "big")
        return _compact({
            "macAddress": ":".join(f"{b:02X}" for b in b"\x02\x00" + mac),
            "vendorName": ident["vendor"],
            "productName": ident["productName"],
            "productId": ident["productCode"],
            "firmwareRevision": ident["fwVersion"],
        })

    def master_identification(self, master: EmulatedMaster) -> dict[str, Any]:
        ident = master.spec.identity
        return _compact({
            "vendorName": ident["vendor"],
            "vendorId": ident["vendorId"],
            "masterId": ident["deviceId"],
            "masterType": "Master acc. V1.1",
            "productName": ident["productName"],
            "orderCode": ident["productCode"],
            "firmwareRevision": ident["fwVersion"],
            "locationTag": ident["name"],
        })

    def master_answer(self, master: EmulatedMaster, method: str, rest: list[str], body: bytes | None) -> tuple[int, Any]:
        match rest:
            case ["identification"]:
                if method != "GET":
                    raise ApiError(ErrorCode.OPERATION_NOT_SUPPORTED)
                return 200, self.master_identification(master)
            case ["capabilities"]:
                if method != "GET":
                    raise ApiError(ErrorCode.OPERATION_NOT_SUPPORTED)
                master.slow()
                return 200, {"numberOfPorts": len(master.ports), "maxPowerSupply": {"value": 2.0, "unit": "A"}}
            case ["ports"]:
                if method != "GET":
                    raise ApiError(ErrorCode.OPERATION_NOT_SUPPORTED)
                master.slow()
                return 200, [{"portNumber": p.number, "statusInfo": p.status(),
                              "deviceAlias": p.config["deviceAlias"]} for p in master.ports]
            case ["ports", number, leaf]:
                port = self.port(master, number)
                if leaf == "status" and method == "GET":
                    return 200, self.port_status(master, port)
                if leaf == "configuration" and method == "GET":
                    return 200, dict(port.config)
                if leaf == "configuration" and method == "POST":
                    writes = master.spec.access.writes if master.spec.access else "allowed"
                    if writes != "allowed":
                        raise ApiError(ErrorCode.PERMISSION_DENIED if writes == "forbidden" else ErrorCode.ACTION_LOCKED)
                    self.configure(master, port, body)
                    return 204, None
                if leaf in ("status", "configuration", "capabilities", "datastorage"):
                    raise ApiError(ErrorCode.OPERATION_NOT_SUPPORTED)
        raise ApiError(ErrorCode.RESOURCE_NOT_FOUND)

    @staticmethod
    def port(master: EmulatedMaster, number: str) -> EmulatedPort:
        port = master.port(int(number)) if number.isdigit() and len(number) < 6 else None
        if port is None:
            raise ApiError(ErrorCode.PORT_NUMBER_NOT_FOUND)
        return port

    def port_status(self, master: EmulatedMaster, port: EmulatedPort) -> dict[str, Any]:
        return master.communication(port)

    def events(self, query: str) -> Any:
        """The gateway's event log, oldest first: every master's entries, or
        its first master's ``eventLog`` as it is (then unfiltered); the
        filters origin, masterNumber, portNumber, deviceAlias, top, bottom."""
        first = self.gateway[1]
        if first.spec.event_log is not None:
            return first.spec.event_log[0]
        entries = [e for _, m in sorted(self.gateway.items()) for e in m.event_log()]
        options = parse_qs(query, keep_blank_values=True)
        known = ("origin", "masterNumber", "portNumber", "deviceAlias", "top", "bottom")
        if any(k not in known or len(v) != 1 for k, v in options.items()):
            raise ApiError(ErrorCode.QUERY_NAME_INVALID)
        value = {k: v[0] for k, v in options.items()}
        origin = value.get("origin", "ALL")
        kinds = {"ALL": None, "GATEWAY": "gateway", "MASTERS": "master", "PORTS": "port", "DEVICES": "device"}
        if origin not in kinds:
            raise ApiError(ErrorCode.QUERY_VALUE_INVALID)
        numbers = {}
        for key in ("masterNumber", "portNumber", "top", "bottom"):
            if key in value:
                if not value[key].isdigit() or len(value[key]) > 9 or int(value[key]) < 1:
                    raise ApiError(ErrorCode.QUERY_VALUE_INVALID)
                numbers[key] = int(value[key])
        if "top" in numbers and "bottom" in numbers:
            raise ApiError(ErrorCode.QUERY_VALUE_INVALID)

        def kind(e: dict[str, Any]) -> str:
            o = e["origin"]
            return "device" if "deviceAlias" in o else "port" if "portNumber" in o else \
                "master" if "masterNumber" in o else "gateway"

        entries = [e for e in entries
                   if kinds[origin] in (None, kind(e))
                   and numbers.get("masterNumber", e["origin"].get("masterNumber")) == e["origin"].get("masterNumber")
                   and numbers.get("portNumber", e["origin"].get("portNumber")) == e["origin"].get("portNumber")
                   and value.get("deviceAlias", e["origin"].get("deviceAlias")) == e["origin"].get("deviceAlias")]
        if "top" in numbers:
            return entries[:numbers["top"]]
        if "bottom" in numbers:
            return entries[-numbers["bottom"]:]
        return entries

    def device_identification(self, alias: str) -> dict[str, Any]:
        port = next((p for m in self.gateway.values() if (p := m.port_by_alias(alias))), None)
        if port is None:
            raise ApiError(ErrorCode.DEVICE_ALIAS_NOT_FOUND)
        if port.config["mode"] not in IOLINK_API_MODES:
            raise ApiError(ErrorCode.PORT_NOT_IOLINK)
        dev = port.device
        if dev is None or port.status() not in DEVICE_THERE:
            raise ApiError(ErrorCode.DEVICE_NOT_ACCESSIBLE)
        answer: dict[str, Any] = {"vendorId": dev.vendor_id, "deviceId": dev.device_id, "ioLinkRevision": "1.1"}
        if dev.identification is not None:
            answer.update((n, dev.identification[n]) for n in IDENT_NAMES if dev.identification[n] is not None)
        return answer

    def configure(self, master: EmulatedMaster, port: EmulatedPort, body: bytes | None) -> None:
        if not body:
            raise ApiError(ErrorCode.POST_WITHOUT_CONTENT)
        try:
            doc = json.loads(body)
        except ValueError:
            raise ApiError(ErrorCode.JSON_PARSING_FAILED) from None
        if not isinstance(doc, dict):
            raise ApiError(ErrorCode.JSON_TYPE_INVALID)

        def enum(key: str, values: tuple[str, ...]) -> None:
            if not isinstance(doc[key], str):
                raise ApiError(ErrorCode.JSON_TYPE_INVALID, f": {key}")
            if doc[key] not in values:
                raise ApiError(ErrorCode.ENUMERATION_VALUE_UNKNOWN, f": {key}")

        def integer(key: str, top: int) -> None:
            if isinstance(doc[key], bool) or not isinstance(doc[key], int):
                raise ApiError(ErrorCode.JSON_TYPE_INVALID, f": {key}")
            if not 1 <= doc[key] <= top:
                raise ApiError(ErrorCode.VALUE_OUT_OF_RANGE, f": {key}")

        for key, value in doc.items():
            if key == "mode":
                enum(key, API_PORT_MODES)
            elif key == "iqConfiguration":
                enum(key, IQ_CONFIGURATIONS)
            elif key == "validationAndBackup":
                enum(key, VALIDATION_AND_BACKUP)
            elif key == "vendorId":
                integer(key, MAX_VENDOR_ID)
            elif key == "deviceId":
                integer(key, MAX_DEVICE_ID)
            elif key == "cycleTime":
                ok = isinstance(value, dict) and set(value) == {"value", "unit"}
                if not ok or isinstance(value["value"], bool) or not isinstance(value["value"], (int, float)):
                    raise ApiError(ErrorCode.JSON_TYPE_INVALID, ": cycleTime")
                if value["unit"] != "ms":
                    raise ApiError(ErrorCode.ENUMERATION_VALUE_UNKNOWN, ": cycleTime.unit")
                if value["value"] < 0:
                    raise ApiError(ErrorCode.VALUE_OUT_OF_RANGE, ": cycleTime.value")
            elif key == "deviceAlias":
                if not isinstance(value, str):
                    raise ApiError(ErrorCode.JSON_TYPE_INVALID, ": deviceAlias")
                if not value or "/" in value:
                    raise ApiError(ErrorCode.JSON_VALUE_INVALID, ": deviceAlias")
            else:
                raise ApiError(ErrorCode.JSON_VALUE_INVALID, f": unknown field {key!r}")
        if not master.configure(port, doc):
            raise ApiError(ErrorCode.DEVICE_ALIAS_NOT_UNIQUE)


# ---------------------------------------------------------------- HTTP


def _authorization(access: AccessSpec) -> str:
    """The Authorization header that a master with user management admits."""
    if access.scheme == "bearer":
        return f"Bearer {access.password}"
    return "Basic " + base64.b64encode(f"{access.login}:{access.password}".encode()).decode("ascii")


def _error(code: ErrorCode) -> tuple[int, dict[str, Any]]:
    return code.status, {"code": int(code), "message": code.message}


class Handler(BaseHTTPRequestHandler):
    """HTTP/1.1 with persistent connections; every answer, an error too, is
    the API's JSON (or empty)."""

    server: MasterServer
    server_version = "velmora-emulated-iolink-master/0.9"
    protocol_version = "HTTP/1.1"
    timeout = 30  # seconds an idle connection is kept
    disable_nagle_algorithm = True  # headers and body go out as two writes: no waiting for the peer's ACK

    def setup(self) -> None:
        super().setup()
        with self.server.lock:
            self.server.connections += 1
        if self.server.accept_latency:  # a slow embedded master takes its time for a new connection
            self.server.stop.wait(self.server.accept_latency)

    def _handle(self) -> None:
        body = None
        length_text = self.headers.get("Content-Length") or "0"
        length = int(length_text) if length_text.isdigit() and len(length_text) < 10 else MAX_BODY + 1
        if length > MAX_BODY:
            self.close_connection = True  # the body is not read: the connection cannot go on
            return self._send(*_error(ErrorCode.VALUE_OUT_OF_BOUNDS))
        if length:
            body = self.rfile.read(length)
        access = self.server.master.spec.access
        if access is not None and access.password and self.headers.get("Authorization") != _authorization(access):
            self.server.master.requests.append((self.command, urlsplit(self.path).path))
            challenge = "Bearer" if access.scheme == "bearer" else 'Basic realm="IO-Link Master"'
            return self._send(*_error(ErrorCode.AUTHENTICATION_INVALID), {"WWW-Authenticate": challenge})
        try:
            url = urlsplit(self.path)
            status, value = self.server.master.answer(self.command, url.path, body, url.query)
        except ApiError as exc:
            status, value = exc.status, {"code": exc.code, "message": exc.message}
        except Exception as exc:  # a fault of the emulator itself: still an API answer
            self.log_error("internal error: %r", exc)
            status, value = _error(ErrorCode.INTERNAL_SERVER_ERROR)
        self._send(status, value)

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = _handle

    def send_error(self, code: int, message: str | None = None, explain: str | None = None) -> None:
        """A method the server does not know (TRACE, ...) is an operation it
        does not support; other broken requests keep http.server's answer."""
        if code == HTTPStatus.NOT_IMPLEMENTED:
            self.close_connection = True  # a body it may have is not read
            self._send(*_error(ErrorCode.OPERATION_NOT_SUPPORTED))
        else:
            super().send_error(code, message, explain)

    def _send(self, status: int, value: Any, headers: Mapping[str, str] | None = None) -> None:
        if self.server.latency:
            self.server.stop.wait(self.server.latency)
        data = b"" if value is None else json.dumps(value).encode()
        self.send_response(status)
        for name, text in (headers or {}).items():
            self.send_header(name, text)
        if value is not None:
            self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    def log_message(self, format: str, *args: Any) -> None:
        if self.server.verbose:
            sys.stderr.write(f"{self.server.master.spec.address}: {format % args}\n")


class MasterServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, listen: tuple[str, int], master: ServedMaster, verbose: bool, stop: threading.Event,
                 latency: float = 0.0, accept_latency: float = 0.0):
        self.address_family = socket.AF_INET6 if ":" in listen[0] else socket.AF_INET
        self.master = master
        self.verbose = verbose
        self.stop = stop
        self.latency = latency
        self.accept_latency = accept_latency
        self.connections = 0  # TCP connections accepted
        self.lock = threading.Lock()
        super().__init__(listen, Handler)


def _host_port(place: tuple[str, int]) -> str:
    host, port = place
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


class ListenError(OSError):
    """A master's listening socket could not be opened: ``place`` is its
    (host, port), ``reason`` the system's words."""

    def __init__(self, place: tuple[str, int], exc: BaseException):
        reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        if isinstance(exc, OverflowError):
            reason = "port out of range (1..65535)"
        super().__init__(exc.errno if isinstance(exc, OSError) else None, reason)
        self.place = place
        self.reason = reason

    def __str__(self) -> str:
        return f"cannot listen on {_host_port(self.place)}: {self.reason}"


def gateways(masters: Sequence[EmulatedMaster]) -> list[list[EmulatedMaster]]:
    """The present IP masters as gateways, in installation order: master 1
    (the plain address) first, then its masters ``ADDRESS#N`` by number.  A
    gateway whose master 1 is not present is not served."""
    served = [m for m in masters if m.transport == "IP" and m.spec.present]
    return [[m, *sorted((o for o in served if o.number > 1 and o.gateway == m.address), key=lambda o: o.number)]
            for m in served if m.number == 1]


class Servers:
    """One HTTP server per IP master of an installation, each on its own thread.

    ``listen``: one (host, port) for all masters (port 0: a free port each,
    else that port and the following ones), or one per master.  ``latency``
    delays every answer, ``accept_latency`` every new connection."""

    def __init__(self, installation: Installation, host: str = "127.0.0.1", port: int = 0,
                 device_startup: float = 0.5, verbose: bool = False, *,
                 listen: Sequence[tuple[str, int]] | None = None, latency: float = 0.0, accept_latency: float = 0.0):
        self._stop = threading.Event()
        self.servers: list[MasterServer] = []
        self._device_startup = device_startup
        self.plant = Plant(installation, device_startup, self._stop)
        served = gateways(self.plant.masters)
        places = list(listen or [(host, port)])
        if len(places) == 1:
            h, p = places[0]
            places = [(h, p + i if p else 0) for i in range(len(served))]
        elif len(places) != len(served):
            raise ValueError(f"{len(served)} IP master(s) to serve, {len(places)} listening addresses "
                             "(a gateway with several masters counts once)")
        self._threads: list[threading.Thread] = []
        try:
            for (master, *others), place in zip(served, places, strict=True):
                try:
                    server = MasterServer(place, ServedMaster(master, others), verbose, self._stop, latency,
                                          accept_latency)
                except (OSError, OverflowError) as exc:  # OverflowError: a port past 65535
                    raise ListenError(place, exc) from exc
                self.servers.append(server)
        except BaseException:
            self.close()
            raise

    @property
    def masters(self) -> dict[str, ServedMaster]:
        """Installation address -> the gateway that serves it."""
        return {m.address: s.master for s in self.servers for m in s.master.gateway.values()}

    @property
    def addresses(self) -> dict[str, str]:
        """Installation address -> host:port it is served on (``host:port#N``
        for master N of a gateway)."""
        result = {}
        for s in self.servers:
            host, port = s.server_address[:2]
            assert isinstance(host, str)
            place = _host_port((host, port))
            for number, master in sorted(s.master.gateway.items()):
                result[master.address] = place if number == 1 else f"{place}#{number}"
        return result

    def reload(self, installation: Installation) -> list[str]:
        """Serve the masters as ``installation`` now has them (ports,
        devices, identity, faults, delays), each at the place it is served
        at; port configurations written since start are forgotten.  Returns
        the addresses it holds that are not served (a restart serves them)."""
        plant = Plant(installation, self._device_startup, self._stop)
        now = {(m.address, m.number): m for m in plant.masters if m.transport == "IP" and m.spec.present}
        for s in self.servers:
            served = s.master
            gateway = {n: now.pop((m.address, n), m) for n, m in served.gateway.items()}
            served.master = gateway[1]
            served.spec = gateway[1].spec
            served.gateway = gateway
        self.plant = plant
        return [address for address, _ in now]

    def start(self) -> Self:
        for s in self.servers:
            t = threading.Thread(target=s.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True,
                                 name=f"master {s.master.spec.address}")
            t.start()
            self._threads.append(t)
        return self

    def close(self) -> None:
        self._stop.set()  # ends the emulated delays
        if self._threads:  # shutdown() waits for a poll of that server's loop: all at once
            stoppers = [threading.Thread(target=s.shutdown) for s in self.servers]
            for t in stoppers:
                t.start()
            for t in stoppers:
                t.join()
        for s in self.servers:
            s.server_close()
        self._threads.clear()

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.close()


def _modified(path: str) -> tuple[int, int] | None:
    try:
        status = os.stat(path)
    except OSError:
        return None
    return status.st_mtime_ns, status.st_size


def _listen(text: str) -> tuple[str, int]:
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit() or int(port) > 65535:
        raise argparse.ArgumentTypeError(f"expected HOST:PORT, got {text!r}")
    return host.strip("[]"), int(port)


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 <= value <= 3600:
        raise argparse.ArgumentTypeError(f"expected seconds (0..3600), got {text!r}")
    return value


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m velmora.base.server", description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--installation", metavar="FILE",
                        help="installation file (default: $VELMORA_BASE_INSTALLATION or the demo plant)")
    parser.add_argument("--listen", type=_listen, action="append", metavar="HOST:PORT",
                        help="once: the address of the first master, port 0 picks a free port per master "
                             "(default 127.0.0.1:0); once per master: the n-th master at the n-th address")
    parser.add_argument("--device-startup", type=_seconds, default=0.5, metavar="SECONDS",
                        help="how long a device takes to come online after its port is activated (default 0.5)")
    parser.add_argument("--latency", type=_seconds, default=0.0, metavar="SECONDS",
                        help="delay before every answer (default 0)")
    parser.add_argument("--accept-latency", type=_seconds, default=0.0, metavar="SECONDS",
                        help="delay before the first request of every new connection is read (default 0)")
    parser.add_argument("--reload", action="store_true",
                        help="serve the installation file anew whenever it changes (checked twice a second)")
    parser.add_argument("-v", "--verbose", action="store_true", help="log every request on stderr")
    args = parser.parse_args(argv)
    if args.reload and not args.installation:
        parser.error("--reload needs --installation FILE")
    listen = args.listen or [("127.0.0.1", 0)]
    try:
        installation = load_file(args.installation) if args.installation else load_default()
    except InstallationError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    served = gateways(Plant(installation).masters)
    if not served:
        print(f"error: {installation.source}: no IP master to serve", file=sys.stderr)
        return 2
    if len(listen) > 1 and len(listen) != len(served):
        print(f"error: {len(served)} IP master(s) to serve but {len(listen)} --listen addresses "
              "(give one, or one per master; a gateway with several masters counts once)", file=sys.stderr)
        return 2
    for spec in (m.spec for gateway in served for m in gateway):
        for problem in api_problems(spec):
            print(f"warning: {problem}: answers will not match the API description", file=sys.stderr)
    try:
        servers = Servers(installation, device_startup=args.device_startup, verbose=args.verbose, listen=listen,
                          latency=args.latency, accept_latency=args.accept_latency)
    except OSError as exc:  # ListenError: the address and the system's reason
        print(f"error: {exc}", file=sys.stderr)
        return 1
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    with servers:
        changed = _modified(args.installation) if args.reload else None
        for address, place in servers.addresses.items():
            print(f"{address} -> {place}", flush=True)
        print(f"serving {len(servers.addresses)} emulated master(s); stop with Ctrl-C or SIGTERM",
              file=sys.stderr, flush=True)
        while not stop.wait(0.5):
            if changed is not None and (now := _modified(args.installation)) != changed:
                changed = now
                try:
                    left_out = servers.reload(load_file(args.installation))
                except InstallationError as exc:
                    print(f"error: {exc} (still serving the plant as it was)", file=sys.stderr, flush=True)
                    continue
                print(f"reloaded {args.installation}" + (f"; not served until a restart: {', '.join(left_out)}"
                                                         if left_out else ""), file=sys.stderr, flush=True)
    print("stopped", file=sys.stderr, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
