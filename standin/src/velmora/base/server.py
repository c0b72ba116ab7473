"""Emulated IO-Link masters speaking JSON for IO-Link (REST, ``/iolink/v1``).

    python -m velmora.base.server [--installation FILE] [--listen 127.0.0.1:0]

serves every IP master of an installation file (same format as the
in-process emulation; default: VELMORA_BASE_INSTALLATION or the demo plant)
on a listening port of its own, and prints one line per master,
``192.168.10.21 -> 127.0.0.1:40123``.  With a port other than 0 the masters
get that port and the following ones.  SIGTERM or SIGINT stops it.

Each master is a gateway with one IO-Link master (masterNumber 1).  What it
serves, from the installation:

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
* ``present: false``: not served; ``fault`` "refuse" and "fail-after-connect":
  everything past the identification answers 500 [102]; "fail-get-devices":
  the device requests answer 500 [101]; ``delay``: each capabilities and
  ``/devices`` request takes that long.  ``supported`` and ``managerDriver``
  are properties of the driver library and have no effect here.

Errors are the API's error objects ``{"code": ..., "message": ...}``.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import socket
import sys
import threading
import time
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import unquote, urlsplit

from . import _installation
from ._errors import InstallationError
from ._installation import IDENT_NAMES, Installation, MasterSpec
from ._state import ENV_VAR

API = "/iolink/v1"
MAX_BODY = 64 * 1024

SERVED_MODES = {"IOLINK": "IOLINK_AUTOSTART", "DI": "DIGITAL_INPUT", "DO": "DIGITAL_OUTPUT", "DEACTIVATED": "DEACTIVATED"}
PORT_MODES = ("DEACTIVATED", "IOLINK_MANUAL", "IOLINK_AUTOSTART", "DIGITAL_INPUT", "DIGITAL_OUTPUT")
IQ = ("NOT_SUPPORTED", "DIGITAL_INPUT", "DIGITAL_OUTPUT", "POWER_2")
VALIDATION = ("NO_DEVICE_CHECK", "TYPE_COMPATIBLE_DEVICE_V1.0", "TYPE_COMPATIBLE_DEVICE_V1.1",
              "TYPE_COMPATIBLE_DEVICE_V1.1_BACKUP_AND_RESTORE", "TYPE_COMPATIBLE_DEVICE_V1.1_RESTORE")
STATUS_OF_MODE = {"DEACTIVATED": "DEACTIVATED", "DIGITAL_INPUT": "DIGITAL_INPUT_C/Q", "DIGITAL_OUTPUT": "DIGITAL_OUTPUT_C/Q"}


class ApiError(Exception):
    def __init__(self, status: int, code: int, message: str):
        super().__init__(message)
        self.status, self.code, self.message = status, code, message


NOT_FOUND = (404, 301, "Resource not found")
NOT_SUPPORTED = (404, 103, "Operation not supported")


def _compact(obj: dict) -> dict:
    """Leave out what the installation does not know (null texts, zero ids)."""
    return {k: v for k, v in obj.items() if v is not None and not (type(v) is int and v == 0)}


def api_problems(spec: MasterSpec) -> list[str]:
    """Values of a master that its answers cannot carry within the API's ranges."""
    where = f"master {spec.address}"
    ident = spec.identity
    problems = []
    if not 1 <= ident["vendorId"] <= 0xFFFF:
        problems.append(f"{where}: vendorId {ident['vendorId']} outside 1..65535")
    if not ident["deviceId"]:
        problems.append(f"{where}: deviceId 0 (masterId must be at least 1)")
    if ident["vendor"] is None:
        problems.append(f"{where}: vendor null (vendorName is required)")
    if not spec.ports:
        problems.append(f"{where}: no ports (numberOfPorts must be at least 1)")
    for port in spec.ports:
        dev = port.device
        if dev and not (1 <= dev.vendor_id <= 0xFFFF and 1 <= dev.device_id <= 0xFFFFFF):
            problems.append(f"{where} port {port.port_id}: device ids {dev.vendor_id}/{dev.device_id} "
                            "outside 1..65535 / 1..16777215")
    return problems


class Port:
    def __init__(self, number: int, mode: str, device: Any):
        self.number = number
        self.device = device
        self.config: dict[str, Any] = {
            "mode": SERVED_MODES[mode],
            "iqConfiguration": "NOT_SUPPORTED",
            "deviceAlias": f"master1port{number}",
        }
        self.online_at = 0.0  # monotonic time the device comes online after activation

    def status(self) -> str:
        mode = self.config["mode"]
        if mode in STATUS_OF_MODE:
            return STATUS_OF_MODE[mode]
        if self.device is None:
            return "COMMUNICATION_LOST"
        return "DEVICE_STARTING" if time.monotonic() < self.online_at else "DEVICE_ONLINE"


class Master:
    """The state and the answers of one emulated master (thread-safe)."""

    def __init__(self, spec: MasterSpec, device_startup: float, stop: threading.Event):
        self.spec = spec
        self.device_startup = device_startup
        self._stop = stop
        self.lock = threading.Lock()
        self.ports = [Port(p.port_id, p.mode, p.device) for p in spec.ports]
        self.requests: list[tuple[str, str]] = []  # (method, path) in arrival order

    def _slow(self) -> None:
        if self.spec.delay:
            self._stop.wait(self.spec.delay)

    # -- answers -------------------------------------------------------------

    def answer(self, method: str, path: str, body: bytes | None) -> tuple[int, Any]:
        """(status, JSON value or None) for one request; raises ApiError."""
        with self.lock:
            self.requests.append((method, path))
        if not path.startswith(API + "/"):
            raise ApiError(*NOT_FOUND)
        parts = [unquote(p) for p in path[len(API) + 1:].rstrip("/").split("/")]
        fault = self.spec.fault
        behind = parts[0] == "devices" or (parts[0] == "masters" and len(parts) > 2 and parts[2] != "identification")
        if behind and fault in ("refuse", "fail-after-connect"):
            if parts[2:3] == ["capabilities"]:
                self._slow()
            raise ApiError(500, 102, "Internal communication error")
        if parts[0] == "devices" and fault == "fail-get-devices":
            raise ApiError(500, 101, "Internal server error")

        def only(*methods: str) -> None:
            if method not in methods:
                raise ApiError(*NOT_SUPPORTED)

        match parts:
            case ["gateway", "identification"]:
                only("GET")
                return 200, self.gateway_identification()
            case ["gateway", "capabilities"]:
                only("GET")
                return 200, {"ioddSupported": False, "mqttSupported": False}
            case ["masters"]:
                only("GET")
                return 200, [_compact({"masterNumber": 1, "locationTag": self.spec.identity["name"]})]
            case ["masters", number, *rest] if rest:
                if number != "1":
                    raise ApiError(404, 302, "masterNumber not found")
                return self.master_answer(method, rest, body)
            case ["devices"]:
                only("GET")
                self._slow()
                with self.lock:
                    return 200, [{"deviceAlias": p.config["deviceAlias"], "masterNumber": 1, "portNumber": p.number}
                                 for p in self.ports]
            case ["devices", alias, "identification"]:
                only("GET")
                return 200, self.device_identification(alias)
            case ["iodds", *_]:
                raise ApiError(501, 105, "IODD feature not supported")
            case ["mqtt", *_]:
                raise ApiError(501, 106, "MQTT feature not supported")
        raise ApiError(*NOT_FOUND)

    def gateway_identification(self) -> dict:
        ident = self.spec.identity
        mac = zlib.crc32(self.spec.address.encode()).to_bytes(4, "big")
        return _compact({
            "macAddress": ":".join(f"{b:02X}" for b in b"\x02\x00" + mac),
            "vendorName": ident["vendor"],
            "productName": ident["productName"],
            "productId": ident["productCode"],
            "firmwareRevision": ident["fwVersion"],
        })

    def master_identification(self) -> dict:
        ident = self.spec.identity
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

    def master_answer(self, method: str, rest: list[str], body: bytes | None) -> tuple[int, Any]:
        match rest:
            case ["identification"]:
                if method != "GET":
                    raise ApiError(*NOT_SUPPORTED)
                return 200, self.master_identification()
            case ["capabilities"]:
                if method != "GET":
                    raise ApiError(*NOT_SUPPORTED)
                self._slow()
                return 200, {"numberOfPorts": len(self.ports), "maxPowerSupply": {"value": 2.0, "unit": "A"}}
            case ["ports"]:
                if method != "GET":
                    raise ApiError(*NOT_SUPPORTED)
                with self.lock:
                    return 200, [{"portNumber": p.number, "statusInfo": p.status(),
                                  "deviceAlias": p.config["deviceAlias"]} for p in self.ports]
            case ["ports", number, leaf]:
                port = self.port(number)
                if leaf == "status" and method == "GET":
                    return 200, self.port_status(port)
                if leaf == "configuration" and method == "GET":
                    with self.lock:
                        return 200, dict(port.config)
                if leaf == "configuration" and method == "POST":
                    self.configure(port, body)
                    return 204, None
                if leaf in ("status", "configuration", "capabilities", "datastorage"):
                    raise ApiError(*NOT_SUPPORTED)
        raise ApiError(*NOT_FOUND)

    def port(self, number: str) -> Port:
        if number.isdigit() and 1 <= int(number) <= len(self.ports):
            return self.ports[int(number) - 1]
        raise ApiError(404, 303, "portNumber not found")

    def port_status(self, port: Port) -> dict:
        with self.lock:
            status = port.status()
        if status != "DEVICE_ONLINE":
            return {"statusInfo": status}
        return {"statusInfo": status, "ioLinkRevision": "1.1", "transmissionRate": "COM2",
                "masterCycleTime": {"value": 2.3, "unit": "ms"}}

    def device_identification(self, alias: str) -> dict:
        with self.lock:
            port = next((p for p in self.ports if p.config["deviceAlias"] == alias), None)
            if port is None:
                raise ApiError(404, 304, "deviceAlias not found")
            if not port.config["mode"].startswith("IOLINK"):
                raise ApiError(400, 307, "Port is not configured to IO-Link")
            if port.status() != "DEVICE_ONLINE":
                raise ApiError(404, 308, "IO-Link Device is not accessible")
            dev = port.device
        answer = {"vendorId": dev.vendor_id, "deviceId": dev.device_id, "ioLinkRevision": "1.1"}
        if dev.identification is not None:
            answer.update((n, dev.identification[n]) for n in IDENT_NAMES if dev.identification[n] is not None)
        return answer

    def configure(self, port: Port, body: bytes | None) -> None:
        if not body:
            raise ApiError(400, 208, "POST request without content")
        try:
            doc = json.loads(body)
        except ValueError:
            raise ApiError(400, 201, "JSON parsing failed") from None
        if not isinstance(doc, dict):
            raise ApiError(400, 203, "JSON data type invalid")

        def enum(key: str, values: tuple[str, ...]) -> None:
            if not isinstance(doc[key], str):
                raise ApiError(400, 203, f"JSON data type invalid: {key}")
            if doc[key] not in values:
                raise ApiError(400, 204, f"Enumeration value unknown: {key}")

        def integer(key: str, top: int) -> None:
            if isinstance(doc[key], bool) or not isinstance(doc[key], int):
                raise ApiError(400, 203, f"JSON data type invalid: {key}")
            if not 1 <= doc[key] <= top:
                raise ApiError(400, 205, f"JSON data value out of range: {key}")

        for key, value in doc.items():
            if key == "mode":
                enum(key, PORT_MODES)
            elif key == "iqConfiguration":
                enum(key, IQ)
            elif key == "validationAndBackup":
                enum(key, VALIDATION)
            elif key == "vendorId":
                integer(key, 0xFFFF)
            elif key == "deviceId":
                integer(key, 0xFFFFFF)
            elif key == "cycleTime":
                ok = isinstance(value, dict) and set(value) == {"value", "unit"}
                if not ok or isinstance(value["value"], bool) or not isinstance(value["value"], (int, float)):
                    raise ApiError(400, 203, "JSON data type invalid: cycleTime")
                if value["unit"] != "ms":
                    raise ApiError(400, 204, "Enumeration value unknown: cycleTime.unit")
                if value["value"] < 0:
                    raise ApiError(400, 205, "JSON data value out of range: cycleTime.value")
            elif key == "deviceAlias":
                if not isinstance(value, str):
                    raise ApiError(400, 203, "JSON data type invalid: deviceAlias")
                if not value or "/" in value:
                    raise ApiError(400, 202, "JSON data value invalid: deviceAlias")
            else:
                raise ApiError(400, 202, f"JSON data value invalid: unknown field {key!r}")
        with self.lock:
            alias = doc.get("deviceAlias")
            if alias is not None and any(p.config["deviceAlias"] == alias for p in self.ports if p is not port):
                raise ApiError(400, 207, "deviceAlias is not unique")
            was_iolink = port.config["mode"].startswith("IOLINK")
            port.config.update(doc)
            if port.config["mode"].startswith("IOLINK") and not was_iolink:
                port.online_at = time.monotonic() + self.device_startup


# ---------------------------------------------------------------- HTTP


class Handler(BaseHTTPRequestHandler):
    server: MasterServer
    server_version = "velmora-emulated-iolink-master/0.9"

    def _handle(self) -> None:
        body = None
        if self.command == "POST":
            length = self.headers.get("Content-Length") or "0"
            length = int(length) if length.isdigit() else MAX_BODY + 1
            if length > MAX_BODY:
                return self._send(400, {"code": 206, "message": "JSON data value out of bounds"})
            body = self.rfile.read(length)
        try:
            status, value = self.server.master.answer(self.command, urlsplit(self.path).path, body)
        except ApiError as exc:
            status, value = exc.status, {"code": exc.code, "message": exc.message}
        except Exception as exc:  # a fault of the emulator itself: still an API answer
            self.log_error("internal error: %r", exc)
            status, value = 500, {"code": 101, "message": "Internal server error"}
        self._send(status, value)

    do_GET = do_POST = do_PUT = do_DELETE = _handle

    def _send(self, status: int, value: Any) -> None:
        data = b"" if value is None else json.dumps(value).encode()
        self.send_response(status)
        if value is not None:
            self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, format: str, *args: Any) -> None:
        if self.server.verbose:
            sys.stderr.write(f"{self.server.master.spec.address}: {format % args}\n")


class MasterServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, listen: tuple[str, int], master: Master, verbose: bool):
        self.address_family = socket.AF_INET6 if ":" in listen[0] else socket.AF_INET
        self.master = master
        self.verbose = verbose
        super().__init__(listen, Handler)


class Servers:
    """One HTTP server per IP master of an installation, each on its own thread."""

    def __init__(self, installation: Installation, host: str = "127.0.0.1", port: int = 0,
                 device_startup: float = 0.5, verbose: bool = False):
        self._stop = threading.Event()
        self.servers: list[MasterServer] = []
        specs = [m for m in installation.masters_of("IP") if m.present]
        try:
            for i, spec in enumerate(specs):
                master = Master(spec, device_startup, self._stop)
                self.servers.append(MasterServer((host, port + i if port else 0), master, verbose))
        except BaseException:
            self.close()
            raise
        self._threads: list[threading.Thread] = []

    @property
    def masters(self) -> dict[str, Master]:
        return {s.master.spec.address: s.master for s in self.servers}

    @property
    def addresses(self) -> dict[str, str]:
        """Installation address -> host:port it is served on."""
        result = {}
        for s in self.servers:
            host, port = s.server_address[:2]
            result[s.master.spec.address] = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
        return result

    def start(self) -> Servers:
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

    def __enter__(self) -> Servers:
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.close()


def _listen(text: str) -> tuple[str, int]:
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit() or int(port) > 65535:
        raise argparse.ArgumentTypeError(f"expected HOST:PORT, got {text!r}")
    return host.strip("[]"), int(port)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m velmora.base.server", description=__doc__.split("\n\n")[0])
    parser.add_argument("--installation", metavar="FILE",
                        help="installation file (default: $VELMORA_BASE_INSTALLATION or the demo plant)")
    parser.add_argument("--listen", type=_listen, default=("127.0.0.1", 0), metavar="HOST:PORT",
                        help="address of the first master; port 0 picks a free port per master (default 127.0.0.1:0)")
    parser.add_argument("--device-startup", type=float, default=0.5, metavar="SECONDS",
                        help="how long a device takes to come online after its port is activated (default 0.5)")
    parser.add_argument("-v", "--verbose", action="store_true", help="log every request on stderr")
    args = parser.parse_args(argv)
    try:
        if args.installation:
            installation = _installation.load_file(args.installation)
        else:
            path = os.environ.get(ENV_VAR)
            installation = _installation.load_file(path) if path else _installation.load_demo()
    except InstallationError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    if not any(m.present for m in installation.masters_of("IP")):
        print(f"error: {installation.source}: no IP master to serve", file=sys.stderr)
        return 2
    for spec in installation.masters_of("IP"):
        for problem in api_problems(spec) if spec.present else ():
            print(f"warning: {problem}: answers will not match the API description", file=sys.stderr)
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    try:
        servers = Servers(installation, *args.listen, device_startup=args.device_startup, verbose=args.verbose)
    except OSError as exc:
        print(f"error: cannot listen on {args.listen[0]}:{args.listen[1]}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    with servers:
        for address, listen in servers.addresses.items():
            print(f"{address} -> {listen}", flush=True)
        print(f"serving {len(servers.servers)} emulated master(s); stop with Ctrl-C or SIGTERM",
              file=sys.stderr, flush=True)
        while not stop.wait(0.5):
            pass
    print("stopped", file=sys.stderr, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
