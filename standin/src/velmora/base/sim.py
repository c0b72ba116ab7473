"""Test hooks of the stand-in: choose the emulated installation, reset the
emulated state, and look at what the drivers were asked to do.

Typical use in a test::

    from velmora.base import sim

    sim.use_installation({"masters": [...]})    # or a path, or None for the default
    ... run the code under test ...
    assert sim.open_base_drivers() == []        # every base driver closed
    assert sim.open_master_drivers() == []      # every master driver disconnected
    assert sim.counts()["ports-activated"] == 1

Event kinds: base-created, base-closed, discover, base-connect,
master-connect, master-disconnect, get-port-modes, get-devices,
ports-activated.  Events carry the transport, the master address and a detail
dict (``options`` as passed by the caller, ``ok``/``error`` for operations
that can fail, ``found``/``count``/``ports`` where it applies).
"""

from __future__ import annotations

import os
from collections import Counter
from typing import Any, Mapping

# The driver layer: sim reports on its drivers, and reset() clears its driver
# manager through the reset hook that _IoddDrv registers with the runtime.
from . import _IoddDrv
from ._errors import InstallationError, IoddError
from ._installation import Installation, demo_document, load
from ._state import ENV_VAR, Event, runtime

__all__ = [
    "ENV_VAR",
    "Event",
    "Installation",
    "InstallationError",
    "IoddError",
    "counts",
    "demo_installation",
    "events",
    "installation",
    "load_installation",
    "open_base_drivers",
    "open_master_drivers",
    "options_received",
    "port_modes",
    "reset",
    "use_installation",
]


def load_installation(source: Mapping[str, Any] | str | os.PathLike[str]) -> Installation:
    """Validate an installation (dict or JSON file path) without using it.
    Raises InstallationError when it is malformed."""
    return load(source)


def use_installation(source: Mapping[str, Any] | str | os.PathLike[str] | Installation | None = None) -> Installation | None:
    """Switch to an installation and reset all emulated state.

    ``source`` is a dict, a JSON file path or an Installation; it is
    validated at once.  ``None`` goes back to the default (the file named by
    VELMORA_BASE_INSTALLATION, else the demo plant), loaded lazily at the
    next use and then returned as None.
    """
    installation = None if source is None else load(source)
    runtime.use(installation)
    return installation


def reset() -> None:
    """Fresh state for the current installation: port modes as in the
    installation, driver manager holding only what the installation says,
    no base or master drivers handed out, empty event log."""
    runtime.reset()


def installation() -> Installation:
    """The installation in use (loads it if not loaded yet)."""
    return runtime.installation()


def demo_installation() -> dict[str, Any]:
    """A fresh copy of the demo installation as a dict, to modify and pass to
    use_installation()."""
    return demo_document()


def events(kind: str | None = None, address: str | None = None) -> list[Event]:
    """The event log since the last reset, optionally filtered."""
    with runtime.lock:
        return [
            e
            for e in runtime.events
            if (kind is None or e.kind == kind) and (address is None or e.address == address)
        ]


def counts() -> Counter[str]:
    """Number of events per kind since the last reset."""
    return Counter(e.kind for e in events())


def options_received(address: str) -> list[tuple[str, Any]]:
    """(event kind, options) for every call that passed options to the master
    at address: base-connect (the drvopt dict), master-connect and
    get-devices (the option dict, a missing one counted as "off")."""
    return [(e.kind, e.detail["options"]) for e in events(address=address) if "options" in e.detail]


def open_base_drivers() -> list[Any]:
    """Base drivers created since the last reset and not closed."""
    return _IoddDrv.open_base_drivers()


def open_master_drivers() -> list[Any]:
    """Master drivers whose session was opened since the last reset (by
    base.connect or connect()) and not closed with disconnect().  Drivers the
    installation says the manager already held count only once reconnected."""
    return _IoddDrv.open_master_drivers()


def port_modes(address: str, transport: str | None = None) -> list[str]:
    """Current port modes of a master (after any "auto" activation)."""
    plant = runtime.plant()
    found = [m for m in plant.masters if m.address == address and (transport is None or m.transport == transport)]
    if not found:
        raise KeyError(f"no master {address!r}" + (f" on {transport}" if transport else ""))
    if len(found) > 1:
        raise ValueError(f"master address {address!r} is used on several transports; pass transport=")
    return found[0].current_modes()
