"""Addresses of masters reached over the JSON-for-IO-Link REST API.

Accepted forms (anything else is not a REST address):

* ``host:port`` -- ``10.0.0.5:80``, ``127.0.0.1:40123``, ``[::1]:8080``
* ``http://host[:port][/path]`` and ``https://...`` -- the path, when given,
  replaces the API's base path ``/iolink/v1``
* a plain ``host`` (``10.0.0.5``, ``master-3.plant``), but only where the
  caller allows it: an address listed in the REST hosts.  A plain address
  otherwise belongs to the in-process masters, so that an address that is
  not in the installation never turns into network traffic.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

from ._protocol import API_BASE

_HOST = r"\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9](?:[A-Za-z0-9.-]*[A-Za-z0-9])?"
_HOST_PORT = re.compile(rf"({_HOST}):([0-9]{{1,5}})")
_URL = re.compile(rf"(https?)://({_HOST})(?::([0-9]{{1,5}}))?(/[A-Za-z0-9._~%!$&'()*+,;=:@/-]*)?", re.IGNORECASE)
_PLAIN = re.compile(_HOST)


@dataclass(frozen=True)
class Target:
    """Where the API of one master is: scheme, host (no brackets), port, base path."""

    scheme: str
    host: str
    port: int
    base: str = API_BASE

    def __str__(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"{self.scheme}://{host}:{self.port}{self.base}"


def _target(scheme: str, host: str, port: str | None, path: str | None) -> Target | None:
    number = int(port) if port else (443 if scheme == "https" else 80)
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
    if plain and _PLAIN.fullmatch(address):
        return _target("http", address, None, None)
    return None
