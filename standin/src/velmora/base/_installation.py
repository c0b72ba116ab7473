"""The emulated IO-Link installation: data model, JSON loader and validation.

An installation is read from a JSON file, a dict, or the built-in demo plant
(``demo_installation.json`` next to this module).  Validation is strict and
complete: unknown keys, wrong types, unknown enum values and duplicate
addresses are all rejected with a message that names the source, the path
inside the document (``masters[2].ports[0].mode``) and the problem.

Everything here is immutable; the mutable emulation state (port modes changed
by "auto" activation, open links) lives in ``_emulation``.
"""

from __future__ import annotations

import dataclasses
import difflib
import json
import os
import re
import sys
from dataclasses import dataclass
from importlib import resources
from typing import Any, Mapping

from ._address import address_key, host_range, parse_target, split_master
from ._errors import InstallationError
from ._protocol import default_alias
from ._health import MAX_TEXT, MAX_TIME, MODES, SEVERITIES, TRANSMISSION_RATES

TRANSPORTS = ("IP", "USB", "BLE")
PORT_MODES = ("IOLINK", "DI", "DO", "DEACTIVATED")
FAULTS = ("none", "refuse", "fail-after-connect", "fail-get-devices")
MANAGER_DRIVER = ("none", "registered", "active")
# Fault states a port can be given; a port with an expected device and none,
# or another one, plugged in reports COMMUNICATION_LOST or INCORRECT_DEVICE.
PORT_STATES = ("NOT_AVAILABLE", "DEVICE_STARTING", "PORT_POWER_OFF", "PAIRING_FAULT")

# IO-Link identification parameters, indices 16..24 in this order.
IDENT_NAMES = (
    "vendorName",
    "vendorText",
    "productName",
    "productId",
    "productText",
    "serialNumber",
    "hardwareRevision",
    "firmwareRevision",
    "applicationSpecificTag",
)

MASTER_IDENTITY_INTS = ("vendorId", "deviceId")
MASTER_IDENTITY_TEXTS = ("name", "fwVersion", "vendor", "productName", "productCode")

DEFAULT_UNAVAILABLE_REASON = {
    "IP": "no network interface",
    "USB": "no USB IO-Link master driver installed",
    "BLE": "no BLE adapter",
}

MAX_ID = 0xFFFFFFFF
MAX_DELAY = 3600.0
MAX_TIMEOUT = 600.0
REST_TIMEOUTS = ("connectTimeout", "readTimeout", "requestTimeout", "sessionTimeout", "startupTimeout")
MAX_FILE_SIZE = 64 << 20  # bytes of an installation file
MAX_DEPTH = 200  # nesting of arrays and objects named in a "nested too deeply" error
DEMO_SOURCE = "<demo installation>"
# Names the installation file that replaces the demo plant.
ENV_VAR = "VELMORA_BASE_INSTALLATION"


@dataclass(frozen=True)
class TransportSpec:
    available: bool = True
    reason: str = ""
    active_base_driver: bool = False


@dataclass(frozen=True)
class DeviceSpec:
    vendor_id: int
    device_id: int
    # All nine identification names, values str or None; None = no identification.
    identification: Mapping[str, str | None] | None


@dataclass(frozen=True)
class PortSpec:
    port_id: int  # 1-based, the position in the master's port list
    mode: str
    device: DeviceSpec | None
    status: str | None = None  # a fault state the port reports whatever it holds (PORT_STATES)
    expected: tuple[int, int] | None = None  # (vendorId, deviceId) the port's validation expects
    communication: Mapping[str, Any] | None = None  # its status's transmissionRate, masterCycleTime, ...
    events: tuple[Mapping[str, Any], ...] = ()  # the port's and its device's event log entries


@dataclass(frozen=True)
class MasterSpec:
    transport: str
    address: str
    identity: Mapping[str, Any]  # vendorId, deviceId, name, fwVersion, vendor, productName, productCode
    ports: tuple[PortSpec, ...]
    present: bool
    supported: bool
    fault: str
    delay: float
    manager_driver: str
    description: str
    access: AccessSpec | None = None  # user management of the master's REST face
    events: tuple[Mapping[str, Any], ...] = ()  # the master's own event log entries
    # The gateway's event log answer as it is (any JSON: real masters' variants,
    # bad input), in a 1-tuple; None: made of the events above.
    event_log: tuple[Any] | None = None


ACCESS_SCHEMES = ("basic", "bearer")
ACCESS_WRITES = ("allowed", "forbidden", "locked")


@dataclass(frozen=True)
class AccessSpec:
    """User management of an emulated master's REST face: with a password,
    every request needs it (Basic with login and password, or Bearer with
    the password as the token); ``writes``: "allowed", "forbidden" (403
    [150]) or "locked" by another client (400 [104])."""

    login: str = ""
    password: str = dataclasses.field(default="", repr=False)
    scheme: str = "basic"
    writes: str = "allowed"


@dataclass(frozen=True)
class RestSpec:
    """Masters reached over the REST API: hosts asked by discover() without
    address, and timeouts in seconds (None: environment variable or default)."""

    hosts: tuple[str, ...] = ()
    timeouts: Mapping[str, float] = dataclasses.field(default_factory=dict)  # keys of REST_TIMEOUTS
    pins: Mapping[str, tuple[str, ...]] = dataclasses.field(default_factory=dict)  # HOST[:PORT] -> SHA-256s


@dataclass(frozen=True)
class Installation:
    source: str
    description: str
    transports: Mapping[str, TransportSpec]
    masters: tuple[MasterSpec, ...]
    rest: RestSpec = RestSpec()

    def masters_of(self, transport: str) -> tuple[MasterSpec, ...]:
        return tuple(m for m in self.masters if m.transport == transport)


# --------------------------------------------------------------------------
# Loading


class _Obj(dict):
    """A JSON object that remembers keys which appeared more than once."""

    duplicates: tuple[str, ...] = ()


def _object_pairs(pairs: list[tuple[str, Any]]) -> _Obj:
    obj = _Obj()
    dups = []
    for key, value in pairs:
        if key in obj and key not in dups:
            dups.append(key)
        obj[key] = value
    obj.duplicates = tuple(dups)
    return obj


def load_file(path: str | os.PathLike[str]) -> Installation:
    source = os.fspath(path)
    try:
        with open(source, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            data = f.read(MAX_FILE_SIZE + 1) if size <= MAX_FILE_SIZE else b""
    except OSError as exc:
        raise InstallationError(source, "", f"cannot read the file: {exc.strerror or exc}") from None
    if size > MAX_FILE_SIZE or len(data) > MAX_FILE_SIZE:
        raise InstallationError(source, "", f"larger than {MAX_FILE_SIZE >> 20} MiB, not an installation file")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise InstallationError(source, "", f"not UTF-8 text: {exc.reason} at byte {exc.start}") from None
    return load_text(text, source)


def _place(text: str, offset: int) -> str:
    line = text.count("\n", 0, offset) + 1
    return f"line {line}, column {offset - (text.rfind(chr(10), 0, offset) + 1) + 1}"


def _too_deep(text: str) -> int | None:
    """Offset of the first bracket nested deeper than MAX_DEPTH, if any."""
    depth = 0
    in_string = escaped = False
    for i, ch in enumerate(text):
        if in_string:
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                in_string = False
        elif ch == '"':
            in_string = True
        elif ch in "[{":
            depth += 1
            if depth > MAX_DEPTH:
                return i
        elif ch in "]}":
            depth -= 1
    return None


def _deeper_than(doc: object, limit: int) -> bool:
    """Whether arrays and objects in doc nest more than limit levels."""
    stack: list[tuple[dict | list, int]] = [(doc, 1)] if isinstance(doc, (dict, list)) else []
    while stack:
        value, depth = stack.pop()
        if depth > limit:
            return True
        children = value.values() if isinstance(value, dict) else value
        stack.extend((child, depth + 1) for child in children if isinstance(child, (dict, list)))
    return False


def _nested_too_deeply(text: str, source: str) -> InstallationError:
    deep = _too_deep(text)
    where = _place(text, deep) if deep is not None else ""
    limit = f"more than {MAX_DEPTH} levels" if deep is not None else "deeper than the interpreter's stack allows here"
    return InstallationError(source, where, f"arrays and objects nested too deeply ({limit})")


def load_text(text: str, source: str) -> Installation:
    try:
        doc = json.loads(text, object_pairs_hook=_object_pairs)
    except json.JSONDecodeError as exc:
        where = f"line {exc.lineno}, column {exc.colno}"
        raise InstallationError(source, where, exc.msg) from None
    except RecursionError:  # deeper than the interpreter allows where it was called
        raise _nested_too_deeply(text, source) from None
    except ValueError:  # an integer beyond the interpreter's digit limit
        limit = sys.get_int_max_str_digits()
        m = re.search(rf"\d{{{limit + 1},}}", text) if limit else None
        where = _place(text, m.start()) if m else ""
        digits = f" of {len(m[0])} digits" if m else ""
        raise InstallationError(source, where, f"integer{digits} too long (at most {limit} digits)") from None
    if _deeper_than(doc, MAX_DEPTH):
        raise _nested_too_deeply(text, source)
    return validate(doc, source)


def load_demo() -> Installation:
    text = resources.files(__package__).joinpath("demo_installation.json").read_text("utf-8")
    return load_text(text, DEMO_SOURCE)


def load_default(environ: Mapping[str, str] = os.environ) -> Installation:
    """The installation used when none was chosen: the file named by
    VELMORA_BASE_INSTALLATION, else the demo plant."""
    path = environ.get(ENV_VAR, "")
    return load_file(path) if path else load_demo()


def demo_document() -> dict:
    """The demo installation as a plain dict (a fresh copy every call)."""
    text = resources.files(__package__).joinpath("demo_installation.json").read_text("utf-8")
    return json.loads(text)


def load(source: Any) -> Installation:
    """Load from an Installation, a mapping, or a path (str / PathLike)."""
    if isinstance(source, Installation):
        return source
    if isinstance(source, Mapping):
        return validate(source, "<installation dict>")
    if isinstance(source, (str, os.PathLike)):
        return load_file(source)
    raise TypeError(f"an installation is a dict, a path or an Installation, not {type(source).__name__}")


# --------------------------------------------------------------------------
# Validation


def _join(where: str, key: str) -> str:
    return f"{where}.{key}" if where else key


def _kind(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, int):
        return "an integer"
    if isinstance(value, float):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, Mapping):
        return "an object"
    if isinstance(value, (list, tuple)):
        return "an array"
    return type(value).__name__


def _short(value: Any) -> str:
    text = repr(value) if isinstance(value, str) else json.dumps(value, default=str)
    return text if len(text) <= 40 else text[:37] + "..."


class _Validator:
    def __init__(self, source: str):
        self.source = source

    def fail(self, where: str, problem: str) -> InstallationError:
        return InstallationError(self.source, where or "top level", problem)

    # -- primitives --------------------------------------------------------

    def wrong(self, where: str, expected: str, value: Any) -> InstallationError:
        got = _kind(value)
        if not isinstance(value, (Mapping, list, tuple)) and value is not None:
            got += f" {_short(value)}"
        return self.fail(where, f"expected {expected}, got {got}")

    def obj(self, value: Any, where: str, required: tuple[str, ...], optional: tuple[str, ...]) -> Mapping:
        if not isinstance(value, Mapping):
            raise self.wrong(where, "an object", value)
        dups = getattr(value, "duplicates", ())
        if dups:
            raise self.fail(where, f"duplicate key {dups[0]!r}")
        allowed = required + optional
        for key in value:
            if not isinstance(key, str) or key not in allowed:
                hint = difflib.get_close_matches(str(key), allowed, n=1)
                tip = f"did you mean {hint[0]!r}? " if hint else ""
                raise self.fail(where, f"unknown key {key!r} ({tip}allowed: {', '.join(allowed)})")
        for key in required:
            if key not in value:
                raise self.fail(where, f"missing required key {key!r}")
        return value

    def boolean(self, obj: Mapping, key: str, where: str, default: bool) -> bool:
        value = obj.get(key, default)
        if not isinstance(value, bool):
            raise self.wrong(_join(where, key), "true or false", value)
        return value

    def text(self, obj: Mapping, key: str, where: str, default: str = "", nonempty: bool = False) -> str:
        value = obj.get(key, default)
        if not isinstance(value, str):
            raise self.wrong(_join(where, key), "a string", value)
        if nonempty and not value.strip():
            raise self.fail(_join(where, key), "must not be empty")
        return value

    def text_or_null(self, obj: Mapping, key: str, where: str) -> str | None:
        value = obj.get(key)
        if value is not None and not isinstance(value, str):
            raise self.wrong(_join(where, key), "a string or null", value)
        return value

    def ident(self, obj: Mapping, key: str, where: str, required: bool) -> int:
        if key not in obj and not required:
            return 0
        value = obj[key]
        if isinstance(value, bool) or not isinstance(value, int):
            raise self.wrong(_join(where, key), "an integer", value)
        if not 0 <= value <= MAX_ID:
            raise self.fail(_join(where, key), f"{value} is out of range (0..{MAX_ID:#x})")
        return value

    def choice(self, obj: Mapping, key: str, where: str, choices: tuple[str, ...], what: str, default: str | None = None) -> str:
        value = obj.get(key, default)
        expected = ", ".join(choices[:-1]) + " or " + choices[-1]
        if not isinstance(value, str):
            raise self.wrong(_join(where, key), f"a string ({expected})", value)
        if value not in choices:
            raise self.fail(_join(where, key), f"unknown {what} {value!r} (expected {expected})")
        return value

    # -- document ----------------------------------------------------------

    def document(self, doc: Any) -> Installation:
        top = self.obj(doc, "", ("masters",), ("description", "transports", "rest"))
        description = self.text(top, "description", "")
        transports = self.transports(top.get("transports", {}))
        rest = self.rest(top.get("rest", {}))
        masters_doc = top["masters"]
        if not isinstance(masters_doc, list):
            raise self.wrong("masters", "an array", masters_doc)
        masters = tuple(self.master(m, f"masters[{i}]") for i, m in enumerate(masters_doc))
        self.cross_checks(masters, transports)
        return Installation(self.source, description, transports, masters, rest)

    def rest(self, value: Any) -> RestSpec:
        doc = self.obj(value, "rest", (), ("hosts", "pins") + REST_TIMEOUTS)
        hosts = doc.get("hosts", [])
        if not isinstance(hosts, list):
            raise self.wrong("rest.hosts", "an array", hosts)
        for i, host in enumerate(hosts):
            where = f"rest.hosts[{i}]"
            if not isinstance(host, str):
                raise self.wrong(where, "a string", host)
            try:
                is_range = host_range(host) is not None
                gateway = host if is_range else split_master(host)[0]
            except ValueError as exc:
                raise self.fail(where, f"{_short(host)}: {exc}") from None
            if not is_range and parse_target(gateway, plain=True) is None:
                raise self.fail(where, f"{_short(host)} is not a host, host:port or http(s) URL")
            if host in hosts[:i]:
                raise self.fail(where, f"duplicate host {host!r}")
        timeouts = {}
        for key in REST_TIMEOUTS:
            if key in doc:
                seconds = doc[key]
                if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
                    raise self.wrong(f"rest.{key}", "a number of seconds", seconds)
                if not 0 < seconds <= MAX_TIMEOUT:
                    raise self.fail(f"rest.{key}", f"{seconds} is out of range (more than 0, at most {MAX_TIMEOUT:g} seconds)")
                timeouts[key] = float(seconds)
        pins = doc.get("pins", {})
        if not isinstance(pins, Mapping):
            raise self.wrong("rest.pins", "an object (HOST[:PORT]: SHA-256 fingerprint or array of them)", pins)
        for host, values in pins.items():
            values = [values] if isinstance(values, str) else values
            if not isinstance(values, list) or not values or not all(isinstance(v, str) for v in values):
                raise self.wrong(f"rest.pins.{host}", "a SHA-256 fingerprint or an array of them", values)
            for v in values:
                digits = v.strip().replace(":", "")
                if len(digits) != 64 or any(c not in "0123456789abcdefABCDEF" for c in digits):
                    raise self.fail(f"rest.pins.{host}", f"{_short(v)} is not a SHA-256 fingerprint "
                                                         "(64 hex digits, colons optional)")
        pins = {h: tuple([v] if isinstance(v, str) else v) for h, v in pins.items()}
        return RestSpec(tuple(hosts), timeouts, pins)

    def transports(self, value: Any) -> dict[str, TransportSpec]:
        doc = self.obj(value, "transports", (), TRANSPORTS)
        result = {}
        for name in TRANSPORTS:
            where = f"transports.{name}"
            if name not in doc:
                result[name] = TransportSpec()
                continue
            t = self.obj(doc[name], where, (), ("available", "reason", "activeBaseDriver"))
            available = self.boolean(t, "available", where, True)
            reason = self.text(t, "reason", where, "" if available else DEFAULT_UNAVAILABLE_REASON[name])
            active = self.boolean(t, "activeBaseDriver", where, False)
            if active and not available:
                raise self.fail(f"{where}.activeBaseDriver", "an unavailable transport cannot have an active base driver")
            result[name] = TransportSpec(available, reason, active)
        return result

    def master(self, value: Any, where: str) -> MasterSpec:
        m = self.obj(
            value,
            where,
            ("transport", "address", "ports"),
            ("identity", "present", "supported", "fault", "delay", "managerDriver", "description", "access",
             "events", "eventLog"),
        )
        transport = self.choice(m, "transport", where, TRANSPORTS, "transport")
        address = self.text(m, "address", where, nonempty=True)
        identity = self.identity(m.get("identity", {}), f"{where}.identity")
        ports_doc = m["ports"]
        if not isinstance(ports_doc, list):
            raise self.wrong(f"{where}.ports", "an array", ports_doc)
        number = 1
        if transport == "IP" and "#" in address:
            try:
                number = split_master(address)[1] or 1
            except ValueError:
                pass  # named by the cross checks
        ports = tuple(self.port(p, f"{where}.ports[{i}]", i + 1, number) for i, p in enumerate(ports_doc))
        delay = m.get("delay", 0)
        if isinstance(delay, bool) or not isinstance(delay, (int, float)):
            raise self.wrong(f"{where}.delay", "a number of seconds", delay)
        if not 0 <= delay <= MAX_DELAY:
            raise self.fail(f"{where}.delay", f"{delay} is out of range (0..{MAX_DELAY:g} seconds)")
        return MasterSpec(
            transport=transport,
            address=address,
            identity=identity,
            ports=ports,
            present=self.boolean(m, "present", where, True),
            supported=self.boolean(m, "supported", where, True),
            fault=self.choice(m, "fault", where, FAULTS, "fault", "none"),
            delay=float(delay),
            manager_driver=self.choice(m, "managerDriver", where, MANAGER_DRIVER, "managerDriver value", "none"),
            description=self.text(m, "description", where),
            access=self.access(m["access"], f"{where}.access") if "access" in m else None,
            events=self.events(m, where, {"masterNumber": number}),
            event_log=(m["eventLog"],) if "eventLog" in m else None,
        )

    def events(self, obj: Mapping, where: str, origin: dict[str, Any]) -> tuple[dict[str, Any], ...]:
        """The event log entries of a master, port or device, in the REST
        API's form, with the origin of where they are given."""
        doc = obj.get("events", [])
        if not isinstance(doc, list):
            raise self.wrong(_join(where, "events"), "an array", doc)
        entries = []
        for i, value in enumerate(doc):
            ewhere = f"{_join(where, 'events')}[{i}]"
            e = self.obj(value, ewhere, ("severity", "text"), ("time", "code", "mode"))
            message: dict[str, Any] = {"text": self.text(e, "text", ewhere, nonempty=True)}
            if len(message["text"]) > MAX_TEXT:
                raise self.fail(f"{ewhere}.text", f"longer than {MAX_TEXT} characters")
            if "code" in e:
                code = e["code"]
                if isinstance(code, bool) or not isinstance(code, int) or not 0 <= code <= 0xFFFF:
                    raise self.wrong(f"{ewhere}.code", "an integer in 0..65535", code)
                message["code"] = code
            if "mode" in e:
                message["mode"] = self.choice(e, "mode", ewhere, MODES, "mode")
            time = self.text(e, "time", ewhere, "2026-12-08T08:00:00Z", nonempty=True)
            if len(time) > MAX_TIME:
                raise self.fail(f"{ewhere}.time", f"longer than {MAX_TIME} characters")
            entries.append({"time": time, "severity": self.choice(e, "severity", ewhere, SEVERITIES, "severity"),
                            "origin": dict(origin), "message": message})
        return tuple(entries)

    def communication(self, value: Any, where: str) -> dict[str, Any]:
        c = self.obj(value, where, (), ("transmissionRate", "cycleTime", "revision", "pdInValid", "pdOutValid"))
        result: dict[str, Any] = {}
        if "transmissionRate" in c:
            result["transmissionRate"] = self.choice(c, "transmissionRate", where, TRANSMISSION_RATES,
                                                     "transmission rate")
        if "cycleTime" in c:
            cycle = c["cycleTime"]
            if isinstance(cycle, bool) or not isinstance(cycle, (int, float)) or not 0 < cycle <= 1000:
                raise self.wrong(f"{where}.cycleTime", "milliseconds (more than 0, at most 1000)", cycle)
            result["cycleTime"] = cycle
        if "revision" in c:
            result["revision"] = self.choice(c, "revision", where, ("1.0", "1.1"), "revision")
        for key in ("pdInValid", "pdOutValid"):
            if key in c:
                result[key] = self.boolean(c, key, where, True)
        return result

    def access(self, value: Any, where: str) -> AccessSpec:
        a = self.obj(value, where, (), ("login", "password", "scheme", "writes"))
        if not isinstance(a.get("password", ""), str):
            raise self.fail(f"{where}.password", "expected a string")  # the value is not shown
        return AccessSpec(self.text(a, "login", where), a.get("password", ""),
                          self.choice(a, "scheme", where, ACCESS_SCHEMES, "scheme", "basic"),
                          self.choice(a, "writes", where, ACCESS_WRITES, "writes value", "allowed"))

    def identity(self, value: Any, where: str) -> dict[str, Any]:
        doc = self.obj(value, where, (), MASTER_IDENTITY_INTS + MASTER_IDENTITY_TEXTS)
        result: dict[str, Any] = {}
        for key in MASTER_IDENTITY_INTS:
            result[key] = self.ident(doc, key, where, required=False)
        for key in MASTER_IDENTITY_TEXTS:
            result[key] = self.text_or_null(doc, key, where)
        return result

    def port(self, value: Any, where: str, port_id: int, master: int = 1) -> PortSpec:
        p = self.obj(value, where, ("mode",), ("device", "status", "expectedDevice", "description",
                                               "communication", "events"))
        mode = self.choice(p, "mode", where, PORT_MODES, "mode")
        self.text(p, "description", where)
        device = p.get("device")
        origin: dict[str, Any] = {"masterNumber": master, "portNumber": port_id}
        events = self.events(p, where, origin)
        if device is not None:
            events += self.events(device, f"{where}.device",
                                  {**origin, "deviceAlias": default_alias(master, port_id)})
            device = self.device(device, f"{where}.device")
        status = self.choice(p, "status", where, PORT_STATES, "port status") if "status" in p else None
        expected = None
        if "expectedDevice" in p:
            ewhere = f"{where}.expectedDevice"
            if mode != "IOLINK":
                raise self.fail(ewhere, "only a port in IOLINK mode expects a device")
            e = self.obj(p["expectedDevice"], ewhere, ("vendorId", "deviceId"), ())
            expected = self.ident(e, "vendorId", ewhere, True), self.ident(e, "deviceId", ewhere, True)
            if not (1 <= expected[0] <= 0xFFFF and 1 <= expected[1] <= 0xFFFFFF):
                raise self.fail(ewhere, f"ids {expected[0]}/{expected[1]} outside 1..65535 / 1..16777215")
        communication = self.communication(p["communication"], f"{where}.communication") \
            if "communication" in p else None
        return PortSpec(port_id, mode, device, status, expected, communication, events)

    def device(self, value: Any, where: str) -> DeviceSpec:
        d = self.obj(value, where, ("vendorId", "deviceId"), ("identification", "description", "events"))
        self.text(d, "description", where)
        ident = d.get("identification")
        identification = None
        if ident is not None:
            iwhere = f"{where}.identification"
            doc = self.obj(ident, iwhere, (), IDENT_NAMES)
            identification = {name: self.text_or_null(doc, name, iwhere) for name in IDENT_NAMES}
        return DeviceSpec(
            vendor_id=self.ident(d, "vendorId", where, required=True),
            device_id=self.ident(d, "deviceId", where, required=True),
            identification=identification,
        )

    def cross_checks(self, masters: tuple[MasterSpec, ...], transports: Mapping[str, TransportSpec]) -> None:
        seen: dict[tuple[str, object], int] = {}
        for i, m in enumerate(masters):
            where = f"masters[{i}]"
            key = (m.transport, address_key(m.address))
            if key in seen:
                raise self.fail(
                    f"{where}.address",
                    f"duplicate address {m.address!r} on transport {m.transport} (already used by masters[{seen[key]}])",
                )
            seen[key] = i
            if m.transport == "IP" and "#" in m.address:
                self.gateway_master(m, where, masters)
            if m.manager_driver != "none":
                if not m.supported:
                    raise self.fail(
                        f"{where}.managerDriver",
                        "the driver manager cannot hold a driver for a master with \"supported\": false",
                    )
                if not transports[m.transport].available:
                    raise self.fail(
                        f"{where}.managerDriver",
                        f"the driver manager cannot hold a driver on the unavailable transport {m.transport}",
                    )


    def gateway_master(self, m: MasterSpec, where: str, masters: tuple[MasterSpec, ...]) -> None:
        """An IP master ``ADDRESS#N`` is master N (2 or more) of the gateway
        whose master 1 is the IP master ``ADDRESS``."""
        try:
            gateway, number = split_master(m.address)
        except ValueError as exc:
            raise self.fail(f"{where}.address", f"{_short(m.address)}: {exc}") from None
        if number == 1:
            raise self.fail(f"{where}.address", f"{_short(m.address)}: master 1 of a gateway has its plain address "
                                                f"{gateway!r}")
        if not any(o.transport == "IP" and o.address == gateway for o in masters):
            raise self.fail(f"{where}.address", f"{_short(m.address)}: no IP master {gateway!r} (master 1 of its "
                                                "gateway)")


def validate(doc: Any, source: str) -> Installation:
    return _Validator(source).document(doc)
