"""A network guard for test runs: connections to the loopback only.

A test suite that starts servers on 127.0.0.0/8 and points the library at
them sets ``VELMORA_TEST_NET_GUARD`` to a report file; every process that
loads ``velmora.base`` with it set (the test process and every command,
server or script it starts, which inherit the environment) installs the
guard.  The guard refuses, before any packet leaves, every connection and
datagram to an address outside 127.0.0.0/8 and ::1, and every name look-up
of a name other than ``localhost`` (it would ask the name servers): the
call raises ``PermissionError`` and one line naming the destination and the
process is appended to the report file, which the test suite reads after
each test to fail it.  Unix sockets are not network traffic and pass.

It patches the Python socket layer (``socket.socket`` and
``socket.getaddrinfo``), which every connection of the library, the standard
library's clients and asyncio goes through.
"""

from __future__ import annotations

import errno
import ipaddress
import os
import socket
import threading
from typing import Any

ENV = "VELMORA_TEST_NET_GUARD"
LOOPBACK = (ipaddress.ip_network("127.0.0.0/8"), ipaddress.ip_network("::1/128"))
LOCAL_NAMES = ("localhost", "localhost.localdomain", "ip6-localhost", "ip6-loopback")

_lock = threading.Lock()
_report = ""


def allowed(host: object) -> bool:
    """True for a loopback address (127.0.0.0/8, ::1, also IPv4-mapped)."""
    if not isinstance(host, str):
        return False
    try:
        ip = ipaddress.ip_address(host.split("%", 1)[0])
    except ValueError:
        return False
    if isinstance(ip, ipaddress.IPv6Address) and ip.ipv4_mapped is not None:
        ip = ip.ipv4_mapped
    return any(ip in net for net in LOOPBACK)


def _refuse(what: str) -> None:
    line = f"{what} (process {os.getpid()})"
    with _lock:
        if _report:
            with open(_report, "a", encoding="utf-8") as report:
                report.write(line + "\n")
    raise PermissionError(errno.EACCES, f"network guard: {what}: tests reach 127.0.0.0/8 and ::1 only")


def _check_destination(sock: socket.socket, address: Any) -> None:
    if sock.family in (socket.AF_INET, socket.AF_INET6) and isinstance(address, tuple) and address:
        if not allowed(address[0]):
            _refuse(f"connection to {address[0]!s} port {address[1] if len(address) > 1 else '?'}")


def _check_name(host: object) -> None:
    if host is None or host == "" or (isinstance(host, bytes) and not host):
        return
    name = host.decode("ascii", "replace") if isinstance(host, bytes) else str(host)
    try:
        ipaddress.ip_address(name.split("%", 1)[0])
    except ValueError:
        if name.lower().rstrip(".") not in LOCAL_NAMES:
            _refuse(f"name look-up of {name!r}")


def install(report: str) -> None:
    """Guard this process; refusals are appended to the file ``report``.
    Installing again only changes the file."""
    global _report
    with _lock:
        _report = report
        if getattr(socket.socket, "_net_guarded", False):
            return
        cls = socket.socket
        connect, connect_ex, sendto = cls.connect, cls.connect_ex, cls.sendto
        getaddrinfo = socket.getaddrinfo

        def guarded_connect(self: socket.socket, address: Any) -> None:
            _check_destination(self, address)
            return connect(self, address)

        def guarded_connect_ex(self: socket.socket, address: Any) -> int:
            _check_destination(self, address)
            return connect_ex(self, address)

        def guarded_sendto(self: socket.socket, data: Any, *args: Any) -> int:
            _check_destination(self, args[-1])
            return sendto(self, data, *args)

        def guarded_getaddrinfo(host: Any, *args: Any, **kwargs: Any) -> Any:
            flags = kwargs.get("flags", args[4] if len(args) > 4 else 0)
            if not flags & socket.AI_NUMERICHOST:  # that one asks no name server
                _check_name(host)
            return getaddrinfo(host, *args, **kwargs)

        cls.connect = guarded_connect  # type: ignore[method-assign, assignment]
        cls.connect_ex = guarded_connect_ex  # type: ignore[method-assign, assignment]
        cls.sendto = guarded_sendto  # type: ignore[method-assign, assignment]
        socket.getaddrinfo = guarded_getaddrinfo
        cls._net_guarded = True  # type: ignore[attr-defined]


def refusals(report: str) -> list[str]:
    """The lines of the report file so far."""
    try:
        with open(report, encoding="utf-8") as lines:
            return lines.read().splitlines()
    except FileNotFoundError:
        return []
