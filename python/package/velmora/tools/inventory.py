"""The plant as data: what one check found, as a JSON document, and how a
plant differs from an inventory saved before.

Every front end runs its check through `Capture`, the one path of a
report: `tessadyn-check` (report, --json and --compare) and the window
(report and "Save inventory...").  It holds no terminal and no Kivy code.

How one check is recorded: check() looks `_print_master` and `_print_dev` up
in its module's namespace at every call, so `Capture` binds its own two
functions there for the run and puts the module's back afterwards.  Each
reads the values of a master bridge or a device once and records them; for
each target of the front end (report_text: the terminal, a GUI) it hands
the module's own function an object holding exactly those values, each
made safe for that target (report_text.shown), and hands the texts the
module made to the output function.  So the report is made from the values
the document holds, even for a driver library whose values change between
reads, and no value can move a line break or a label.  Recording never
raises into the run; a master or device whose values cannot be read is
read by the module as it came (it then reports it, made safe all the same,
or fails, as without a capture) and the document says `"complete": false`.

The document (format 1; JSON Schema: inventory.schema.json beside this
module):

    {"format": 1, "checkerVersion": "1.9.2", "driverLibraryVersion": "0.9.0",
     "options": {"address": null, "select": null, "auto": false, "verbose": 2},
     "time": "2026-12-08T10:20:31Z", "complete": true,
     "masters": [{"address": ..., "name": ..., "vendor": ..., "productName": ...,
                  "productCode": ..., "vendorId": ..., "deviceId": ...,
                  "fwVersion": ..., "transport": "IP",
                  "devices": [{"port": 1, "vendorId": 1893, "deviceId": 68339,
                               "identification": {"vendorName": ..., ...} or null}]}],
     "masterCount": 4, "deviceCount": 8}

Values are kept as the master or device gave them: strings, numbers,
booleans and null as such, anything else as its text.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass
from functools import partial
from datetime import datetime, timezone
from importlib import resources
from typing import Any, Callable, Optional, Self

from velmora.tools import health as health_
from velmora.tools.frontend import SELECTED_TRANSPORT
from velmora.tools.report_text import DEVICE_LABEL, MASTER_LABEL, PLAIN, SUMMARY, Label, Target, safe, shown

FORMAT = 1
INVENTORY_SCHEMA = "inventory.schema.json"
DIFFERENCES_SCHEMA = "differences.schema.json"

# The document's names of a master bridge's values, in its order.
MASTER_NAMES = ("address", "name", "vendor", "productName", "productCode",
                "vendorId", "deviceId", "fwVersion")
# The device record's values the document holds (its "port" is portId).
DEVICE_NAMES = ("portId", "vendorId", "deviceId")
# The nine identification names of the driver library.
IDENT_NAMES = ("vendorName", "vendorText", "productName", "productId", "productText",
               "serialNumber", "hardwareRevision", "firmwareRevision",
               "applicationSpecificTag")


# ---------------------------------------------------------------- values


class InventoryError(ValueError):
    """A file that is not an inventory; the message says why."""


def raw(value: Any) -> Any:
    """A value as the document holds it: exact str, int, bool, finite float
    or None; anything else as its text."""
    if value is None or isinstance(value, bool):
        return None if value is None else bool(value)
    if isinstance(value, int):
        return int.__int__(value)
    if isinstance(value, str):
        return str.__str__(value)
    if isinstance(value, float) and math.isfinite(value):
        return float.__float__(value)
    try:
        return str(value)
    except Exception:
        return f"<{type(value).__name__}>"


class _Attributes:
    """A master bridge or device record as the module's report function
    reads it: the values read before, each shown for one target.  A value
    not read before is read from the record at the module's first read and
    kept in `values`; with `values` None (a record that could not be read)
    the module reads the record at every read, as without a capture."""

    __slots__ = ("_values", "_record", "_target", "handed")

    def __init__(self, values: Optional[dict], record: Any, target: Target):
        self._values = values
        self._record = record
        self._target = target
        self.handed: dict[str, Any] = {}  # what the module got, by name

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__"):
            raise AttributeError(name)
        values = self._values
        if values is None:
            value = getattr(self._record, name)
        elif name in values:
            value = values[name]
        else:
            value = values[name] = getattr(self._record, name)
        self.handed[name] = handed = shown(value, self._target)
        return handed


class _Identification:
    """An identification as the module's report function reads it: as
    _Attributes, by key."""

    __slots__ = ("_values", "_mapping", "_target")

    def __init__(self, values: Optional[dict], mapping: Any, target: Target):
        self._values = values
        self._mapping = mapping
        self._target = target

    def __bool__(self) -> bool:
        return True

    def __getitem__(self, key: Any) -> Any:
        values = self._values
        if values is None:
            value = self._mapping[key]
        elif key in values:
            value = values[key]
        else:
            value = values[key] = self._mapping[key]
        return shown(value, self._target)


def _read(record: Any, names: tuple[str, ...]) -> dict:
    return {name: getattr(record, name) for name in names}


def _identification(ident) -> Optional[dict]:
    """The identification's values, each read once: None for none, a dict
    of the keys it holds otherwise (a key it lacks is read by the module,
    which then raises the mapping's own error)."""
    if not ident:
        return None
    values = {}
    for name in IDENT_NAMES:
        try:
            values[name] = ident[name]
        except LookupError:
            pass
    return values


def _transport(master) -> Any:
    try:
        return raw(master._base.driverName())
    except Exception:
        return None


@dataclass
class _Master:
    values: dict
    transport: Any
    devices: list
    health: Optional[dict] = None  # health.read(): as last read, None when the library tells none
    bridge: Any = None  # the master bridge, whose port faults are known once its devices are listed

    def to_json(self) -> dict:
        document = {**self.values, "transport": self.transport, "devices": self.devices}
        if self.health is not None:
            document.update(_health_json(self.health))
        return document


def _health_json(health: dict) -> dict:
    """The master's own diagnoses, and per port its communication, its
    diagnoses and its fault (only where there is one)."""
    def listed(port: Any) -> list:
        return [{k: v for k, v in d.items() if k != "port"} for d in health["diagnoses"] if d["port"] == port]

    def fault(port: int) -> dict:
        return {"fault": health["faults"][port]} if port in health["faults"] else {}

    numbers = sorted(set(health["ports"]) | set(health["faults"])
                     | {d["port"] for d in health["diagnoses"] if d["port"] is not None})
    return {"diagnoses": listed(None),
            "ports": [{"port": n, **health["ports"].get(n, {}), "diagnoses": listed(n), **fault(n)}
                      for n in numbers]}


def _key(diagnosis: dict) -> tuple:
    return tuple(sorted(diagnosis.items()))


def _now() -> str:
    return datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


# ---------------------------------------------------------------- the capture


class Capture:
    """Records one check() of `checker` (the checker module) and makes its
    report for `targets` (report_text.Target, default the plain terminal):

        with Capture(checker, options, targets) as capture:
            checker.check(printFnc=capture.printer(write), gui=targets[0].gui, **options)
        document = capture.document(completed=True)

    write gets each report text once per target, as one argument each (no
    argument for none).  `options` are check()'s arguments as the document
    lists them (address, select, auto, verbose).  A checker without the two
    report functions (a stand-in of a test) is run as it is and nothing is
    recorded; its texts are shown as texts of check() itself."""

    def __init__(self, checker, options: dict, targets: tuple[Target, ...] = (PLAIN,),
                 details: bool = False):
        self.checker = checker
        self.details = details  # each device's communication under it
        self.options = {k: options.get(k) for k in ("address", "select", "auto", "verbose")}
        self.targets = targets
        self.time = _now()
        self.masters: list[_Master] = []
        self._current: Optional[_Master] = None  # the master whose devices come now
        self._bridge: Any = None  # its master bridge
        self._told: set = set()  # its diagnoses shown so far
        self.counts: Optional[tuple[int, int]] = None
        self.lost = False  # a master or device that could not be recorded
        self._wrapped: dict[str, tuple[Callable, Callable]] = {}
        self._made = False  # the output function gets texts made here

    # -- binding into the module's namespace

    def __enter__(self) -> Self:
        self.time = _now()
        try:
            namespace = vars(self.checker)
            for name, wrapper in (("_print_master", self._print_master),
                                  ("_print_dev", self._print_dev)):
                own = namespace.get(name)
                if callable(own):
                    self._wrapped[name] = (own, self._calling(own, wrapper))
                    namespace[name] = self._wrapped[name][1]
        except Exception:
            self.__exit__(None, None, None)
            self.lost = True
        return self

    def __exit__(self, *exc_info) -> None:
        try:
            namespace = vars(self.checker)
        except TypeError:
            return
        for name, (own, wrapper) in self._wrapped.items():
            # Rebound by someone else in the meantime: theirs stays.
            if namespace.get(name) is wrapper:
                namespace[name] = own
        self._wrapped.clear()

    @staticmethod
    def _calling(own: Callable, wrapper: Callable) -> Callable:
        def call(*args, **kwargs):
            return wrapper(own, *args, **kwargs)

        return call

    def _report(self, own: Callable, args: Callable[[Target], tuple], label: Label,
                label_name: str, printFnc: Callable) -> None:
        """The module's own function once per target, on values shown for
        it; then printFnc with the texts it made."""
        texts = []
        for target in self.targets:
            made: list = []
            values = args(target)
            own(*values, made.append, target.gui)
            value = values[0].handed.get(label_name)
            texts.append(target.labelled(made[0], label, str(value)) if made else None)
        shown_texts = [t for t in texts if t is not None]
        if shown_texts:
            self._made = True
            try:
                printFnc(*shown_texts)
            finally:
                self._made = False

    def _print_master(self, own, master, printFnc, gui):
        self._current = None
        values: Optional[dict]
        try:
            values = _read(master, MASTER_NAMES)
            transport = _transport(master)
        except Exception:
            # Read by the module as it came, as without a capture.
            self.lost = True
            values, transport = None, None
        self._report(own, lambda target: (_Attributes(values, master, target),), MASTER_LABEL,
                     "address", printFnc)
        if values is None:
            return
        try:
            self._current = _Master({name: raw(values[name]) for name in MASTER_NAMES},
                                    transport, [], health_.read(master), master)
            self.masters.append(self._current)
        except Exception:
            self.lost = True
            return
        self._bridge, self._told = master, set()
        health = self._current.health
        if health is None:
            return
        # The master's own, and those of ports where no device will be listed.
        told = [d for d in health["diagnoses"] if health_.shown(d)
                and (d["port"] is None or not health_.has_device(health, d["port"]))]
        self._told = {_key(d) for d in told}
        self._lines(printFnc, [partial(health_.diagnosis_line, d, with_port=True) for d in told])

    def _lines(self, printFnc: Callable, lines: list[Callable[[Target], Optional[str]]]) -> None:
        """Lines of the front end's own, each made for every target."""
        for line in lines:
            texts = [line(target) for target in self.targets]
            if any(text is None for text in texts):
                continue
            self._made = True
            try:
                printFnc(*texts)
            finally:
                self._made = False

    def _device_health(self, port: Any, printFnc: Callable) -> None:
        """Under a device: its port's diagnoses, invalid process data, and
        with `details` its communication."""
        master = self._current
        if master is None or master.health is None:
            return
        health = health_.read(self._bridge)
        if health is None:
            return
        master.health = health
        lines: list[Callable[[Target], Optional[str]]] = []
        for d in health["diagnoses"]:
            if d["port"] == port and health_.shown(d) and _key(d) not in self._told:
                self._told.add(_key(d))
                lines.append(partial(health_.diagnosis_line, d, with_port=False))
        communication = health["ports"].get(port, {})
        which = health_.invalid_process_data(communication)
        if which:
            lines.append(lambda t: health_.process_data_line(which, t))
        if self.details:
            lines.append(lambda t: health_.communication_line(communication, t))
        self._lines(printFnc, lines)

    def _print_dev(self, own, dev, ident, printFnc, gui):
        values: Optional[dict]
        identification: Optional[dict]
        try:
            values = _read(dev, DEVICE_NAMES)
            identification = _identification(ident)
        except Exception:
            self.lost = True
            values = identification = None

        def args(target: Target) -> tuple:
            if values is None:
                return (_Attributes(None, dev, target),
                        ident if not ident else _Identification(None, ident, target))
            return (_Attributes(values, dev, target), None if identification is None
                    else _Identification(identification, ident, target))

        self._report(own, args, DEVICE_LABEL, "portId", printFnc)
        if values is None:
            return
        try:
            device = {
                "port": raw(values["portId"]),
                "vendorId": raw(values["vendorId"]),
                "deviceId": raw(values["deviceId"]),
                "identification": None if identification is None else {
                    name: raw(identification.get(name)) for name in IDENT_NAMES},
            }
            if self._current is None:  # its master could not be recorded
                raise LookupError
            self._current.devices.append(device)
        except Exception:
            self.lost = True
            return
        self._device_health(device["port"], printFnc)

    # -- the output function and the document

    def printer(self, write: Callable[..., Any]) -> Callable[..., Any]:
        """check()'s output function: write with the texts made for the
        targets; the summary's counts noted."""

        def printFnc(*args):
            if self._made:  # a master or device text, made for the targets
                return write(*args)
            text = str(args[0]) if args else ""
            found = SUMMARY.fullmatch(text)
            if found:
                self.counts = (int(found[1]), int(found[2]))
            return write(*(target.other(text) for target in self.targets))

        return printFnc

    def health_summary(self) -> Optional[str]:
        """The line after the module's closing line when anything was found
        ("3 pending diagnoses on 2 masters; 1 port with invalid process
        data"), None when nothing was."""
        return health_.summary([m.health for m in self.masters])

    def document(self, completed: bool) -> dict:
        """The inventory; `completed`: check() returned without an abort."""
        for m in self.masters:
            # The faults are told when the devices are listed, after the
            # master's line (and a master without devices reads no more).
            found = health_.faults(m.bridge) if m.health is not None else None
            if found is not None and m.health is not None:
                m.health["faults"] = found
        masters = [m.to_json() for m in self.masters]
        counts = self.counts or (len(masters), sum(len(m["devices"]) for m in masters))
        return {
            "format": FORMAT,
            "checkerVersion": raw(getattr(self.checker, "__version__", None)),
            "driverLibraryVersion": raw(getattr(self.checker, "__baseversion__", None)),
            "options": {k: ([raw(a) for a in v] if isinstance(v, (list, tuple)) else raw(v))
                        for k, v in self.options.items()},
            "time": self.time,
            "complete": bool(completed and self.counts is not None and not self.lost),
            "masters": masters,
            "masterCount": counts[0],
            "deviceCount": counts[1],
        }


# ---------------------------------------------------------------- reading and writing


def dumps(document: dict) -> str:
    """The document as JSON text: ASCII only (every other character, and
    DEL, escaped), so that no value can control a terminal."""
    return json.dumps(document, ensure_ascii=True, indent=2).replace("\x7f", "\\u007f") + "\n"


def schema(name: str = INVENTORY_SCHEMA) -> dict:
    """One of the JSON Schemas shipped beside this module."""
    return json.loads(resources.files("velmora.tools").joinpath(name).read_text("utf-8"))


def schema_path(name: str = INVENTORY_SCHEMA) -> str:
    return str(resources.files("velmora.tools").joinpath(name))


_SCALARS = (str, int, float, bool, type(None))


def _need(condition: bool, problem: str) -> None:
    if not condition:
        raise InventoryError(f"not an inventory: {problem}")


def check_inventory(data: Any) -> dict:
    """data as an inventory: what a comparison needs must be there, or
    InventoryError says what is wrong."""
    _need(isinstance(data, dict), "not a JSON object")
    _need(data.get("format") == FORMAT, f"format {safe(json.dumps(data.get('format')))} "
          f"(expected {FORMAT})")
    masters = data.get("masters")
    _need(isinstance(masters, list), '"masters" is not a list')
    for i, master in enumerate(masters):
        where = f"masters[{i}]"
        _need(isinstance(master, dict), f"{where} is not an object")
        _need(isinstance(master.get("address"), _SCALARS) and "address" in master,
              f"{where} has no address")
        _need(isinstance(master.get("devices"), list), f'{where}: "devices" is not a list')
        for j, device in enumerate(master["devices"]):
            here = f"{where}.devices[{j}]"
            _need(isinstance(device, dict), f"{here} is not an object")
            _need("port" in device and isinstance(device["port"], _SCALARS),
                  f"{here} has no port")
            ident = device.get("identification")
            _need(ident is None or isinstance(ident, dict),
                  f"{here}: identification is neither an object nor null")
    return data


def load_inventory(path: str) -> dict:
    """The inventory saved in path; InventoryError when it cannot be read or
    is none (its message does not name the file: the caller adds that)."""
    try:
        with open(path, "rb") as stream:
            data = stream.read(64 * 1024 * 1024 + 1)
    except OSError as exc:
        raise InventoryError(f"cannot read the inventory: {exc.strerror or exc}") from None
    _need(len(data) <= 64 * 1024 * 1024, "larger than 64 MiB")
    try:
        parsed = json.loads(data.decode("utf-8"))
    except UnicodeDecodeError:
        raise InventoryError("not an inventory: not UTF-8 text") from None
    except (json.JSONDecodeError, RecursionError) as exc:
        problem = f"not JSON ({exc.msg}, line {exc.lineno})" if isinstance(
            exc, json.JSONDecodeError) else "not JSON (nested too deeply)"
        raise InventoryError(f"not an inventory: {problem}") from None
    return check_inventory(parsed)


# ---------------------------------------------------------------- comparing

# Kinds of difference: the document's name and the line's words.
KINDS = {
    "masterMissing": "master missing",
    "masterNew": "master new",
    "deviceMissing": "device missing",
    "deviceNew": "device new",
    "deviceReplaced": "device replaced",
    "firmwareRevisionChanged": "firmware revision changed",
    "hardwareRevisionChanged": "hardware revision changed",
    "tagChanged": "tag changed",
    "diagnosisAppeared": "diagnosis appeared",
    "diagnosisCleared": "diagnosis cleared",
    "transmissionRateChanged": "transmission rate changed",
    "portFaultAppeared": "port fault appeared",
    "portFaultCleared": "port fault cleared",
}
# A device counts as replaced when one of these differs.
_SAME_DEVICE = ("vendorId", "deviceId", "serialNumber")
_CHANGES = (("firmwareRevision", "firmwareRevisionChanged"),
            ("hardwareRevision", "hardwareRevisionChanged"),
            ("applicationSpecificTag", "tagChanged"))


@dataclass
class Difference:
    kind: str
    address: Any
    port: Any = None
    saved: Any = None
    found: Any = None

    def to_json(self) -> dict:
        entry = {"kind": self.kind, "address": self.address}
        if self.kind not in ("masterMissing", "masterNew"):
            entry["port"] = self.port
        return {**entry, "saved": self.saved, "found": self.found}

    def line(self) -> str:
        """One short line, safe to show."""
        where = _label(self.address)
        if self.kind in ("masterMissing", "masterNew"):
            return f"{KINDS[self.kind]}: {where}"
        if self.port is not None or self.kind not in _DIAGNOSIS_KINDS:
            where += f" port {_label(self.port)}"
        if self.kind in _DIAGNOSIS_KINDS:
            return f"{KINDS[self.kind]}: {where}: {_diagnosis(self.found or self.saved)}"
        if self.kind in _FAULT_KINDS:
            return f"{KINDS[self.kind]}: {where}: {_fault(self.found or self.saved)}"
        if self.kind == "deviceMissing":
            return f"{KINDS[self.kind]}: {where} ({_device(self.saved)})"
        if self.kind == "deviceNew":
            return f"{KINDS[self.kind]}: {where} ({_device(self.found)})"
        if self.kind == "deviceReplaced":
            return f"{KINDS[self.kind]}: {where}: {_device(self.saved)} -> {_device(self.found)}"
        return f"{KINDS[self.kind]}: {where}: {_shown(self.saved)} -> {_shown(self.found)}"


_DIAGNOSIS_KINDS = ("diagnosisAppeared", "diagnosisCleared")
_FAULT_KINDS = ("portFaultAppeared", "portFaultCleared")


def _diagnosis(d: dict) -> str:
    code = d.get("code")
    text = _label(d.get("severity"))
    if isinstance(code, int) and not isinstance(code, bool):
        text += f" 0x{code:04X}"
    return f"{text} {_shown(d.get('text'))}"


def _fault(f: Any) -> str:
    status = f.get("status") if isinstance(f, dict) else None
    text = f.get("text") if isinstance(f, dict) else None
    return _shown(text) if status is None else f"{_label(status)} {_shown(text)}"


def _health_of(master: dict) -> Optional[tuple[dict, dict, dict]]:
    """A master's diagnoses shown in a report (WARNING or worse), by
    (port, code, text), its ports' transmission rates and its ports'
    faults, by port; None for an inventory without them (saved before they
    were recorded) or with them malformed: unknown, not compared."""
    own, ports = master.get("diagnoses"), master.get("ports")
    if not isinstance(own, list) or not isinstance(ports, list):
        return None
    diagnoses: dict = {}
    rates: dict = {}
    lists = [(None, own)] + [(p.get("port"), p.get("diagnoses")) for p in ports if isinstance(p, dict)]
    for port, listed in lists:
        for d in listed if isinstance(listed, list) else []:
            if isinstance(d, dict) and d.get("severity") in health_.SHOWN:
                key = (_hashable(port), _hashable(d.get("code")), _hashable(d.get("text")))
                diagnoses.setdefault(key, {**d, "port": port})
    faults: dict = {}
    for p in ports:
        if isinstance(p, dict) and isinstance(p.get("transmissionRate"), str):
            rates[_hashable(p.get("port"))] = (p.get("port"), p["transmissionRate"])
        if isinstance(p, dict) and isinstance(p.get("fault"), dict):
            faults.setdefault(_hashable(p.get("port")), (p.get("port"), p["fault"]))
    return diagnoses, rates, faults


def _health_differences(address: Any, saved: dict, found: dict) -> list[Difference]:
    before, now = _health_of(saved), _health_of(found)
    if before is None or now is None:
        return []
    differences = [Difference("diagnosisAppeared", address, d["port"], None, d)
                   for key, d in now[0].items() if key not in before[0]]
    differences += [Difference("diagnosisCleared", address, d["port"], d, None)
                    for key, d in before[0].items() if key not in now[0]]
    differences += [Difference("transmissionRateChanged", address, port, before[1][key][1], rate)
                    for key, (port, rate) in now[1].items() if key in before[1] and before[1][key][1] != rate]
    # A fault whose status or words changed is the old one cleared and a new one.
    differences += [Difference("portFaultCleared", address, port, fault, None)
                    for key, (port, fault) in before[2].items()
                    if key not in now[2] or _hashable(_fault(now[2][key][1])) != _hashable(_fault(fault))]
    differences += [Difference("portFaultAppeared", address, port, None, fault)
                    for key, (port, fault) in now[2].items()
                    if key not in before[2] or _hashable(_fault(before[2][key][1])) != _hashable(_fault(fault))]
    return differences


def _shown(value: Any) -> str:
    """A raw value, unambiguous: strings quoted, null for none."""
    return safe(json.dumps(value, ensure_ascii=False))


def _label(value: Any) -> str:
    return safe(value) if isinstance(value, str) else _shown(value)


def _hex(value: Any) -> str:
    return f"0x{value:04x}" if isinstance(value, int) and not isinstance(value, bool) else _shown(value)


def _device(device: dict) -> str:
    text = f"vid {_hex(device.get('vendorId'))}, did {_hex(device.get('deviceId'))}"
    ident = device.get("identification")
    if isinstance(ident, dict):
        text += f", S/N {_shown(ident.get('serialNumber'))}"
    return text


def _keyed(items: list, key: str) -> dict:
    """items by their key value; the n-th of equal keys pairs with the n-th."""
    keyed: dict = {}
    seen: dict = {}
    for item in items:
        k = item.get(key)
        n = seen[_hashable(k)] = seen.get(_hashable(k), -1) + 1
        keyed[(_hashable(k), n)] = item
    return keyed


def _hashable(value: Any) -> Any:
    # 1 and True, 1 and 1.0 are different values in a document.
    return (type(value).__name__, value)


def _device_differences(address: Any, port: Any, saved: dict, found: dict) -> list[Difference]:
    before, now = saved.get("identification"), found.get("identification")
    # Values of an identification that one side lacks are unknown there,
    # not different.
    both = isinstance(before, dict) and isinstance(now, dict)

    def value(device: dict, ident: Any, name: str) -> Any:
        return ident.get(name) if name in IDENT_NAMES else device.get(name)

    for name in _SAME_DEVICE:
        if (name not in IDENT_NAMES or both) and \
                _hashable(value(saved, before, name)) != _hashable(value(found, now, name)):
            return [Difference("deviceReplaced", address, port, saved, found)]
    if not (isinstance(before, dict) and isinstance(now, dict)):
        return []
    return [Difference(kind, address, port, before.get(name), now.get(name))
            for name, kind in _CHANGES
            if _hashable(before.get(name)) != _hashable(now.get(name))]


def _in_scope(master: dict, options: Any) -> bool:
    """Whether a check with these options (-a, -s) would list the master."""
    if not isinstance(options, dict):
        return True
    addresses, select = options.get("address"), options.get("select")
    if isinstance(addresses, list) and addresses and master.get("address") not in addresses:
        return False
    transport = SELECTED_TRANSPORT.get(select.lower()) if isinstance(select, str) else None
    return transport is None or master.get("transport") in (None, transport)


def compare(saved: dict, found: dict) -> list[Difference]:
    """The differences of the plant found from the inventory saved, master by
    master (by address) and port by port, in the found document's order
    with what is missing after the masters and ports it belonged to.  Where
    the check was limited to addresses or a transport, the saved masters
    outside those are not compared."""
    differences: list[Difference] = []
    before = _keyed([m for m in saved["masters"] if _in_scope(m, found.get("options"))],
                    "address")
    now = _keyed(found["masters"], "address")
    for key, master in now.items():
        address = master.get("address")
        old = before.get(key)
        if old is None:
            differences.append(Difference("masterNew", address, found=_identity(master)))
            continue
        old_devices = _keyed(old["devices"], "port")
        new_devices = _keyed(master["devices"], "port")
        for port_key, device in new_devices.items():
            if port_key not in old_devices:
                differences.append(Difference("deviceNew", address, device.get("port"), None, device))
            else:
                differences += _device_differences(address, device.get("port"),
                                                   old_devices[port_key], device)
        differences += [Difference("deviceMissing", address, device.get("port"), device, None)
                        for port_key, device in old_devices.items() if port_key not in new_devices]
        differences += _health_differences(address, old, master)
    differences += [Difference("masterMissing", master.get("address"), saved=_identity(master))
                    for key, master in before.items() if key not in now]
    return differences


def _identity(master: dict) -> dict:
    return {k: v for k, v in master.items() if k not in ("devices", "diagnoses", "ports")}


def differences_document(differences: list[Difference], inventory: str, saved: dict,
                         found: dict) -> dict:
    """The comparison as a document of its own (differences.schema.json)."""
    return {
        "format": FORMAT,
        "inventory": inventory,
        "inventoryTime": saved.get("time") if isinstance(saved.get("time"), str) else None,
        "time": found["time"],
        "match": not differences,
        "differences": [d.to_json() for d in differences],
    }
