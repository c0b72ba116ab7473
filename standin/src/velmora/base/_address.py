"""Addresses of masters reached over the JSON-for-IO-Link REST API.

Accepted forms (anything else is not a REST address):

* ``host:port`` -- ``10.0.0.5:80``, ``127.0.0.1:40123``, ``[::1]:8080``
* ``http://host[:port][/path]`` and ``https://...`` -- the path, when given,
  replaces the API's base path ``/iolink/v1``
* a plain ``host`` (``10.0.0.5``, ``fe80::1``, ``master-3.plant``), but
  only where the caller allows it: an address that is not an emulated
  master of the installation in use (see ``plain_host``).  COM port names
  and Bluetooth addresses are never hosts.

A REST host entry may also be a range of IPv4 addresses, ``A.B.C.D/NN`` or
``A.B.C.D-A.B.C.E``, optionally followed by ``:PORT``: at most
``MAX_RANGE`` addresses, each then a host (``host:PORT`` with a port).

Master N of a gateway with several IO-Link masters is ``ADDRESS#N``
(``10.0.0.5:80#2``, ``https://10.0.0.5:8443#2``); see ``split_master``.
"""

from __future__ import annotations

import difflib
import ipaddress
import re
from dataclasses import dataclass

from ._protocol import API_BASE, MAX_MASTER_NUMBER

_HOST = r"\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9](?:[A-Za-z0-9.-]*[A-Za-z0-9])?"
_HOST_PORT = re.compile(rf"({_HOST}):([0-9]{{1,5}})")
_URL = re.compile(rf"(https?)://({_HOST})(?::([0-9]{{1,5}}))?(/[A-Za-z0-9._~%!$&'()*+,;=:@/-]*)?", re.IGNORECASE)
_PLAIN = re.compile(_HOST)
_IPV4 = r"\d{1,3}(?:\.\d{1,3}){3}"
_RANGE = re.compile(rf"({_IPV4})(?:/(\d{{1,2}})|-({_IPV4}))(?::(\d{{1,5}}))?")
MAX_RANGE = 1024
DEFAULT_PORTS = {"http": 80, "https": 443}  # of an address without a port


@dataclass(frozen=True)
class Target:
    """Where the API of one master is: scheme, host (no brackets), port, base path."""

    scheme: str
    host: str
    port: int
    base: str = API_BASE

    @property
    def place(self) -> str:
        """host:port, an IPv6 host in brackets."""
        return f"[{self.host}]:{self.port}" if ":" in self.host else f"{self.host}:{self.port}"

    def __str__(self) -> str:
        return f"{self.scheme}://{self.place}{self.base}"


def _target(scheme: str, host: str, port: str | None, path: str | None) -> Target | None:
    number = int(port) if port else DEFAULT_PORTS[scheme]
    if not 1 <= number <= 65535:
        return None
    path = (path or "").rstrip("/")
    return Target(scheme, host.strip("[]"), number, path or API_BASE)


def parse_target(address: object, plain: bool = False) -> Target | None:
    """The REST target for address, or None when it is not a REST address.
    A plain host counts only with plain=True."""
    if not isinstance(address, str):
        return None
    if m := _URL.fullmatch(address):
        return _target(m[1].lower(), m[2], m[3], m[4])
    if m := _HOST_PORT.fullmatch(address):
        return _target("http", m[1], m[2], None)
    if plain and plain_host(address):
        return _target("http", address, None, None)
    return None


def plain_host(address: object) -> bool:
    """A plain IPv4 or IPv6 address or a host name, without port or scheme;
    not a COM port name or a Bluetooth address (which the USB and BLE
    transports own)."""
    if not isinstance(address, str) or _COM_NAME.fullmatch(address) or _MAC.fullmatch(address):
        return False
    if ":" in address:  # IPv6, written without brackets (a port needs them)
        try:
            ipaddress.IPv6Address(address)
        except ValueError:
            return False
        return True
    return _PLAIN.fullmatch(address) is not None and not address.startswith("[")


def host_range(entry: str) -> list[str] | None:
    """The addresses of a host range entry, in order (``127.0.0.2:8080``, or
    a plain host when the entry has no port); None when entry is no range.
    Raises ValueError naming the problem of a malformed range."""
    m = _RANGE.fullmatch(entry)
    if m is None:
        return None
    first, prefix, last, port = m.groups()
    if port is not None and not 1 <= int(port) <= 65535:
        raise ValueError(f"port {port} out of range (1..65535)")
    if prefix is not None and int(prefix) > 32:
        raise ValueError(f"prefix /{prefix} out of range (0..32)")
    try:
        if prefix is not None:
            network = ipaddress.IPv4Network(f"{first}/{prefix}", strict=False)
            count = network.num_addresses if network.prefixlen >= 31 else network.num_addresses - 2
            if count > MAX_RANGE:
                raise ValueError(f"a range holds at most {MAX_RANGE} addresses, /{prefix} holds {count}")
            hosts = [str(ip) for ip in network.hosts()]
        else:
            start, end = ipaddress.IPv4Address(first), ipaddress.IPv4Address(last)
            count = int(end) - int(start) + 1
            if count < 1:
                raise ValueError(f"{last} comes before {first}")
            if count > MAX_RANGE:
                raise ValueError(f"a range holds at most {MAX_RANGE} addresses, this one holds {count}")
            hosts = [str(ipaddress.IPv4Address(i)) for i in range(int(start), int(end) + 1)]
    except ipaddress.AddressValueError as exc:
        raise ValueError(f"not an IPv4 address: {exc}") from None
    return [f"{h}:{port}" for h in hosts] if port else hosts


# What looks like an address range, well formed or not: digits and dots
# with a "/" or a "-" (host names with a "-" have letters).
_RANGE_LIKE = re.compile(r"[0-9.]+(?:/[0-9]*|-[0-9.]*)(?::[0-9]*)?")


def given_addresses(addresses: list[str]) -> list[tuple[str, str]]:
    """(entry, address) for the addresses an application was given (by a
    user), an address range replaced by its addresses (entry: the range;
    else entry is the address), each address once, in order.  Raises
    ValueError naming the first address that cannot be one, and why: a
    malformed range or URL, a port out of range, a bad ``#N``."""
    result: dict[str, str] = {}
    for entry in addresses:
        try:
            hosts = _given(entry)
        except ValueError as exc:
            raise ValueError(f"{entry!r}: {exc}") from None
        for address in hosts:
            result.setdefault(address, entry)
    return [(entry, address) for address, entry in result.items()]


def _given(address: object) -> list[str]:
    if not isinstance(address, str):
        raise ValueError(f"an address is a text, not {type(address).__name__}")
    if not address.strip():
        raise ValueError("empty address")
    hosts = host_range(address)
    if hosts is not None:
        return hosts
    if _RANGE_LIKE.fullmatch(address):
        raise ValueError("not an address range (expected A.B.C.D/NN or A.B.C.D-A.B.C.E, optionally :PORT)")
    gateway, _ = split_master(address)
    if parse_target(gateway, plain=True) is None and (problem := address_problem(gateway)):
        raise ValueError(problem)
    return [address]


_SCHEME = re.compile(r"([A-Za-z][A-Za-z0-9+.-]*)://([^/?#]*)(.*)", re.DOTALL)
_PORT_PART = re.compile(rf"({_HOST}|\[[^]]*\]):([^:]*)")


def _port_problem(port: str) -> str:
    if not port:
        return "empty port"
    if not port.isdigit():
        return f"port {port!r} is not a number"
    return f"port {port} out of range (1..65535)" if len(port) > 5 or not 1 <= int(port) <= 65535 else ""


def address_problem(address: object) -> str | None:
    """Why an address that is no REST address (parse_target gave None) was
    probably meant as one and cannot be: a malformed URL, a bad port.  None
    for anything else (a plain host, a USB port, a Bluetooth address)."""
    if not isinstance(address, str):
        return None
    if re.match(r"(?i)https?//", address):
        return "malformed URL (no ':' after the scheme)"
    if m := _SCHEME.fullmatch(address):
        scheme, authority, rest = m.groups()
        if scheme.lower() not in ("http", "https"):
            return f"unsupported scheme {scheme!r} (expected http or https)"
        if "@" in authority:
            return "user information in a URL is not supported"
        if p := _PORT_PART.fullmatch(authority):
            if problem := _port_problem(p[2]):
                return problem
        if not authority:
            return "URL without a host"
        return "malformed URL (expected http(s)://host[:port][/path])"
    if "//" in address or address.lower().startswith(("http:", "https:")):
        return "malformed URL (expected http(s)://host[:port][/path])"
    if (p := _PORT_PART.fullmatch(address)) and (problem := _port_problem(p[2])):
        return problem
    return None


def split_master(address: str) -> tuple[str, int | None]:
    """``ADDRESS#N``, master N of the gateway at ADDRESS: (ADDRESS, N);
    any other address: (address, None).  Raises ValueError for a ``#`` that
    is not followed by a master number."""
    gateway, mark, number = address.rpartition("#")
    if not mark:
        return address, None
    if not gateway:
        raise ValueError("no gateway address before '#'")
    if not number.isdigit() or len(number) > 10 or not 1 <= int(number) <= MAX_MASTER_NUMBER:
        raise ValueError(f"master number {number!r} after '#' is not a number in 1..{MAX_MASTER_NUMBER}")
    return gateway, int(number)


# Serial port names and Bluetooth addresses are matched as their platforms
# do: Windows' COM names and MAC addresses ignore case.  Anything else (an IP
# address, a host name, a device path such as /dev/ttyUSB0, which is
# case-sensitive) is compared as given.
_COM_NAME = re.compile(r"COM[1-9][0-9]{0,2}", re.IGNORECASE)
_MAC = re.compile(r"[0-9A-F]{2}(?:([:-])[0-9A-F]{2})(?:\1[0-9A-F]{2}){4}", re.IGNORECASE)


def address_key(address: object) -> object:
    """What two addresses of masters must share to name the same master."""
    if isinstance(address, str) and (_COM_NAME.fullmatch(address) or _MAC.fullmatch(address)):
        return address.upper()
    return address


def is_mac(address: object) -> bool:
    return isinstance(address, str) and _MAC.fullmatch(address) is not None


def near_match(address: str, candidates: list[str]) -> str | None:
    """The candidate closest to a mistyped address, if one is close (of
    equally close ones the first)."""
    matcher = difflib.SequenceMatcher(b=address.upper())
    best, score = None, 0.6
    for candidate in candidates:
        matcher.set_seq1(candidate.upper())
        if matcher.ratio() > score:
            best, score = candidate, matcher.ratio()
    return best
