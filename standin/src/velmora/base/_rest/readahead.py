"""Reading REST masters ahead of the listing.

The application lists the masters of a base driver one after the other,
each a chain of requests to a slow embedded web server.  Once the masters
are known (discovery, or each address as soon as it is found), a
``ReadAhead`` reads their listing data concurrently, in the listing's order
and at most a window of masters ahead of it: a pool of at most ``workers``
threads, each reading one master at a time on a connection of its own
(closed before the master's session opens, so a master never has two).

The read-ahead is one layer at the one point every request of a master
passes: the connection below its client.  ``Recording`` is the connection
of the read-ahead's own client and master object, which run exactly what a
session's listing asks for (the port list, the port configurations, the
device list, each device's identification), quietly, and keeps every
answer by request.  ``Replay`` is the connection of the master's own
client: the session's first request takes what was read (waiting for the
read-ahead under way), and each recorded answer is given once instead of
asking the master again.  The client and the master know nothing of it:
the same code reads the same answers, so the report, its warnings and
their order are those of a listing without read-ahead.

A master has one session deadline for its read-ahead and its session: the
time the read-ahead took counts.  A read-ahead that the master failed (a
timeout, a lost connection) is not repeated: the session gives what was
read, then meets the same failure at once, so that a plant of stalled
masters costs about one timeout per ``workers`` masters.  A read-ahead that
failed otherwise is dropped and the session reads the master in order as
without it; so is one older than the session deadline.  A master whose
ports are all off is read only up to its port configurations, since "auto"
may write them; a write of the session drops what is left of the
recording.

An abort of the base driver (``velmora.base.IoddUtility.abort()``) ends
every request of the read-ahead at once, and a session waiting for one.

``close()`` (the base driver's) stops every read-ahead: requests under way
are woken by shutting their sockets down, and the threads are joined.
"""

from __future__ import annotations

import copy
import os
import threading
import time
from collections.abc import Iterable, Mapping

from .. import _http
from .._backend import MasterLink
from .._errors import IoddError
from .._http import Answer, Clock, Line
from .._log import quiet
from .client import Client
from .master import RestMaster

ENV_WORKERS = "VELMORA_BASE_REST_WORKERS"
DEFAULT_WORKERS = 32  # masters read at the same time
MAX_WORKERS = 256
WINDOW = 2  # masters read ahead of the listing: WINDOW x workers
POLL = 0.1  # seconds between looks at the abort while a session waits for its read-ahead


def workers(environ: Mapping[str, str] = os.environ) -> int:
    """Masters read at once, from the environment (0: no read-ahead)."""
    text = environ.get(ENV_WORKERS, "").strip()
    if not text:
        return DEFAULT_WORKERS
    if not text.isdigit() or int(text) > MAX_WORKERS:
        raise IoddError(f"{ENV_WORKERS}: expected a number of masters (0 to {MAX_WORKERS}), got {text!r}")
    return int(text)


Key = tuple[str, str, str | None]  # method, URL, Authorization header
Kept = Answer | BaseException  # an answer, or what its request raised


class Recording:
    """The read-ahead's side of the layer: the connection of a client that
    reads one master ahead of the listing.  Every GET answer (or an answer
    too large) is kept by request, and asked for once; a failure of the
    master (a timeout, a lost connection) ends the read-ahead and is kept
    for the session.  Once ``stop`` is set no request starts, nor does any
    but a GET."""

    def __init__(self, connection: Line, stop: threading.Event):
        self.connection = connection
        self.stop = stop
        self.answers: dict[Key, Kept] = {}
        # The master's failure (a timeout, a broken connection) with the
        # limits of its request: told to the session instead of asking again.
        self.failure: tuple[BaseException, Clock] | None = None

    def close(self) -> None:
        self.connection.close()

    def interrupt(self) -> None:
        self.connection.interrupt()

    def request(self, method: str, url: str, body: bytes | None, headers: Mapping[str, str], clock: Clock) -> Answer:
        if method != "GET" or self.stop.is_set():
            raise ConnectionAbortedError("read-ahead stopped")
        key = (method, url, headers.get("Authorization"))
        if key in self.answers:  # asked twice by a listing: the session asks the master the second time
            return _given(self.answers[key])
        try:
            answer = self.connection.request(method, url, body, headers, clock)
        except _http.TooLarge as exc:
            self.answers[key] = exc
            raise
        except Exception as exc:
            if not self.stop.is_set() and not isinstance(exc, _http.Aborted):
                self.failure = (exc, copy.copy(clock))
            raise
        self.answers[key] = answer
        return answer


class Replay:
    """The session's side of the layer: the connection of a master's own
    client once the master is read ahead.  The session's first request
    takes what was read ahead (waiting for a read-ahead under way): its
    answers are given once each instead of asking the master again, and
    its connection becomes the session's, and the session's deadline counts
    the time the read-ahead took.  A request that is not a GET drops what is
    left; any other request that was not read fails as the read-ahead did,
    or goes to the master."""

    def __init__(self, ahead: ReadAhead, master: RestMaster, connection: Line):
        self._ahead = ahead
        self._master = master
        self.connection = connection
        self._taken = False
        self._answers: dict[Key, Kept] | None = None
        self._failure: tuple[BaseException, Clock] | None = None
        self._session_end = float("inf")  # what the read-ahead spent counts

    def close(self) -> None:
        self.connection.close()
        self._answers = self._failure = None
        self._session_end = float("inf")

    def interrupt(self) -> None:
        self.connection.interrupt()

    def request(self, method: str, url: str, body: bytes | None, headers: Mapping[str, str], clock: Clock) -> Answer:
        if not self._taken:
            self._taken = True
            taken = self._ahead.take(self._master)
            if taken is not None:
                recording, spent = taken
                self.connection.close()
                self.connection, self._answers, self._failure = recording.connection, recording.answers, recording.failure
                self._session_end = time.monotonic() + self._master.client.settings.session_timeout - spent
        clock.end_session(self._session_end)
        if self._answers is not None:
            if method != "GET":  # nothing read before a write is used after it
                self._answers = None
            elif (kept := self._answers.pop((method, url, headers.get("Authorization")), None)) is not None:
                return _given(kept)
        if self._failure is not None:  # the master failed the read-ahead: not asked again
            failure, limits = self._failure
            clock.take(limits)
            raise failure
        return self.connection.request(method, url, body, headers, clock)


def _given(kept: Kept) -> Answer:
    if isinstance(kept, BaseException):
        raise kept
    return kept


class _Entry:
    """One master of the read-ahead, in the listing's order."""

    def __init__(self, index: int, master: RestMaster):
        self.index = index
        self.master = master
        self.state = "waiting"  # then "reading", "done", or "taken" (by the session)
        self.done = threading.Event()
        self.reader: Client | None = None  # the read-ahead's client of the master, on the recording
        self.recording: Recording | None = None  # while read, and once read until taken
        self.read = False  # the recording is for the session: complete, or ended by the master's failure
        self.started = self.finished = 0.0


class ReadAhead:
    """The read-ahead of one base driver's masters."""

    def __init__(self, environ: Mapping[str, str] = os.environ, abort: _http.Stop | None = None):
        self._environ = environ
        self._abort = abort or _http.Stop()  # the base driver's
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
                    link.client.connection = Replay(self, link, link.client.connection)
            self._spawn()

    def take(self, master: RestMaster) -> tuple[Recording, float] | None:
        """What was read of a master whose session starts (its answers, and
        the connection they were read on, open and idle; or the failure
        that ended it) and the seconds it took, once: waits for its
        read-ahead under way; None when there is none to use, or the check
        was aborted."""
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
        while not entry.done.wait(POLL) and not self._abort.is_set():
            pass
        with self._lock:
            if not entry.done.is_set():  # aborted: the thread drops what it read
                entry.state = "taken"
                return None
            recording, read = entry.recording, entry.read
            entry.recording, entry.reader, entry.state = None, None, "taken"
        if recording is None:
            return None
        if not read or time.monotonic() - entry.started > master.client.settings.session_timeout:
            recording.close()
            return None
        return recording, entry.finished - entry.started

    def close(self) -> None:
        """Stop every read-ahead and wait for its thread; the answers go."""
        with self._lock:
            self._stop.set()
            threads = list(self._threads)
            for entry in self._entries:
                if entry.recording is not None and not entry.done.is_set():
                    entry.recording.interrupt()
        for thread in threads:
            thread.join()
        with self._lock:
            self._threads.clear()
            for entry in self._entries:
                self._drop(entry)
            self._entries.clear()
            self._by_master.clear()
        if not self._abort.is_set():  # aborted: the look-ups end on their own, no one waits for them
            _http.settle_lookups()

    @staticmethod
    def _drop(entry: _Entry) -> None:
        """Forget what was read of a master (no thread reads it now)."""
        if entry.recording is not None:
            entry.recording.close()
        entry.state, entry.recording, entry.reader = "taken", None, None

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
        entry.reader = entry.master.client.sibling(entry.master.address)
        entry.recording = entry.reader.connection = Recording(entry.reader.connection, self._stop)
        return entry

    def _work(self) -> None:
        with quiet():
            while True:
                with self._lock:
                    entry = self._pick()
                if entry is None:
                    return
                recording = entry.recording
                assert entry.reader is not None and recording is not None
                read = False
                try:
                    # What the session takes: all it asks for, or the failure that ended the read-ahead.
                    read = _read(entry.master, entry.reader) or recording.failure is not None
                finally:
                    entry.finished = time.monotonic()
                    with self._lock:
                        # kept for the session; dropped when the listing went past
                        if read and entry.state == "reading" and entry.index >= self._listed - 1:
                            entry.state, entry.read = "done", True
                        else:
                            self._drop(entry)
                        entry.done.set()


def _read(master: RestMaster, client: Client) -> bool:
    """Run the listing of a master on the read-ahead's client (quiet);
    False when the read-ahead failed.  The reader is never closed: that
    would close the connection the session takes."""
    reader = RestMaster(client, master.number, master.identity)
    try:
        reader.open()
        if any(mode != "DEACTIVATED" for mode in reader.port_modes()):
            reader.devices()
    except Exception:  # the session reads the master and meets the problem itself
        return False
    return True
