"""Rounds of checks, compared: what changed in the plant since the round
before (tessadyn-check --watch, the window's "Watch" switch).

Each round is one check recorded by inventory.Capture; its document is
compared with the previous round's by inventory.compare(), so every kind of
difference that the comparison knows is a change here too.  On top of it
the watch knows the plant's history: a master missing from a round is
"lost" (once), and "back" when a later round lists it again, its devices
then compared with what it had when it was last seen; a round that ends in
an error is one "check failed" line while the error stays the same.  No
terminal and no Kivy here.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import Any, Optional

from velmora.tools import inventory
from velmora.tools.report_text import safe

WATCH_SCHEMA = "watch.schema.json"
# Seconds from the start of one round to the start of the next, unless said.
DEFAULT_INTERVAL = 5.0

# The watch's own kinds of change, and their words; every other kind is one
# of the comparison's (inventory.KINDS).
OWN_KINDS = {
    "masterLost": "master lost",
    "masterBack": "master back",
    "noMaster": "no master answers",
    "checkFailed": "check failed",
    "checkCompleted": "check completed again",
}


def _key(address: Any) -> Any:
    # As the comparison tells addresses apart: 1 and "1" are two masters.
    return (type(address).__name__, address)


def now() -> str:
    """The time as a document gives it (ISO 8601, UTC, to the second)."""
    return datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def local_time(iso: str) -> str:
    """A document's time (ISO 8601, UTC) as the watch's lines show it: the
    local date and time to the second."""
    try:
        moment = datetime.strptime(iso, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=timezone.utc)
    except ValueError:
        return safe(iso)
    return moment.astimezone().strftime("%Y-%m-%d %H:%M:%S")


@dataclass
class Change:
    """One change between two rounds: a difference of the comparison, or
    one of the watch's own kinds (`message` for "check failed")."""

    time: str
    kind: str
    address: Any = None
    port: Any = None
    saved: Any = None
    found: Any = None
    message: Optional[str] = None

    @classmethod
    def of(cls, time: str, difference: inventory.Difference) -> "Change":
        return cls(time, difference.kind, difference.address, difference.port,
                   difference.saved, difference.found)

    def text(self) -> str:
        """The change without its time, one short safe line."""
        words = OWN_KINDS.get(self.kind)
        if words is None:
            return inventory.Difference(self.kind, self.address, self.port, self.saved,
                                        self.found).line()
        if self.message is not None:
            return f"{words}: {safe(' '.join(self.message.split()))}"
        if self.kind in ("masterLost", "masterBack"):
            where = self.address
            return f"{words}: {safe(where) if isinstance(where, str) else safe(json.dumps(where))}"
        return words

    def line(self) -> str:
        """The line the command prints: local time, then the change."""
        return f"{local_time(self.time)} {self.text()}"

    def to_json(self) -> dict:
        """The change as a JSON object of its own (watch.schema.json)."""
        entry: dict[str, Any] = {"time": self.time, "kind": self.kind, "address": self.address,
                                 "port": self.port}
        if self.kind in OWN_KINDS:
            if self.message is not None:
                entry["message"] = self.message
            return {**entry, "saved": self.saved, "found": self.found}
        return {**entry, **inventory.Difference(self.kind, self.address, self.port, self.saved,
                                                self.found).to_json(), "port": self.port}

    def json_line(self) -> str:
        return json_line(self.to_json())


def json_line(document: dict) -> str:
    """A document as one line of ASCII JSON (as inventory.dumps, on one line)."""
    return json.dumps(document, ensure_ascii=True).replace("\x7f", "\\u007f")


class Tracker:
    """The plant as the rounds so far saw it.  `first(document)` takes the
    first round; `next(document, failure)` each later one and returns its
    changes."""

    def __init__(self) -> None:
        self.last: Optional[dict] = None      # the last round's document that ended well
        self.known: dict[Any, dict] = {}      # each master as it was last seen
        self.failure: Optional[str] = None    # the error of the last round, if it had one

    def first(self, document: dict, failure: Optional[str] = None) -> None:
        self.failure = failure
        self._take(document)

    def _take(self, document: dict) -> None:
        self.last = document
        for master in document["masters"]:
            self.known[_key(master.get("address"))] = master

    def next(self, document: dict, failure: Optional[str] = None) -> list[Change]:
        """The changes since the last round; `failure`: the error that
        ended this round's check (the document then holds what was listed
        until then, and is not compared)."""
        time = document["time"]
        if failure is not None:
            changed = failure != self.failure
            self.failure = failure
            return [Change(time, "checkFailed", message=failure)] if changed else []
        changes = []
        if self.failure is not None:
            self.failure = None
            changes.append(Change(time, "checkCompleted"))
        if self.last is None:
            self._take(document)
            return changes
        before = self.last["masters"]
        present = {_key(m.get("address")) for m in before}
        now = [(_key(m.get("address")), m) for m in document["masters"]]
        back = [key for key, _ in now if key not in present and key in self.known]
        # The masters back are compared with what they had when last seen.
        saved = {**self.last, "masters": before + [self.known[key] for key in back]}
        differences = inventory.compare(saved, document)
        by_master: dict[Any, list[inventory.Difference]] = {}
        for difference in differences:
            if difference.kind != "masterMissing":
                by_master.setdefault(_key(difference.address), []).append(difference)
        for key, master in now:
            if key in back:
                changes.append(Change(time, "masterBack", master.get("address"),
                                      found=inventory._identity(master)))
            changes += [Change.of(time, d) for d in by_master.pop(key, [])]
        changes += [Change(time, "masterLost", d.address, saved=d.saved)
                    for d in differences if d.kind == "masterMissing"]
        if before and not now:
            changes.append(Change(time, "noMaster"))
        self._take(document)
        return changes
