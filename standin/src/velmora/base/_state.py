"""Process-wide state of the stand-in: which installation is in use, the
live emulated plant, the event log and the driver objects handed out.

The installation is loaded lazily on first use: from the JSON file named by
VELMORA_BASE_INSTALLATION if set, else the built-in demo plant.  The demo is
a plant nobody chose: as soon as REST hosts are set in the environment
(VELMORA_BASE_REST_HOSTS, a real plant) its masters are left out, on every
transport.  An installation that is named (the variable, or
``sim.use_installation``) keeps its emulated masters.  ``reset()``
rebuilds the plant from the same installation and runs the reset hooks (the
driver layer uses one to clear the driver manager and to re-create the
drivers the installation says the manager already holds).
"""

from __future__ import annotations

import dataclasses
import os
import threading
from collections import deque
from dataclasses import dataclass, field
from typing import Any, Callable

from . import _installation
from ._backend import TransportBackend
from ._emulation import Plant
from ._installation import DEMO_SOURCE, ENV_VAR, Installation
from ._rest import ENV_HOSTS, IpTransport

__all__ = ["ENV_VAR", "EVENT_LOG_LIMIT", "Event", "Runtime", "runtime"]

# Events kept since the last reset; older ones are dropped, so that a
# long-running process does not grow with every check.
EVENT_LOG_LIMIT = 10_000


@dataclass(frozen=True)
class Event:
    """One thing that happened, e.g. Event("master-connect", "IP", "192.168.10.21", {...})."""

    kind: str
    transport: str | None = None
    address: str | None = None
    detail: dict[str, Any] = field(default_factory=dict)


class Runtime:
    def __init__(self) -> None:
        self.lock = threading.RLock()
        self._chosen: Installation | None = None  # set by use(); None = env var or demo
        self._installation: Installation | None = None
        self._plant: Plant | None = None
        self._demo_off = False  # the plant was built without the demo's masters
        self.noted = False  # the note on emulated masters was given
        self._backends: dict[str, TransportBackend] = {}
        # IP: the in-process masters plus masters reached over REST (_rest).
        self._defaults: dict[str, TransportBackend] = {"IP": IpTransport(self.plant)}
        self._reset_hooks: list[Callable[[Plant | None], None]] = []
        self.events: deque[Event] = deque(maxlen=EVENT_LOG_LIMIT)
        # Driver objects handed out since the last reset and still open (for
        # the test hooks; the driver layer drops them when closed).
        self.base_drivers: list[Any] = []
        self.master_drivers: list[Any] = []

    # -- installation --------------------------------------------------------

    def plant(self) -> Plant:
        """The live plant, loading the installation on first use; rebuilt
        when REST hosts come into or leave the environment while the demo is
        in use (its masters are then left out or back)."""
        with self.lock:
            if self._plant is None:
                if self._installation is None:
                    self._installation = self._chosen or _installation.load_default()
                self._fresh()
            elif self._installation is not None and self._demo_off != self._without_demo(self._installation):
                self._fresh()
            assert self._plant is not None
            return self._plant

    def _without_demo(self, installation: Installation) -> bool:
        return (self._chosen is None and installation.source == DEMO_SOURCE
                and bool(os.environ.get(ENV_HOSTS, "").strip()))

    def installation(self) -> Installation:
        return self.plant().installation

    def use(self, installation: Installation | None) -> None:
        """Switch to an installation (None: back to env var / demo, loaded lazily)."""
        with self.lock:
            self.noted = False
            self._chosen = installation
            self._installation = installation
            self._plant = None
            self._forget()
            if installation is not None:
                self.plant()

    def reset(self) -> None:
        with self.lock:
            if self._installation is None:
                self._plant = None
                self._forget()
            else:
                self._fresh()

    def _forget(self) -> None:
        self.events.clear()
        self.base_drivers.clear()
        self.master_drivers.clear()
        for hook in self._reset_hooks:
            hook(None)

    def _fresh(self) -> None:
        assert self._installation is not None
        installation = self._installation
        self._demo_off = self._without_demo(installation)
        if self._demo_off:
            installation = dataclasses.replace(installation, masters=())
        self._plant = Plant(installation)
        self.events.clear()
        self.base_drivers.clear()
        self.master_drivers.clear()
        for hook in self._reset_hooks:
            hook(self._plant)

    def on_reset(self, hook: Callable[[Plant | None], None]) -> None:
        self._reset_hooks.append(hook)

    # -- transports ------------------------------------------------------------

    def backend(self, transport: str) -> TransportBackend:
        plant = self.plant()
        return self._backends.get(transport) or self._defaults.get(transport) or plant.transports[transport]

    def ip_transport(self) -> TransportBackend:
        """The IP transport, without loading the installation."""
        return self._backends.get("IP") or self._defaults["IP"]

    def set_backend(self, transport: str, backend: TransportBackend | None) -> None:
        """Put another implementation behind a transport; None returns to the
        default (for IP: in-process masters and REST, else in-process only)."""
        with self.lock:
            if backend is None:
                self._backends.pop(transport, None)
            else:
                self._backends[transport] = backend

    # -- event log ---------------------------------------------------------------

    def record(self, kind: str, transport: str | None = None, address: str | None = None, **detail: Any) -> None:
        with self.lock:
            self.events.append(Event(kind, transport, address, detail))


runtime = Runtime()
