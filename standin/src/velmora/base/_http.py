"""HTTP/1.1 for the REST client: one persistent connection to one master,
and a total deadline on every request.

The standard library's ``http.client`` does the protocol (keep-alive,
chunked bodies, limits on header lines and counts).  What it lacks is a
deadline for a whole request: its timeout bounds each socket call, so a
master trickling one byte a second never times out.  Here every blocking
call on the socket (connect, send, each receive) gets the shorter of the
read timeout and the time left until the request's deadline, so a request
ends by its deadline whatever the master sends.

A ``Stop`` ends the requests of every connection given it: once set (the
check was aborted), no request starts and those under way fail at once with
``Aborted``, their sockets shut down.  Each base driver has its own, which
the calls it makes into a transport find as ``current_stop()``.

An idle connection that the master has closed is noticed before a request
is sent and reopened; when the master closes it while a request is on its
way (the request went out, nothing came back), the request is sent once
more on a new connection if it is idempotent, never a POST.
"""

from __future__ import annotations

import contextlib
import contextvars
import functools
import hashlib
import http.client
import os
import json
import selectors
import socket
import ssl
import sys
import threading
import time
from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, Any, Protocol

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer

MAX_ANSWER = 1 << 20  # bytes; a bigger answer is not an IO-Link master's
IDEMPOTENT = frozenset({"GET", "HEAD", "OPTIONS", "PUT", "DELETE"})


class Clock:
    """The limits of one request: a timeout for connecting, one for each
    wait for data, and a deadline (monotonic time) for the whole request,
    the earlier of its own and its session's (``session``).  ``cause``
    names the limit that the last wait was given."""

    def __init__(self, connect_timeout: float, read_timeout: float, deadline: float,
                 session: float = float("inf")):
        self.connect_timeout = connect_timeout
        self.read_timeout = read_timeout
        self.session = session
        self.deadline = min(deadline, session)
        self.cause = "connect"

    @property
    def by_session(self) -> bool:
        """The deadline is the session's."""
        return self.session <= self.deadline

    def end_session(self, session: float) -> None:
        """The session ends by this time at the latest."""
        self.session = min(self.session, session)
        self.deadline = min(self.deadline, self.session)

    def take(self, other: Clock) -> None:
        """The limits and cause of another clock (a failure told again)."""
        self.__dict__.update(other.__dict__)

    def wait(self, phase: str) -> float:
        """The time limit of the next wait of the phase ("connect" or
        "read"), the deadline's rest where that is shorter."""
        limit = self.connect_timeout if phase == "connect" else self.read_timeout
        left = self.deadline - time.monotonic()
        if left <= 0:
            self.cause = "deadline"
            raise TimeoutError("deadline passed")
        self.cause = phase if limit <= left else "deadline"
        return min(limit, left)

    def arm(self, sock: socket.socket, phase: str) -> None:
        """Give the next blocking call on sock its time limit."""
        sock.settimeout(self.wait(phase))


class Aborted(ConnectionAbortedError):
    """The request was not made, or ended, because the check was aborted."""


class Stop:
    """The abort of one base driver's work: once ``set()``, no request of
    a connection given this stop starts, and those under way end at once
    (their sockets are shut down)."""

    def __init__(self) -> None:
        self._event = threading.Event()
        self._lock = threading.Lock()
        self._busy: set[Connection] = set()

    def __repr__(self) -> str:
        return f"<Stop {'set' if self.is_set() else 'clear'}>"

    def is_set(self) -> bool:
        return self._event.is_set()

    def wait(self, timeout: float) -> bool:
        return self._event.wait(timeout)

    def set(self) -> None:
        with self._lock:
            self._event.set()
            busy = list(self._busy)
        for connection in busy:
            connection.interrupt()

    @contextlib.contextmanager
    def guard(self, connection: Connection) -> Iterator[None]:
        """Around one request: raises Aborted when set, before or during it."""
        with self._lock:
            if self._event.is_set():
                raise Aborted("the check was aborted")
            self._busy.add(connection)
        try:
            yield
        except Exception:
            if self._event.is_set():
                raise Aborted("the check was aborted") from None
            raise
        finally:
            with self._lock:
                self._busy.discard(connection)


_current_stop: contextvars.ContextVar[Stop | None] = contextvars.ContextVar("velmora_base_stop", default=None)


def current_stop() -> Stop:
    """The stop of the base driver whose call is under way (a fresh one,
    never set, outside of one)."""
    return _current_stop.get() or Stop()


@contextlib.contextmanager
def stopped_by(stop: Stop) -> Iterator[None]:
    """Make stop the current one for the calls within."""
    token = _current_stop.set(stop)
    try:
        yield
    finally:
        _current_stop.reset(token)


class LookupTimeout(TimeoutError):
    """The name of a master had no address within the connect timeout (or
    the deadline: the clock's cause says which)."""


# Name look-ups under way, each in a thread of its own (see resolve()), and
# the deadline of the request that started it.
_lookups: dict[threading.Thread, float] = {}
_lookups_lock = threading.Lock()


def settle_lookups() -> None:
    """Wait for the name look-ups that requests gave up on, each at most up
    to its request's deadline: the resolver ends each by its own timeouts
    (seconds per name server and attempt), so that no thread of a check
    outlives it."""
    with _lookups_lock:
        pending = list(_lookups.items())
    for thread, deadline in pending:
        thread.join(max(0.0, deadline - time.monotonic()))


def resolve(host: str, port: int, clock: Clock) -> list[tuple[Any, ...]]:
    """socket.getaddrinfo() for a TCP connection, within the clock's connect
    timeout. No socket timeout bounds the resolver's own waits (seconds per
    name server and attempt), so a name is looked up in a thread of its own,
    which is left to finish when the time is up (the base driver's close()
    waits for it, see settle_lookups()). Addresses (the
    discovery of host ranges) need no look-up and no thread."""
    try:
        return socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_NUMERICHOST)
    except socket.gaierror:
        pass
    limit = clock.wait("connect")
    found: list[list[tuple[Any, ...]]] = []
    failed: list[BaseException] = []

    def look_up() -> None:
        try:
            found.append(socket.getaddrinfo(host, port, type=socket.SOCK_STREAM))
        except BaseException as exc:  # handed to the caller
            failed.append(exc)
        finally:
            with _lookups_lock:
                _lookups.pop(threading.current_thread(), None)

    thread = threading.Thread(target=look_up, name=f"name lookup {host}", daemon=True)
    with _lookups_lock:
        _lookups[thread] = clock.deadline
    thread.start()
    thread.join(limit)
    if thread.is_alive():
        raise LookupTimeout(f"no address for {host!r} within {limit:g} s")
    if failed:
        raise failed[0]
    return found[0]


class _TimedSocket(socket.socket):
    """A socket whose every send and receive is limited by a Clock."""

    clock: Clock | None = None

    # The arguments are passed on as given: the plain and the TLS socket's
    # recv_into differ in their defaults.
    def recv_into(self, *args: Any, **kwargs: Any) -> int:
        if self.clock is not None:
            self.clock.arm(self, "read")
        return super().recv_into(*args, **kwargs)

    def sendall(self, data: ReadableBuffer, flags: int = 0) -> None:
        if self.clock is not None:
            self.clock.arm(self, "read")
        super().sendall(data, flags)


class _TimedSSLSocket(_TimedSocket, ssl.SSLSocket):
    """The same for a TLS connection: _TimedSocket's methods come first and
    pass each call on to the TLS socket's."""


def tls_context() -> ssl.SSLContext:
    """The context of every verified TLS connection: the system's CA
    certificates, or a plant's own CA from SSL_CERT_FILE / SSL_CERT_DIR
    when set; its sockets are timed."""
    return _tls_context(os.environ.get("SSL_CERT_FILE") or None, os.environ.get("SSL_CERT_DIR") or None)


def ca_problem() -> str | None:
    """Why the CA certificates that SSL_CERT_FILE / SSL_CERT_DIR name
    cannot be used (naming the variable and the file), or None."""
    cafile, capath = os.environ.get("SSL_CERT_FILE") or None, os.environ.get("SSL_CERT_DIR") or None
    if capath and not os.path.isdir(capath):
        return f"SSL_CERT_DIR: {capath!r} is no directory of CA certificates"
    try:
        _tls_context(cafile, capath)
    except (OSError, ssl.SSLError) as exc:
        name, path = ("SSL_CERT_FILE", cafile) if cafile else ("SSL_CERT_DIR", capath)
        why = exc.strerror if isinstance(exc, OSError) and exc.strerror else getattr(exc, "reason", None) or exc
        return f"{name}: the CA certificates in {path!r} cannot be loaded ({why})"
    return None


@functools.cache
def _tls_context(cafile: str | None, capath: str | None) -> ssl.SSLContext:
    """One context per CA setting (the certificates are loaded once)."""
    context = ssl.create_default_context()  # certificates are verified
    if cafile or capath:  # said explicitly: not every platform's default paths read these variables
        context.load_verify_locations(cafile=cafile, capath=capath)
    context.sslsocket_class = _TimedSSLSocket
    return context


@functools.cache
def unverified_context() -> ssl.SSLContext:
    """For pinned masters, whose certificate is checked by its fingerprint
    alone, and for reading the certificate that a refused master presents."""
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    context.sslsocket_class = _TimedSSLSocket
    return context


def fingerprint(der: bytes) -> str:
    """A certificate's SHA-256 as masters display it: AB:CD:..."""
    return ":".join(f"{b:02X}" for b in hashlib.sha256(der).digest())


class CertificateProblem(ssl.SSLCertVerificationError):
    """A master's certificate was refused: ``reason``, and the SHA-256
    ``fingerprint`` of the certificate it presented (None if unknown)."""

    def __init__(self, reason: str, fingerprint: str | None):
        super().__init__(reason)
        self.reason = reason
        self.fingerprint = fingerprint


class _HTTPConnection(http.client.HTTPConnection):
    """http.client's connection on a timed socket."""

    def __init__(self, host: str, port: int, tls: ssl.SSLContext | None, pins: frozenset[str] = frozenset()):
        super().__init__(host, port)
        self.tls = unverified_context() if tls is not None and pins else tls
        self.pins = pins  # SHA-256 fingerprints (AB:CD:...) that alone make a certificate trusted
        self.clock: Clock | None = None
        self.pending: socket.socket | None = None  # the socket being connected (interrupt() reaches it)

    def connect(self) -> None:
        clock = self.clock
        assert clock is not None
        error: OSError = OSError("no address")
        for family, kind, proto, _, address in resolve(self.host, self.port, clock):
            sock = self.pending = _TimedSocket(family, kind, proto)
            try:
                clock.arm(sock, "connect")
                sock.connect(address)
                break
            except OSError as exc:
                sock.close()
                error = exc
            except BaseException:
                sock.close()
                raise
        else:
            raise error
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sock.clock = clock
        if self.tls is None:
            self.sock, self.pending = sock, None
            return
        try:
            clock.arm(sock, "read")  # the handshake as a whole
            tls_sock = self.tls.wrap_socket(sock, server_hostname=self.host)
        except ssl.SSLCertVerificationError as exc:
            sock.close()
            reason = f"{exc.reason} ({exc.verify_message})" if exc.verify_message else str(exc.reason or exc)
            raise CertificateProblem(reason, self._presented(clock)) from None
        except BaseException:
            sock.close()
            raise
        assert isinstance(tls_sock, _TimedSSLSocket)
        if self.pins:
            der = tls_sock.getpeercert(binary_form=True)
            presented = fingerprint(der) if der else None
            if presented not in self.pins:
                tls_sock.close()
                raise CertificateProblem("not the pinned certificate", presented)
        tls_sock.clock = clock
        self.sock, self.pending = tls_sock, None

    def _presented(self, clock: Clock) -> str | None:
        """The fingerprint of the certificate the master presents, read on
        a connection of its own within the clock's limits; None when that
        fails."""
        try:
            for family, kind, proto, _, address in resolve(self.host, self.port, clock):
                with _TimedSocket(family, kind, proto) as sock:
                    clock.arm(sock, "connect")
                    sock.connect(address)
                    clock.arm(sock, "read")
                    with unverified_context().wrap_socket(sock, server_hostname=self.host) as tls_sock:
                        der = tls_sock.getpeercert(binary_form=True)
                        return fingerprint(der) if der else None
        except (OSError, ValueError):
            pass
        return None

    def use(self, clock: Clock) -> None:
        self.clock = clock
        if isinstance(self.sock, (_TimedSocket, _TimedSSLSocket)):
            self.sock.clock = clock

    def dropped(self) -> bool:
        """True when an idle open connection has something to read: the
        master closed it (or sent what nobody asked for)."""
        if self.sock is None:
            return False
        try:
            with selectors.DefaultSelector() as selector:
                selector.register(self.sock, selectors.EVENT_READ)
                return bool(selector.select(0))
        except (OSError, ValueError):
            return True


class Answer:
    """One HTTP answer: status, reason phrase, body, the challenge of a
    401 (its WWW-Authenticate header) and where a redirect points (its
    Location header)."""

    def __init__(self, status: int, reason: str, body: bytes, challenge: str = "", location: str = ""):
        self.status = status
        self.reason = reason
        self.body = body
        self.challenge = challenge
        self.location = location


class TooLarge(Exception):
    """The answer's body is larger than MAX_ANSWER."""


class Line(Protocol):
    """What a client sends its requests through: a ``Connection``, or a
    layer over one (the read-ahead's)."""

    def request(self, method: str, url: str, body: bytes | None, headers: Mapping[str, str],
                clock: Clock) -> Answer: ...

    def close(self) -> None: ...

    def interrupt(self) -> None: ...


class Connection:
    """One persistent HTTP/1.1 connection to a master, opened on the first
    request.  Not thread-safe: one session uses it at a time."""

    def __init__(self, host: str, port: int, tls: ssl.SSLContext | None, pins: frozenset[str] = frozenset(),
                 stop: Stop | None = None):
        self._conn = _HTTPConnection(host, port, tls, pins)
        self.stop = stop or Stop()
        self.opened = 0  # TCP connections made

    @property
    def is_open(self) -> bool:
        return self._conn.sock is not None

    def close(self) -> None:
        self._conn.close()

    def interrupt(self) -> None:
        """From another thread: a request under way on the connection fails
        at once (its socket is shut down; the request's thread closes it)."""
        sock = self._conn.sock or self._conn.pending
        if sock is not None:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def request(self, method: str, url: str, body: bytes | None, headers: Mapping[str, str], clock: Clock) -> Answer:
        """Send one request and read its answer by the clock's deadline.
        Raises OSError (TimeoutError, ConnectionError, Aborted ...),
        CertificateProblem, http.client.HTTPException or TooLarge; the
        connection is then closed."""
        with self.stop.guard(self):
            return self._request(method, url, body, headers, clock)

    def _request(self, method: str, url: str, body: bytes | None, headers: Mapping[str, str],
                 clock: Clock) -> Answer:
        conn = self._conn
        for attempt in (1, 2):
            if conn.dropped():
                conn.close()
            reused = conn.sock is not None
            conn.use(clock)
            try:
                if not reused:
                    self.opened += 1
                    conn.connect()
                conn.request(method, url, body=body, headers=dict(headers))
                answer = conn.getresponse()
                if answer.length is not None:  # a Content-Length: all of it, or IncompleteRead
                    if answer.length > MAX_ANSWER:
                        raise TooLarge()
                    raw = answer.read()
                else:  # chunked, or up to the end of the connection
                    raw = answer.read(MAX_ANSWER + 1)
            except (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError):
                conn.close()
                if reused and attempt == 1 and method in IDEMPOTENT:
                    continue  # the master closed the idle connection as the request went out
                raise
            except BaseException:
                conn.close()
                raise
            if len(raw) > MAX_ANSWER:
                conn.close()
                raise TooLarge()
            if answer.will_close or not answer.isclosed():
                conn.close()
            return Answer(answer.status, answer.reason, raw, answer.getheader("WWW-Authenticate", "") or "",
                          answer.getheader("Location", "") or "")
        raise AssertionError("unreachable")


# ---------------------------------------------------------------- JSON


def _unique_keys(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    obj: dict[str, Any] = {}
    for key, value in pairs:
        if key in obj:
            raise ValueError(f"duplicate key {key!r}")
        obj[key] = value
    return obj


def _no_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a JSON number")


def decode_json(raw: bytes) -> Any:
    """The JSON value of an answer; raises ValueError naming the problem:
    not UTF-8, malformed, nested too deeply, duplicate keys, NaN/Infinity,
    integers beyond the interpreter's digit limit."""
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise ValueError(f"not UTF-8 text: {exc.reason} at byte {exc.start}") from None
    try:
        return json.loads(text, object_pairs_hook=_unique_keys, parse_constant=_no_constant)
    except RecursionError:
        raise ValueError("nested too deeply") from None
    except json.JSONDecodeError as exc:
        raise ValueError(f"{exc.msg} at line {exc.lineno}, column {exc.colno}") from None
    except ValueError as exc:
        if "integer string conversion" in str(exc):
            raise ValueError(f"an integer of more than {sys.get_int_max_str_digits()} digits") from None
        raise
