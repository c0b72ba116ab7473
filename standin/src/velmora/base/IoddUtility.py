"""Helpers shared by the drivers and the application: the application hook
(CommonDriverManager.iodd), a small stderr logger and the device record."""

from __future__ import annotations

import sys
from typing import Any, TextIO


class CommonDriverManager:
    """Process-wide hook: the application sets ``iodd`` once to an object with
    ``_logger`` (a Logger) and ``_getIndexVar``.  The drivers log through
    ``iodd._logger.debug`` when it is set and work without it."""

    iodd: Any = None


def abort() -> None:
    """For an application's abort (Ctrl-C, an Abort button), from any
    thread: every wait of the base drivers open now ends within about a
    second.  Requests under way fail (their sockets are shut down), none
    starts, reading ahead and discovery stop; the calls of the application
    into those base drivers then fail at once, or find nothing, until the
    drivers are closed.  Base drivers opened later are not affected."""
    from ._IoddDrv import IoddBaseDriver  # the drivers import this module

    IoddBaseDriver.commonDrivers._abort()


class Logger:
    """Writes to stderr when ``verbose`` is high enough: errors and warnings
    from 2, info and debug from 3.  ``verbose`` 0 or 1 is quiet."""

    LEVELS = {"error": 2, "warning": 2, "info": 3, "debug": 3}

    def __init__(self, verbose: int = 0, stream: TextIO | None = None):
        self.verbose = verbose
        self._stream = stream

    def _write(self, level: str, msg: Any) -> None:
        if (self.verbose or 0) >= self.LEVELS[level]:
            stream = self._stream or sys.stderr
            print(f"{level.upper()}: {msg}", file=stream, flush=True)

    def debug(self, msg: Any) -> None:
        self._write("debug", msg)

    def info(self, msg: Any) -> None:
        self._write("info", msg)

    def warning(self, msg: Any) -> None:
        self._write("warning", msg)

    def error(self, msg: Any) -> None:
        self._write("error", msg)


class IoddDev:
    """One row of a master's device table.  ``deviceIdentifier`` is the
    device's identification (dict of the IO-Link identification parameters,
    values str or None) or None when the device gave none."""

    def __init__(self, portId: int, vendorId: int, deviceId: int, deviceIdentifier: dict | None = None):
        self.portId = portId
        self.vendorId = vendorId
        self.deviceId = deviceId
        self.deviceIdentifier = deviceIdentifier

    def __repr__(self) -> str:
        return (
            f"IoddDev(portId={self.portId!r}, vendorId={self.vendorId!r}, "
            f"deviceId={self.deviceId!r}, deviceIdentifier={self.deviceIdentifier!r})"
        )

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, IoddDev):
            return NotImplemented
        return (self.portId, self.vendorId, self.deviceId, self.deviceIdentifier) == (
            other.portId,
            other.vendorId,
            other.deviceId,
            other.deviceIdentifier,
        )

    __hash__ = None  # type: ignore[assignment]  # mutable record
