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
import signal
import socket
import sys
import threading
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import unquote, urlsplit

from ._emulation import EmulatedMaster, EmulatedPort, Plant
from ._errors import InstallationError
from ._installation import IDENT_NAMES, Installation, MasterSpec, load_default, load_file
from ._protocol import (
    API_BASE,
    API_PORT_MODES,
    DEVICE_ONLINE,
    IOLINK_API_MODES,
    IQ_CONFIGURATIONS,
    MAX_DEVICE_ID,
    MAX_VENDOR_ID,
    VALIDATION_AND_BACKUP,
    ErrorCode,
)

MAX_BODY = 64 * 1024


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


class ServedMaster:
    """The REST face of one emulated master: the requests it was sent, in
    arrival order, and its answers.  The master itself (ports, devices,
    faults, delays) is the plant's ``EmulatedMaster``."""

    def __init__(self, master: EmulatedMaster):
        self.master = master
        self.spec = master.spec
        self.requests: list[tuple[str, str]] = []  # (method, path) in arrival order
        self._lock = threading.Lock()

    @property
    def ports(self) -> list[EmulatedPort]:
        return self.master.ports

    # -- answers -------------------------------------------------------------

    def answer(self, method: str, path: str, body: bytes | None) -> tuple[int, Any]:
        """(status, JSON value or None) for one request; raises ApiError."""
        with self._lock:
            self.requests.append((method, path))
        if not path.startswith(API_BASE + "/"):
            raise ApiError(ErrorCode.RESOURCE_NOT_FOUND)
        parts = [unquote(p) for p in path[len(API_BASE) + 1:].rstrip("/").split("/")]
        fault = self.spec.fault
        behind = parts[0] == "devices" or (parts[0] == "masters" and len(parts) > 2 and parts[2] != "identification")
        if behind and fault in ("refuse", "fail-after-connect"):
            if parts[2:3] == ["capabilities"]:
                self.master.slow()
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
            case ["masters"]:
                only("GET")
                return 200, [_compact({"masterNumber": 1, "locationTag": self.spec.identity["name"]})]
            case ["masters", number, *rest] if rest:
                if number != "1":
                    raise ApiError(ErrorCode.MASTER_NUMBER_NOT_FOUND)
                return self.master_answer(method, rest, body)
            case ["devices"]:
                only("GET")
                self.master.slow()
                return 200, [{"deviceAlias": p.config["deviceAlias"], "masterNumber": 1, "portNumber": p.number}
                             for p in self.ports]
            case ["devices", alias, "identification"]:
                only("GET")
                return 200, self.device_identification(alias)
            case ["iodds", *_]:
                raise ApiError(ErrorCode.IODD_NOT_SUPPORTED)
            case ["mqtt", *_]:
                raise ApiError(ErrorCode.MQTT_NOT_SUPPORTED)
        raise ApiError(ErrorCode.RESOURCE_NOT_FOUND)

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

    def master_identification(self) -> dict[str, Any]:
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
                    raise ApiError(ErrorCode.OPERATION_NOT_SUPPORTED)
                return 200, self.master_identification()
            case ["capabilities"]:
                if method != "GET":
                    raise ApiError(ErrorCode.OPERATION_NOT_SUPPORTED)
                self.master.slow()
                return 200, {"numberOfPorts": len(self.ports), "maxPowerSupply": {"value": 2.0, "unit": "A"}}
            case ["ports"]:
                if method != "GET":
                    raise ApiError(ErrorCode.OPERATION_NOT_SUPPORTED)
                return 200, [{"portNumber": p.number, "statusInfo": p.status(),
                              "deviceAlias": p.config["deviceAlias"]} for p in self.ports]
            case ["ports", number, leaf]:
                port = self.port(number)
                if leaf == "status" and method == "GET":
                    return 200, self.port_status(port)
                if leaf == "configuration" and method == "GET":
                    return 200, dict(port.config)
                if leaf == "configuration" and method == "POST":
                    self.configure(port, body)
                    return 204, None
                if leaf in ("status", "configuration", "capabilities", "datastorage"):
                    raise ApiError(ErrorCode.OPERATION_NOT_SUPPORTED)
        raise ApiError(ErrorCode.RESOURCE_NOT_FOUND)

    def port(self, number: str) -> EmulatedPort:
        port = self.master.port(int(number)) if number.isdigit() and len(number) < 6 else None
        if port is None:
            raise ApiError(ErrorCode.PORT_NUMBER_NOT_FOUND)
        return port

    def port_status(self, port: EmulatedPort) -> dict[str, Any]:
        status = port.status()
        if status != DEVICE_ONLINE:
            return {"statusInfo": status}
        return {"statusInfo": status, "ioLinkRevision": "1.1", "transmissionRate": "COM2",
                "masterCycleTime": {"value": 2.3, "unit": "ms"}}

    def device_identification(self, alias: str) -> dict[str, Any]:
        port = self.master.port_by_alias(alias)
        if port is None:
            raise ApiError(ErrorCode.DEVICE_ALIAS_NOT_FOUND)
        if port.config["mode"] not in IOLINK_API_MODES:
            raise ApiError(ErrorCode.PORT_NOT_IOLINK)
        dev = port.device
        if dev is None or port.status() != DEVICE_ONLINE:
            raise ApiError(ErrorCode.DEVICE_NOT_ACCESSIBLE)
        answer: dict[str, Any] = {"vendorId": dev.vendor_id, "deviceId": dev.device_id, "ioLinkRevision": "1.1"}
        if dev.identification is not None:
            answer.update((n, dev.identification[n]) for n in IDENT_NAMES if dev.identification[n] is not None)
        return answer

    def configure(self, port: EmulatedPort, body: bytes | None) -> None:
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
        if not self.master.configure(port, doc):
            raise ApiError(ErrorCode.DEVICE_ALIAS_NOT_UNIQUE)


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
                code = ErrorCode.VALUE_OUT_OF_BOUNDS
                return self._send(code.status, {"code": int(code), "message": code.message})
            body = self.rfile.read(length)
        try:
            status, value = self.server.master.answer(self.command, urlsplit(self.path).path, body)
        except ApiError as exc:
            status, value = exc.status, {"code": exc.code, "message": exc.message}
        except Exception as exc:  # a fault of the emulator itself: still an API answer
            self.log_error("internal error: %r", exc)
            code = ErrorCode.INTERNAL_SERVER_ERROR
            status, value = code.status, {"code": int(code), "message": code.message}
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

    def __init__(self, listen: tuple[str, int], master: ServedMaster, verbose: bool):
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
        self.plant = Plant(installation, device_startup, self._stop)
        served = [m for m in self.plant.masters if m.transport == "IP" and m.spec.present]
        try:
            for i, master in enumerate(served):
                self.servers.append(MasterServer((host, port + i if port else 0), ServedMaster(master), verbose))
        except BaseException:
            self.close()
            raise
        self._threads: list[threading.Thread] = []

    @property
    def masters(self) -> dict[str, ServedMaster]:
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
        installation = load_file(args.installation) if args.installation else load_default()
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
