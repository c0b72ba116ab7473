"""The plant as a grid, for the window's plant view: one row per master, one
cell per port, each cell in one of five states.  Made from what one check
recorded (the inventory document, with the health and port faults the
driver library told of, and the port modes); no Kivy here.

Each state has a colour and a symbol, so that the grid reads without the
colours too (colour-blind users, a grey-scale print):

    state      symbol  when
    online     OK      a device is there
    diagnosis  !       a port (its device) with a pending diagnosis of
                       severity WARNING or worse, or invalid process data
    fault      X       the driver library told of a fault of the port
                       (communication lost, incorrect device, power off, ...)
    off        -       the port is deactivated
    empty      .       an active port without an IO-Link device (a DI or DO
                       port too)
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Any, Iterable, Optional

from velmora.tools.health import SHOWN, invalid_process_data
from velmora.tools.report_text import safe

ONLINE, DIAGNOSIS, FAULT, OFF, EMPTY = "online", "diagnosis", "fault", "off", "empty"
SYMBOLS = {ONLINE: "OK", DIAGNOSIS: "!", FAULT: "X", OFF: "-", EMPTY: "."}
# RGB 0..1: a problem is seen across the room.
COLOURS = {
    ONLINE: (0.18, 0.55, 0.25),
    DIAGNOSIS: (0.93, 0.62, 0.05),
    FAULT: (0.85, 0.14, 0.14),
    OFF: (0.30, 0.30, 0.33),
    EMPTY: (0.13, 0.13, 0.15),
}

@dataclass
class Cell:
    port: int
    state: str
    text: str = ""       # what the cell says under its symbol: product and tag (a line each), the fault
    changed: bool = False

    @property
    def symbol(self) -> str:
        return SYMBOLS[self.state]


@dataclass
class Row:
    address: Any
    name: str
    cells: list[Cell] = field(default_factory=list)
    changed: bool = False  # the master itself changed (new, back, its own diagnosis)
    problems: list[str] = field(default_factory=list)  # the master's own pending diagnoses


def _text(value: Any) -> str:
    return safe(" ".join(str(value).split())) if value not in (None, "") else ""


def _id(value: Any) -> str:
    return f"0x{value:04x}" if isinstance(value, int) and not isinstance(value, bool) else _text(value)


def _problems(diagnoses: Any, port: Optional[dict] = None) -> list[str]:
    """What the report shows of a port's (or a master's) health: its pending
    diagnoses of severity WARNING or worse, and process data the master
    says are invalid, each as a short text (the master's own words)."""
    found = [_text(d.get("text")) or " ".join(t for t in (_text(d.get("severity")), _code(d.get("code"))) if t)
             for d in (diagnoses if isinstance(diagnoses, list) else [])
             if isinstance(d, dict) and d.get("severity") in SHOWN]
    which = invalid_process_data(port) if isinstance(port, dict) else None
    if which:
        found.append(f"process data ({which}) invalid")
    return found


def _code(code: Any) -> str:
    return f"0x{code:04X}" if isinstance(code, int) and not isinstance(code, bool) else ""


def _fault(port: Optional[dict]) -> Optional[str]:
    """The words of a port's fault as the inventory holds it, None for none."""
    fault = port.get("fault") if port is not None else None
    if not isinstance(fault, dict):
        return None
    text = fault.get("text")
    return text if isinstance(text, str) else ""


def rows(document: dict, modes: Optional[dict] = None,
         changed: Iterable[tuple[Any, Any]] = ()) -> list[Row]:
    """The grid of a check: `modes` maps a master's address to its ports'
    modes (True: activated, False: deactivated), `changed` holds the
    (address, port) of each change the round found (port None: the
    master)."""
    modes = modes or {}
    marked = set(changed)
    grid = []
    for master in document.get("masters", []):
        address = master.get("address")
        devices = {d.get("port"): d for d in master.get("devices", []) if isinstance(d.get("port"), int)}
        health = {p.get("port"): p for p in master.get("ports") or []
                  if isinstance(p, dict) and isinstance(p.get("port"), int)}
        ports = list(modes.get(address) or [])
        count = max([len(ports), *devices, *health], default=0)
        row = Row(address, _text(master.get("name")), changed=(address, None) in marked,
                  problems=_problems(master.get("diagnoses")))
        for number in range(1, min(count, 64) + 1):
            device = devices.get(number)
            active = ports[number - 1] if number <= len(ports) else True
            port = health.get(number)
            fault = _fault(port)
            problems = _problems(port.get("diagnoses"), port) if port is not None else []
            words = ""
            if device is not None:
                ident = device.get("identification") or {}
                words = "\n".join(t for t in (_text(ident.get("productName")),
                                              _text(ident.get("applicationSpecificTag"))) if t) \
                    or f"{_id(device.get('vendorId'))}\n{_id(device.get('deviceId'))}"
            if fault is not None:
                # The gist, where the words end with it in parentheses.
                gist = re.search(r"\(([^()]+)\)$", fault)
                cell = Cell(number, FAULT, _text(gist[1] if gist else fault))
            elif problems:
                cell = Cell(number, DIAGNOSIS, "\n".join([problems[0], *words.split("\n")[:1]]).strip())
            elif device is not None:
                cell = Cell(number, ONLINE, words)
            else:
                cell = Cell(number, EMPTY if active else OFF)
            cell.changed = (address, number) in marked
            row.cells.append(cell)
        grid.append(row)
    return grid
