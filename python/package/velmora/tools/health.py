"""Health beside presence: the pending diagnoses of a master, its ports and
devices, each port's communication and the faults its ports' states tell
of, as the driver library tells them
(the stand-in's read-only ``MasterBridge.health``; a library without it
tells nothing, and the report is that of the checker alone).

`read(bridge)` takes the values once into plain data, as the inventory
holds them: every value comes from a master and is checked for its kind
here (what does not fit is left out); texts stay as the master wrote them.
`diagnosis_line`, `process_data_line` and `communication_line` make the
report's lines under a master or device for a report_text.Target, each
value made safe for it; `summary` counts what was found.

Nothing here raises into a check: a health that cannot be read is none.
"""

from __future__ import annotations

from itertools import islice
from typing import Any, Optional

from velmora.tools.report_text import Target

SEVERITIES = ("EMERGENCY", "ALERT", "CRITICAL", "ERROR", "WARNING", "NOTICE", "INFO", "DEBUG")
# Shown in the report: WARNING or worse.
SHOWN = SEVERITIES[:5]
MAX_DIAGNOSES = 200  # of one master: an event log read is at most that long
MAX_PORTS = 64
MAX_TEXT = 255
INDENT = "    "


def _text(value: Any, limit: int = MAX_TEXT) -> Optional[str]:
    return str.__str__(value)[:limit] if isinstance(value, str) else None


def _int(value: Any, high: int) -> Optional[int]:
    if type(value) is bool or not isinstance(value, int):
        return None
    value = int.__int__(value)
    return value if 0 <= value <= high else None


def _flag(value: Any) -> Optional[bool]:
    return bool(value) if isinstance(value, bool) else None


def _diagnosis(d: Any) -> Optional[dict]:
    severity = _text(getattr(d, "severity", None), 16)
    if severity not in SEVERITIES:
        return None
    return {
        "severity": severity,
        "code": _int(getattr(d, "code", None), 0xFFFF),
        "text": _text(getattr(d, "text", None)) or "",
        "since": _text(getattr(d, "since", None), 32),
        "pending": bool(getattr(d, "pending", False) is True),
        "port": _int(getattr(d, "port", None), 0x7FFFFFFF),
    }


def _communication(c: Any) -> dict:
    return {
        "status": _text(getattr(c, "status", None), 64),
        "transmissionRate": _text(getattr(c, "transmissionRate", None), 8),
        "cycleTime": _text(getattr(c, "cycleTime", None), 32),
        "revision": _text(getattr(c, "revision", None), 16),
        "pdInValid": _flag(getattr(c, "pdInValid", None)),
        "pdOutValid": _flag(getattr(c, "pdOutValid", None)),
    }


def _faults(health: Any) -> dict:
    """{port: {"status": the port's state, "text": the library's words}},
    the first fault told of a port."""
    faults: dict = {}
    for f in islice(getattr(health, "faults", None) or (), MAX_PORTS):
        port = _int(getattr(f, "port", None), MAX_PORTS)
        if port:
            faults.setdefault(port, {"status": _text(getattr(f, "status", None), 64),
                                     "text": _text(getattr(f, "text", None)) or ""})
    return faults


def faults(bridge: Any) -> Optional[dict]:
    """Only the port faults of read(), None when the library tells none."""
    try:
        health = getattr(bridge, "health", None)
        return None if health is None else _faults(health)
    except Exception:
        return None


def read(bridge: Any) -> Optional[dict]:
    """The health of a master bridge as plain data, None when the driver
    library tells none: {"diagnoses": [every diagnosis, port null for the
    master's own], "ports": {port: communication}, "faults": {port: fault}}."""
    try:
        health = getattr(bridge, "health", None)
        if health is None:
            return None
        diagnoses = []
        for d in islice(getattr(health, "diagnoses", ()), MAX_DIAGNOSES):
            value = _diagnosis(d)
            if value is not None:
                diagnoses.append(value)
        ports = {}
        for number, c in islice(dict(getattr(health, "ports", {})).items(), MAX_PORTS):
            port = _int(number, MAX_PORTS)
            if port is not None:
                ports[port] = _communication(c)
        return {"diagnoses": diagnoses, "ports": ports, "faults": _faults(health)}
    except Exception:
        return None


def shown(diagnosis: dict) -> bool:
    return diagnosis["severity"] in SHOWN


def has_device(health: dict, port: Any) -> bool:
    """Whether the port's state tells of a device the listing reports."""
    status = health["ports"].get(port, {}).get("status")
    return status in ("DEVICE_ONLINE", "INCORRECT_DEVICE")


def invalid_process_data(communication: dict) -> Optional[str]:
    """Which process data the master says are invalid ("input", "output",
    "input and output"), None when neither."""
    which = [name for name, key in (("input", "pdInValid"), ("output", "pdOutValid"))
             if communication.get(key) is False]
    return " and ".join(which) or None


def diagnosis_line(d: dict, target: Target, *, with_port: bool) -> str:
    """`    ERROR 0x1813 port 1: Overcurrent ..., since 2026-12-08T07:32:42Z`:
    severity (coloured), the code in hex, the port where the line is not
    under its device, the master's text, since when it is pending (a
    recent single shot: at)."""
    line = INDENT + target.severity(d["severity"], d["severity"])
    if d["code"] is not None:
        line += f" 0x{d['code']:04X}"
    if with_port and d["port"] is not None:
        line += f" port {d['port']}"
    line += ": " + target.value(d["text"])
    if d["since"] is not None:
        line += (", since " if d["pending"] else ", at ") + target.value(d["since"])
    return line


def process_data_line(which: str, target: Target) -> str:
    return INDENT + target.severity("process data invalid", "WARNING") + f" ({which})"


def communication_line(c: dict, target: Target) -> Optional[str]:
    """The device's communication for --details: rate, cycle time, revision."""
    parts = []
    if c.get("transmissionRate"):
        parts.append(target.value(c["transmissionRate"]))
    if c.get("cycleTime"):
        parts.append("cycle time " + target.value(c["cycleTime"]))
    if c.get("revision"):
        parts.append("IO-Link revision " + target.value(c["revision"]))
    return INDENT + "communication: " + ", ".join(parts) if parts else None


def _plural(n: int, one: str, many: str) -> str:
    return f"{n} {one if n == 1 else many}"


def summary(healths: list[Optional[dict]]) -> Optional[str]:
    """"3 pending diagnoses on 2 masters; 1 port with invalid process data",
    None when nothing was found."""
    diagnoses = [sum(1 for d in h["diagnoses"] if shown(d)) for h in healths if h]
    count, masters = sum(diagnoses), sum(1 for n in diagnoses if n)
    invalid = sum(1 for h in healths if h for c in h["ports"].values() if invalid_process_data(c))
    parts = []
    if count:
        parts.append(_plural(count, "pending diagnosis", "pending diagnoses") + " on " +
                     _plural(masters, "master", "masters"))
    if invalid:
        parts.append(_plural(invalid, "port", "ports") + " with invalid process data")
    return "; ".join(parts) or None
