"""Reading REST masters ahead of the listing.

The application lists the masters of a base driver one after the other,
each a chain of requests to a slow embedded web server.  Once the masters
are known (discovery, or each address as soon as it is found), a
``ReadAhead`` reads their listing data concurrently, in the listing's order
and at most a window of masters ahead of it: a pool of at most ``workers``
threads, each reading one master at a time on a connection of its own
(closed before the master's session opens, so a master never has two).

What is read is exactly what a session's listing asks for (the port list,
the port configurations, the device list, each device's identification):
a copy of the master (``RestMaster.reader``) runs the listing on a
recording client, quietly.  When the application opens the master, its
session waits for the read-ahead under way, then takes the recorded
answers and replays each once instead of asking the master again.  Nothing
else changes: the same code reads the same answers, so the report, its
warnings and their order are those of a listing without read-ahead.

A read-ahead that failed (a lost connection, a timeout) is dropped and the
session reads the master in order as without it; so is one older than the
session deadline.  A master whose ports are all off is read only up to its
port configurations, since "auto" may write them; a write of the session
drops what is left of the recording (``Client.request``).

``close()`` (the base driver's) stops every read-ahead: requests under way
are woken by shutting their sockets down, and the threads are joined.
"""

from __future__ import annotations

import os
import threading
import time
from collections.abc import Iterable, Mapping
from typing import Any

from .. import _http
from .._backend import MasterLink
from .._errors import IoddError
from .._log import quiet
from .client import Client, RestError, recalled
from .master import RestMaster

ENV_WORKERS = "VELMORA_BASE_REST_WORKERS"
DEFAULT_WORKERS = 32  # masters read at the same time
MAX_WORKERS = 256
WINDOW = 2  # masters read ahead of the listing: WINDOW x workers

# What a session takes over: the answers by path, and the connection.
Recording = tuple[dict[str, tuple[bool, Any]], _http.Connection]


def workers(environ: Mapping[str, str] = os.environ) -> int:
    """Masters read at once, from the environment (0: no read-ahead)."""
    text = environ.get(ENV_WORKERS, "").strip()
    if not text:
        return DEFAULT_WORKERS
    if not text.isdigit() or int(text) > MAX_WORKERS:
        raise IoddError(f"{ENV_WORKERS}: expected a number of masters (0 to {MAX_WORKERS}), got {text!r}")
    return int(text)


class Recorder(Client):
    """The read-ahead's client of one master: its own connection, every
    GET answer (or error answer) kept by path and asked for once.  A lost
    connection is not kept: the read-ahead has failed then.  Once ``stop``
    is set no request starts."""

    def __init__(self, client: Client, stop: threading.Event):
        super().__init__(client.address, client.target, client.settings, client.auth)
        self.stop = stop
        self.answers: dict[str, tuple[bool, Any]] = {}

    def request(self, method: str, path: str, body: Any = None) -> Any:
        if method != "GET" or self.stop.is_set():
            raise self.lost(self.what(method, path), "read-ahead stopped")
        if path in self.answers:  # asked twice by a listing: the session asks the master the second time
            return recalled(self.answers[path])
        try:
            value = super().request(method, path, body)
        except RestError as exc:
            if not exc.link:
                self.answers[path] = (False, exc)
            raise
        self.answers[path] = (True, value)
        return value


class _Entry:
    """One master of the read-ahead, in the listing's order."""

    def __init__(self, index: int, master: RestMaster):
        self.index = index
        self.master = master
        self.state = "waiting"  # then "reading", "done", or "taken" (by the session)
        self.done = threading.Event()
        self.recorder: Recorder | None = None
        self.answers: dict[str, tuple[bool, Any]] | None = None
        self.started = 0.0


class ReadAhead:
    """The read-ahead of one base driver's masters."""

    def __init__(self, environ: Mapping[str, str] = os.environ):
        self._environ = environ
        self.workers: int | None = None  # read from the environment with the first master
        self._lock = threading.Lock()
        self._entries: list[_Entry] = []
        self._by_master: dict[int, _Entry] = {}
        self._next = 0  # index of the next entry a worker looks at
        self._listed = 0  # entries the listing has reached
        self._threads: list[threading.Thread] = []
        self._busy = 0  # threads that have not ended their work
        self._started = 0
        self._stop = threading.Event()

    def add(self, links: Iterable[MasterLink]) -> None:
        """Masters to read, after those added before, in the listing's order."""
        masters = [link for link in links if isinstance(link, RestMaster)]
        if masters and self.workers is None:
            self.workers = workers(self._environ)
        if not masters or not self.workers:
            return
        with self._lock:
            if self._stop.is_set():
                return
            for link in masters:
                if id(link) not in self._by_master:
                    entry = _Entry(len(self._entries), link)
                    self._entries.append(entry)
                    self._by_master[id(link)] = entry
                    link.ahead = self.take
            self._spawn()

    def take(self, master: RestMaster) -> Recording | None:
        """The recorded answers of a master whose session opens, and the
        connection they were read on (open, idle), once: waits for its
        read-ahead under way; None when there is none to use."""
        with self._lock:
            entry = self._by_master.get(id(master))
            if entry is None or entry.state == "taken":
                return None
            self._listed = max(self._listed, entry.index + 1)
            for passed in self._entries[:entry.index]:  # the listing is past them
                if passed.state in ("waiting", "done"):
                    self._drop(passed)
            self._spawn()  # the window moved on
            if entry.state == "waiting":  # not started: the session reads it
                entry.state = "taken"
                return None
        entry.done.wait()
        with self._lock:
            answers, recorder = entry.answers, entry.recorder
            entry.answers, entry.recorder, entry.state = None, None, "taken"
        if recorder is None:
            return None
        if answers is None or time.monotonic() - entry.started > master.client.settings.session_timeout:
            recorder.end()
            return None
        return answers, recorder.connection

    def close(self) -> None:
        """Stop every read-ahead and wait for its thread; the answers go."""
        with self._lock:
            self._stop.set()
            threads = list(self._threads)
            for entry in self._entries:
                if entry.recorder is not None and not entry.done.is_set():
                    entry.recorder.connection.interrupt()
        for thread in threads:
            thread.join()
        with self._lock:
            self._threads.clear()
            for entry in self._entries:
                self._drop(entry)
                entry.master.ahead = None
            self._entries.clear()
            self._by_master.clear()
        _http.settle_lookups()

    @staticmethod
    def _drop(entry: _Entry) -> None:
        """Forget what was read of a master (no thread reads it now)."""
        if entry.recorder is not None:
            entry.recorder.end()
        entry.state, entry.answers, entry.recorder = "taken", None, None

    def _eligible(self) -> list[_Entry]:
        """The masters to read now (with the lock held): not started, in
        the window."""
        end = min(len(self._entries), self._listed + WINDOW * (self.workers or 0))
        return [e for e in self._entries[self._next:end] if e.state == "waiting"]

    def _spawn(self) -> None:
        """Threads for the masters to read now, at most ``workers`` (with
        the lock held).  A thread ends when there is none left to read."""
        want = min(self.workers or 0, len(self._eligible()))
        if self._busy < want:
            self._threads = [t for t in self._threads if t.is_alive()]
        while not self._stop.is_set() and self._busy < want:
            self._started += 1
            thread = threading.Thread(target=self._work, name=f"rest-read-ahead-{self._started}", daemon=True)
            self._threads.append(thread)
            self._busy += 1
            thread.start()

    def _pick(self) -> _Entry | None:
        """The next master to read (with the lock held); None: the thread
        ends."""
        eligible = [] if self._stop.is_set() else self._eligible()
        if not eligible:
            self._busy -= 1
            return None
        entry = eligible[0]
        self._next = entry.index + 1
        entry.state, entry.started = "reading", time.monotonic()
        entry.recorder = Recorder(entry.master.client, self._stop)
        return entry

    def _work(self) -> None:
        with quiet():
            while True:
                with self._lock:
                    entry = self._pick()
                if entry is None:
                    return
                assert entry.recorder is not None
                answers = None
                try:
                    answers = read(entry.master, entry.recorder)
                finally:
                    with self._lock:
                        # kept for the session; dropped when the listing went past
                        if answers is not None and entry.state == "reading" and entry.index >= self._listed - 1:
                            entry.state, entry.answers = "done", answers
                        else:
                            self._drop(entry)
                        entry.done.set()


def read(master: RestMaster, recorder: Recorder) -> dict[str, tuple[bool, Any]] | None:
    """Run the listing of a master on the recorder: its answers (its
    connection stays open for the session), None when the read-ahead
    failed."""
    reader = master.reader(recorder)  # never closed: that would close the connection
    try:
        reader.open()
        if any(mode != "DEACTIVATED" for mode in reader.port_modes()):
            reader.devices()
    except Exception:  # the session reads the master and meets the problem itself
        return None
    return recorder.answers
