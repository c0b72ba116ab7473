"""How well a master's ports communicate, and what its event log says is
wrong: the values behind ``MasterBridge.health``.

The REST API keeps no list of what is pending.  A master's event log
(``GET /gateway/events``) holds entries with ``time``, ``severity`` (the
eight syslog levels), ``origin`` (``masterNumber``, ``portNumber``,
``deviceAlias``) and ``message`` (``code``, ``mode``, ``text``);
``derive()`` turns the entries read into the diagnoses that are pending:

* an APPEARS stays pending until a DISAPPEARS of the same origin (master
  and port) and code follows; one with the very time stamp of that APPEARS
  clears it in either order (masters log both in the same tick);
* a SINGLESHOT, or an entry without a mode, of severity WARNING or worse
  is a "recent" diagnosis (``pending`` False): it happened within the
  entries read.

Real masters differ from the description's examples, and ``derive()`` takes
them as they come: ``origin`` as a string (the gateway's own entry),
``master``/``port`` spelled instead of ``masterNumber``/``portNumber``, a
clock at 2000-01-01, a queue that dropped old entries (a DISAPPEARS whose
APPEARS is gone clears nothing).  Everything in an entry is untrusted: what
cannot be used is skipped, each kind of problem named in one warning at
most, and nothing raises.  The master's text is passed on as it is (at
most ``MAX_TEXT`` characters), for the application to escape.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from datetime import datetime
from typing import Any

SEVERITIES = ("EMERGENCY", "ALERT", "CRITICAL", "ERROR", "WARNING", "NOTICE", "INFO", "DEBUG")
WARNING_OR_WORSE = SEVERITIES[:5]
MODES = ("SINGLESHOT", "APPEARS", "DISAPPEARS")
TRANSMISSION_RATES = ("COM1", "COM2", "COM3")
MAX_ENTRIES = 200  # the youngest entries read (the request's "bottom")
MAX_TEXT = 255  # characters of a message's text (the description's maxLength)
MAX_TIME = 32  # characters of a time stamp
MAX_NUMBER = 0x7FFFFFFF


@dataclass(frozen=True)
class Diagnosis:
    """One diagnosis from the event log.  ``port`` None: the master's own
    (or the gateway's); ``since``: the time stamp as the master wrote it
    (None when it gave none that reads as a date); ``pending``: an APPEARS
    not cleared, False for a recent SINGLESHOT."""

    severity: str
    code: int | None
    text: str
    since: str | None
    pending: bool
    port: int | None = None
    deviceAlias: str | None = None


@dataclass(frozen=True)
class Communication:
    """A port's communication as its status tells it; None where the master
    does not say.  ``cycleTime`` as the master gave it ("2.3 ms")."""

    status: str | None = None
    transmissionRate: str | None = None
    cycleTime: str | None = None
    revision: str | None = None
    pdInValid: bool | None = None
    pdOutValid: bool | None = None


@dataclass(frozen=True)
class PortFault:
    """A fault that a port's state tells of, as the library warns of it:
    ``status`` the state as the master gave it (None where it gave none),
    ``text`` the warning's words ("port power switched off (port power
    off)")."""

    port: int
    status: str | None
    text: str


@dataclass(frozen=True)
class Health:
    """What a master session read: the pending diagnoses of the master, its
    ports and devices (``diagnoses``, log order), each read port's
    communication (``ports``, by port number) and the faults its ports'
    states told of when the devices were listed (``faults``, by port)."""

    diagnoses: tuple[Diagnosis, ...] = ()
    ports: Mapping[int, Communication] = field(default_factory=dict)
    faults: tuple[PortFault, ...] = ()


NO_HEALTH = Health()


def _number(value: Any) -> int | None:
    if isinstance(value, float) and value.is_integer():
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= MAX_NUMBER:
        return None
    return value


def _is_date(text: str) -> bool:
    try:
        datetime.fromisoformat(text.replace("Z", "+00:00").replace("z", "+00:00"))
    except ValueError:
        return False
    return True


class _Problems:
    """Each kind of problem counted, then told in one warning."""

    def __init__(self) -> None:
        self.counts: dict[str, int] = {}

    def __call__(self, problem: str) -> None:
        self.counts[problem] = self.counts.get(problem, 0) + 1

    def tell(self, warn: Callable[[str], None], where: str) -> None:
        for problem, n in self.counts.items():
            warn(f"{where}: event log: {problem}" + (f" ({n} entries)" if n > 1 else ""))


def derive(entries: Any, master: int = 1, warn: Callable[[str], None] | None = None,
           where: str = "event log") -> tuple[Diagnosis, ...]:
    """The diagnoses pending for master number ``master`` of a gateway, from
    the entries of its event log in the log's order (oldest first).  An
    entry without a master number is the gateway's, and counts as its first
    master's.  ``warn`` gets one text per kind of problem,
    prefixed with ``where``."""
    problems = _Problems()
    if not isinstance(entries, list):
        problems(f"not a list but {type(entries).__name__}, nothing read")
        entries = []
    elif len(entries) > MAX_ENTRIES:
        problems(f"{len(entries)} entries, the youngest {MAX_ENTRIES} read")
        entries = entries[-MAX_ENTRIES:]
    pending: dict[tuple[int | None, int | None], Diagnosis] = {}
    cleared: dict[tuple[int | None, int | None], str | None] = {}  # the time of a DISAPPEARS with nothing to clear
    found: list[Diagnosis] = []
    for entry in entries:
        d = _entry(entry, master, problems)
        if d is None:
            continue
        diagnosis, mode = d
        key = (diagnosis.port, diagnosis.code)
        if mode == "APPEARS":
            if key in pending:
                continue  # still the first one
            if diagnosis.since is not None and cleared.get(key) == diagnosis.since:
                continue  # appeared and disappeared in the same tick
            pending[key] = diagnosis
            found.append(diagnosis)
        elif mode == "DISAPPEARS":
            gone = pending.pop(key, None)
            if gone is not None:
                found.remove(gone)
            else:
                cleared[key] = diagnosis.since
        elif diagnosis.severity in WARNING_OR_WORSE:
            found.append(diagnosis)
    if warn is not None:
        try:
            problems.tell(warn, where)
        except Exception:
            pass
    return tuple(found)


def _entry(entry: Any, master: int, problem: Callable[[str], None]) -> tuple[Diagnosis, str | None] | None:
    """One entry as a diagnosis of that master and its mode, None when it
    is another master's or cannot be used."""
    if not isinstance(entry, dict):
        problem("an entry that is not an object skipped")
        return None
    origin = entry.get("origin")
    number = port = alias = None
    if isinstance(origin, dict):
        raw_number = origin.get("masterNumber", origin.get("master"))
        raw_port = origin.get("portNumber", origin.get("port"))
        number, port = _number(raw_number), _number(raw_port)
        if (raw_number is not None and number is None) or (raw_port is not None and port is None):
            problem("an entry with a master or port number out of range skipped")
            return None
        alias = origin.get("deviceAlias")
        alias = alias[:MAX_TEXT] if isinstance(alias, str) else None
    if (number or 1) != master:  # an entry without a number is the gateway's: its first master's
        return None
    message = entry.get("message")
    if not isinstance(message, dict):
        problem("an entry without a message skipped")
        return None
    severity = entry.get("severity")
    severity = severity.upper() if isinstance(severity, str) else None
    if severity not in SEVERITIES:
        problem("an entry of an unknown severity skipped")
        return None
    code = message.get("code")
    if code is not None and (isinstance(code, bool) or not isinstance(code, int) or not 0 <= code <= 0xFFFF):
        problem("an entry with a code outside 0..65535 skipped")
        return None
    mode = message.get("mode")
    if mode is not None and mode not in MODES:
        problem("an entry of an unknown mode skipped")
        return None
    text = message.get("text")
    if not isinstance(text, str):
        text = ""
    elif len(text) > MAX_TEXT:
        problem(f"a text longer than {MAX_TEXT} characters shortened")
        text = text[:MAX_TEXT]
    time = entry.get("time")
    if not (isinstance(time, str) and len(time) <= MAX_TIME and _is_date(time)):
        if time is not None:
            problem("a time that is not a date left out")
        time = None
    return Diagnosis(severity, code, text, time, mode == "APPEARS", port, alias), mode


def communication(status: Any) -> Communication:
    """A port's communication from its status answer (1.0 spells the
    revision ``ioLinkRevision``, the 1.1 draft ``iolinkRevision``); a value
    of the wrong kind is left out."""
    if not isinstance(status, dict):
        return Communication()

    def text(*keys: str) -> str | None:
        for key in keys:
            v = status.get(key)
            if isinstance(v, str) and 0 < len(v) <= 64:
                return v
        return None

    cycle = status.get("masterCycleTime")
    cycle_text = None
    if isinstance(cycle, dict):
        value, unit = cycle.get("value"), cycle.get("unit")
        if isinstance(value, (int, float)) and not isinstance(value, bool) and 0 <= value < 1e9 \
                and isinstance(unit, str) and 0 < len(unit) <= 8:
            cycle_text = f"{value:g} {unit}"
    quality = status.get("portQualityInfo")
    quality = quality if isinstance(quality, dict) else {}

    def flag(key: str) -> bool | None:
        v = quality.get(key)
        return v if isinstance(v, bool) else None

    rate = text("transmissionRate")
    return Communication(text("statusInfo"), rate if rate in TRANSMISSION_RATES else None, cycle_text,
                         text("iolinkRevision", "ioLinkRevision"), flag("pdInValid"), flag("pdOutValid"))
