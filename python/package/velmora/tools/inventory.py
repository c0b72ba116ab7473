"""The plant as data: what one check found, as a JSON document, and how a
plant differs from an inventory saved before.

Both front ends use this module: `tessadyn-check --json` and `--compare`,
and the window's "Save inventory...".  It holds no terminal and no Kivy
code, and also keeps what the two front ends share: the selection values,
loading the checker, describing an error in one line and renewing an abort.

How one check is recorded: check() looks `_print_master` and `_print_dev` up
in its module's namespace at every call, so `Capture` binds its own two
functions there for the run and puts the module's back afterwards.  Each
reads the values of a master bridge or a device once, records them, and
hands the module's own function an object holding exactly those values:
the report is made from the values the document holds, even for a driver
library whose values change between reads.  Recording never raises into
the run; a master or device whose values cannot be read is handed on as it
came (the module then reports it, or fails, as without a capture) and the
document says `"complete": false`.

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
import re
import threading
import traceback
from dataclasses import dataclass
from datetime import datetime, timezone
from importlib import resources
from typing import Any, Callable, Optional, Self

from velmora.tools.report_text import safe

FORMAT = 1
INVENTORY_SCHEMA = "inventory.schema.json"
DIFFERENCES_SCHEMA = "differences.schema.json"

# check()'s selection values, as both front ends offer them.
SELECTIONS = ("usb", "eth", "ethernet", "ble")

# The master bridge's names, in the order the document lists them.
MASTER_NAMES = ("address", "name", "vendor", "productName", "productCode",
                "vendorId", "deviceId", "fwVersion")
# The nine identification names of the driver library.
IDENT_NAMES = ("vendorName", "vendorText", "productName", "productId", "productText",
               "serialNumber", "hardwareRevision", "firmwareRevision",
               "applicationSpecificTag")
# The eight of them that a device report reads (each must be there).
REPORT_IDENT_NAMES = tuple(n for n in IDENT_NAMES if n != "vendorText")

SUMMARY = re.compile(r"(\d+) master\(s\) and (\d+) device\(s\) found")


# ---------------------------------------------------------------- shared by the front ends


def load_checker():
    """The checker module; importing it imports the driver library
    velmora.base and dict2obj."""
    from velmora.tools import TessadynChecker

    return TessadynChecker


def describe_error(exc: BaseException, loading: bool = False) -> str:
    """What went wrong, as a text (not yet made safe to show).  The driver
    library's own errors say it themselves; for Python's built-in exceptions
    ("[Errno 111] Connection refused", "'port'") the type name is part of
    it.  An import error names the module already."""
    if isinstance(exc, ImportError):
        text = str(exc) or type(exc).__name__
    elif type(exc).__module__ == "builtins" or loading:
        text = f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
    else:
        text = str(exc) or type(exc).__name__
    if not loading:
        return text
    if not isinstance(exc, ImportError):
        frames = traceback.extract_tb(exc.__traceback__)
        if frames:
            text += f" (in {frames[-1].filename}, line {frames[-1].lineno})"
    return f"cannot load the checker: {text}"


def abort_check(checker) -> None:
    """Ask the check to stop at its next step, and the driver library to
    end its waits under way (its ``IoddUtility.abort()``, when it has one),
    so that a slow master does not hold the stop back.  The library is told
    from a thread of its own: called from a signal handler, its locks may be
    held by the very code interrupted."""
    checker.abort()
    library_abort = getattr(getattr(checker, "IoddUtility", None), "abort", None)
    if callable(library_abort):
        threading.Thread(target=library_abort, name="tessadyn-abort", daemon=True).start()


def renew_abort(checker) -> None:
    """For an output function once an abort was asked for: check() clears
    the abort flag when it starts, so an abort that came just before must be
    asked for again to stop the run.  Asking again is harmless."""
    abort_check(checker)


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


class _MasterValues:
    """A master bridge's eight values, read once (what _print_master reads)."""

    __slots__ = MASTER_NAMES

    def __init__(self, master):
        for name in MASTER_NAMES:
            setattr(self, name, getattr(master, name))


class _DeviceValues:
    """A device record's values, read once (what _print_dev reads)."""

    __slots__ = ("portId", "vendorId", "deviceId")

    def __init__(self, dev):
        self.portId = dev.portId
        self.vendorId = dev.vendorId
        self.deviceId = dev.deviceId


def _identification(ident) -> Optional[dict]:
    """The identification's values, each read once: None for none, a dict
    of the keys it holds otherwise.  A key the report needs that is missing
    raises the mapping's own error."""
    if not ident:
        return None
    values = {name: ident[name] for name in REPORT_IDENT_NAMES}
    try:  # not in the report: a device may well lack it
        values["vendorText"] = ident["vendorText"]
    except Exception:
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

    def to_json(self) -> dict:
        return {**self.values, "transport": self.transport, "devices": self.devices}


def _now() -> str:
    return datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


# ---------------------------------------------------------------- the capture


class Capture:
    """Records one check() of `checker` (the checker module):

        with Capture(checker, options) as capture:
            checker.check(printFnc=capture.printer(write), **options)
        document = capture.document(completed=True)

    `options` are check()'s arguments as the document lists them (address,
    select, auto, verbose).  A checker without the two report functions
    (a stand-in of a test) is run as it is and nothing is recorded."""

    def __init__(self, checker, options: dict):
        self.checker = checker
        self.options = {k: options.get(k) for k in ("address", "select", "auto", "verbose")}
        self.time = _now()
        self.masters: list[_Master] = []
        self._current: Optional[_Master] = None  # the master whose devices come now
        self.counts: Optional[tuple[int, int]] = None
        self.lost = False  # a master or device that could not be recorded
        self._wrapped: dict[str, tuple[Callable, Callable]] = {}

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

    def _print_master(self, own, master, printFnc, gui):
        self._current = None
        try:
            values = _MasterValues(master)
            transport = _transport(master)
        except Exception:
            self.lost = True
            return own(master, printFnc, gui)
        own(values, printFnc, gui)
        try:
            self._current = _Master(
                {name: raw(getattr(values, name)) for name in MASTER_NAMES}, transport, [])
            self.masters.append(self._current)
        except Exception:
            self.lost = True

    def _print_dev(self, own, dev, ident, printFnc, gui):
        try:
            values = _DeviceValues(dev)
            identification = _identification(ident)
        except Exception:
            self.lost = True
            return own(dev, ident, printFnc, gui)
        own(values, identification, printFnc, gui)
        try:
            device = {
                "port": raw(values.portId),
                "vendorId": raw(values.vendorId),
                "deviceId": raw(values.deviceId),
                "identification": None if identification is None else {
                    name: raw(identification.get(name)) for name in IDENT_NAMES},
            }
            if self._current is None:  # its master could not be recorded
                raise LookupError
            self._current.devices.append(device)
        except Exception:
            self.lost = True

    # -- the output function and the document

    def printer(self, write: Callable[..., Any]) -> Callable[..., Any]:
        """check()'s output function: write, with the summary's counts noted."""

        def printFnc(*args):
            if args:
                try:
                    found = SUMMARY.fullmatch(args[0]) if type(args[0]) is str else None
                    if found:
                        self.counts = (int(found[1]), int(found[2]))
                except Exception:
                    pass
            return write(*args)

        return printFnc

    def document(self, completed: bool) -> dict:
        """The inventory; `completed`: check() returned without an abort."""
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
        where += f" port {_label(self.port)}"
        if self.kind == "deviceMissing":
            return f"{KINDS[self.kind]}: {where} ({_device(self.saved)})"
        if self.kind == "deviceNew":
            return f"{KINDS[self.kind]}: {where} ({_device(self.found)})"
        if self.kind == "deviceReplaced":
            return f"{KINDS[self.kind]}: {where}: {_device(self.saved)} -> {_device(self.found)}"
        return f"{KINDS[self.kind]}: {where}: {_shown(self.saved)} -> {_shown(self.found)}"


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


# The transport (base driver name) that check()'s selection keeps.
_SELECTED = {"usb": "USB", "eth": "IP", "ethernet": "IP", "ble": "BLE"}


def _in_scope(master: dict, options: Any) -> bool:
    """Whether a check with these options (-a, -s) would list the master."""
    if not isinstance(options, dict):
        return True
    addresses, select = options.get("address"), options.get("select")
    if isinstance(addresses, list) and addresses and master.get("address") not in addresses:
        return False
    transport = _SELECTED.get(select.lower()) if isinstance(select, str) else None
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
    differences += [Difference("masterMissing", master.get("address"), saved=_identity(master))
                    for key, master in before.items() if key not in now]
    return differences


def _identity(master: dict) -> dict:
    return {k: v for k, v in master.items() if k != "devices"}


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
