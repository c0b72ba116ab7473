"""The one route from the driver library to the application's logger.

The application sets ``IoddUtility.CommonDriverManager.iodd`` to an object
with a ``_logger`` (warning, info, debug); without one the library is quiet.
Every line is prefixed with ``velmora.base: ``.
"""

from __future__ import annotations

import threading
from collections.abc import Iterator
from contextlib import contextmanager

from . import IoddUtility
from ._health import PortFault
from ._protocol import port_fault

_thread = threading.local()


@contextmanager
def quiet() -> Iterator[None]:
    """Nothing is logged from this thread meanwhile (work done ahead of
    time, whose messages the work done in order gives)."""
    before = getattr(_thread, "quiet", False)
    _thread.quiet = True
    try:
        yield
    finally:
        _thread.quiet = before


def log(level: str, message: str) -> None:
    """``message`` at ``level`` ("warning", "info", "debug") through the
    application's logger, when it set one."""
    if getattr(_thread, "quiet", False):
        return
    logger = getattr(IoddUtility.CommonDriverManager.iodd, "_logger", None)
    write = getattr(logger, level, None)
    if callable(write):
        write(f"velmora.base: {message}")


def warn(message: str) -> None:
    log("warning", message)


def info(message: str) -> None:
    log("info", message)


def tell_port_fault(master: str, port: int, status: str | None, iolink: bool,
                    expected: tuple[int, int] | None) -> PortFault | None:
    """One line for a port whose state tells of a fault (see
    ``_protocol.port_fault``): ``Master ADDRESS port N: words``; the fault
    of a warning is returned too, for the master's health (an empty port
    told as info is none)."""
    fault = port_fault(status, iolink, expected)
    if fault is None:
        return None
    log(fault[0], f"Master {master} port {port}: {fault[1]}")
    return PortFault(port, status, fault[1]) if fault[0] == "warning" else None
