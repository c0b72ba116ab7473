"""Readers of the API's resources: each reads one resource through a
``Client`` and gives its values checked (a wrong shape, or a value outside
the API's range, is a ``RestError`` naming the master, the request and the
problem)."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any
from urllib.parse import quote

from .._installation import IDENT_NAMES
from .._protocol import ErrorCode, MAX_DEVICE_ID, MAX_MASTER_ID, MAX_MASTER_NUMBER, MAX_VENDOR_ID, MODE_OF_API
from .client import MAX_TEXT, Client, RestError, short

# Masters checked behind one address: a gateway holds a few, a rack a dozen
# or two; one that lists more is cut here rather than read for minutes.
MAX_GATEWAY_MASTERS = 32
MAX_PORTS = 64  # numberOfPorts: at least 1 by the description; more is no master this library knows


class Answer:
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
            raise self.bad(f"{key!r} is {short(v)}, not an integer in {low}..{high}")
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
            raise self.bad(f"{key!r} is {short(v)}, not a string")
        if limit is not None and len(v) > limit:
            raise self.bad(f"{key!r} is longer than {limit} characters")
        if sent:
            try:
                v.encode("utf-8")
            except UnicodeEncodeError:
                raise self.bad(f"{key!r} is {short(v)}, not valid text (a lone surrogate)") from None
        return v


def get(client: Client, path: str) -> Answer:
    """The object at path."""
    return Answer(client, client.what("GET", path), client.get(path))


def get_list(client: Client, path: str) -> list[Answer]:
    """The array of objects at path."""
    return objects(client, client.what("GET", path), client.get(path))


def objects(client: Client, what: str, value: Any) -> list[Answer]:
    if not isinstance(value, list):
        raise client.fail(what, f"unexpected answer: expected an array, got {type(value).__name__}")
    return [Answer(client, what, item) for item in value]


def first(*values: Any) -> Any:
    return next((v for v in values if v is not None), None)


def unsupported(error: RestError) -> bool:
    """True for the answer of a master that does not offer a resource."""
    return error.code == ErrorCode.OPERATION_NOT_SUPPORTED or (error.code is None and error.status == 404)


def port_path(master: int, port: int, leaf: str) -> str:
    return f"/masters/{master}/ports/{port}/{leaf}"


def identify(client: Client, wanted: set[int] | None = None) -> tuple[list[tuple[int, dict[str, Any] | RestError]], int]:
    """The IO-Link masters of the gateway, in masterNumber order, with
    their identity (vendorId, deviceId, name, fwVersion, vendor,
    productName, productCode), or the error that reading it gave; and how
    many the gateway listed (a number listed twice is one master).  Of more
    than MAX_GATEWAY_MASTERS, the first ones are read, and those of the
    numbers ``wanted``.  The gateway's own resources are read once."""
    gateway = get(client, "/gateway/identification")
    listed: dict[int, Answer] = {}
    for entry in get_list(client, "/masters"):
        listed.setdefault(entry.number("masterNumber", 1, MAX_MASTER_NUMBER), entry)
    if not listed:
        raise client.fail(client.what("GET", "/masters"), "no IO-Link master behind this gateway")
    numbers = sorted(listed)
    if len(numbers) > MAX_GATEWAY_MASTERS:
        numbers = sorted({*numbers[:MAX_GATEWAY_MASTERS], *(wanted or set()) & listed.keys()})
    masters: list[tuple[int, dict[str, Any] | RestError]] = []
    for number in numbers:
        try:
            master = get(client, f"/masters/{number}/identification")
            masters.append((number, {
                "vendorId": master.number("vendorId", 1, MAX_VENDOR_ID, 0),
                "deviceId": master.number("masterId", 1, MAX_MASTER_ID, 0),
                "name": first(master.text("locationTag"), master.text("functionTag"),
                              listed[number].text("locationTag")),
                "fwVersion": first(master.text("firmwareRevision"), gateway.text("firmwareRevision")),
                "vendor": first(master.text("vendorName"), gateway.text("vendorName")),
                "productName": first(master.text("productName"), gateway.text("productName")),
                "productCode": first(master.text("orderCode"), master.text("productId"), gateway.text("productId")),
            }))
        except RestError as exc:
            if exc.link or not masters:  # the gateway's first master must answer
                raise
            masters.append((number, exc))
    return masters, len(listed)


def port_table(client: Client, master: int) -> tuple[int, dict[int, str | None] | None]:
    """The number of ports and each one's statusInfo, from the port list;
    a master without one gives its number of ports in its capabilities
    (and no status: every IO-Link port is then asked for a device)."""
    path = f"/masters/{master}/ports"
    try:
        listing = client.get(path)
    except RestError as exc:
        if exc.link:
            raise
        try:
            return get(client, f"/masters/{master}/capabilities").number("numberOfPorts", 1, MAX_PORTS), None
        except RestError as missing:
            if not unsupported(missing):
                raise
            # Neither: the ports that the device list names.
            ports = [port for port, _ in device_aliases(client, master, MAX_PORTS)]
            if not ports:
                raise
            return max(ports), None
    what = client.what("GET", path)
    entries = objects(client, what, listing)
    if not 1 <= len(entries) <= MAX_PORTS:
        raise client.fail(what, f"unexpected answer: {len(entries)} ports, expected 1..{MAX_PORTS}")
    status = {entry.number("portNumber", 1, MAX_PORTS): entry.text("statusInfo") for entry in entries}
    if sorted(status) != list(range(1, len(entries) + 1)):
        raise client.fail(what, f"unexpected answer: ports numbered {sorted(status)}, not 1..{len(entries)}")
    return len(entries), status


def port_config(client: Client, master: int, port: int) -> tuple[str, tuple[int, int] | None]:
    """A port's mode in the library's terms (IOLINK, DI, DO, DEACTIVATED),
    and the (vendorId, deviceId) its validation expects (IOLINK_MANUAL with
    a device check and both ids), else None."""
    config = get(client, port_path(master, port, "configuration"))
    mode = config.text("mode")
    if mode not in MODE_OF_API:
        raise config.bad(f"unknown port mode {short(mode)}")
    expected = None
    if mode == "IOLINK_MANUAL" and config.value.get("validationAndBackup") not in (None, "NO_DEVICE_CHECK"):
        try:
            expected = config.number("vendorId", 1, MAX_VENDOR_ID), config.number("deviceId", 1, MAX_DEVICE_ID)
        except RestError:
            pass  # a validation without usable ids names no device
    return MODE_OF_API[mode], expected


def mode_of_status(status: str | None) -> str:
    """The mode a port's statusInfo tells of (IO-Link unless it says otherwise)."""
    return {"DEACTIVATED": "DEACTIVATED", "DIGITAL_INPUT_C/Q": "DI", "DIGITAL_OUTPUT_C/Q": "DO"}.get(status or "",
                                                                                                  "IOLINK")


def port_status(client: Client, master: int, port: int) -> str | None:
    """A port's statusInfo."""
    return get(client, port_path(master, port, "status")).text("statusInfo")


def device_aliases(client: Client, master: int, ports: int) -> list[tuple[int, str | None]]:
    """(port, deviceAlias) of every device the master lists, in its order."""
    rows = []
    for entry in get_list(client, "/devices"):
        if entry.number("masterNumber", 1, MAX_MASTER_NUMBER) != master:
            continue
        rows.append((entry.number("portNumber", 1, ports), entry.text("deviceAlias", sent=True)))
    return rows


def device_identification(client: Client, alias: str) -> Answer:
    """The identification of the device with that alias."""
    return get(client, f"/devices/{quote(alias, safe='')}/identification")


def device_ids(ident: Answer) -> tuple[int, int]:
    """vendorId and deviceId of an identification."""
    return ident.number("vendorId", 1, MAX_VENDOR_ID), ident.number("deviceId", 1, MAX_DEVICE_ID)


# Names that every identification has as text: the device's report needs them.
IDENT_TEXTS = ("vendorName", "productName")


def ident_values(ident: Answer) -> Mapping[str, str | None] | None:
    """The nine names, absent ones None; None when the device gives none.
    An identification without a vendor or product name (the description
    makes both optional) has the empty text there."""
    values = {name: ident.text(name) for name in IDENT_NAMES}
    if all(v is None for v in values.values()):
        return None
    return {name: "" if value is None and name in IDENT_TEXTS else value for name, value in values.items()}
