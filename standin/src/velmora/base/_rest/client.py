"""One request in, JSON or an error out: the REST client of one master.

A ``Client`` sends requests to the API of one master over one persistent
connection (``.._http``) and turns every failure into a ``RestError`` naming
the master, the request and the problem: the HTTP status with the API's
error code and message, connection refused, a timeout, malformed or hostile
JSON.
"""

from __future__ import annotations

import base64
import http.client
import json
import re
import socket
import ssl
import threading
import time
from collections.abc import Callable
from typing import Any

from .._address import Target
from .._errors import IoddError, WorkAborted
from .._protocol import ErrorCode
from .._http import (Aborted, Answer, CertificateProblem, Clock, Connection, Line, LookupTimeout, TooLarge,
                     decode_json, tls_context, unverified_context)
from .settings import ENV_PINS, Credential, Settings

MAX_TEXT = 1000  # characters of a text value


def short(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


class RestError(IoddError):
    """A failed request: ``Master ADDRESS: METHOD PATH: problem``.
    ``status`` and ``code`` are the HTTP status and the API's error code
    when the master answered; ``link`` is true for a ``LinkError``."""

    link = False
    redirect = ""  # where a 3xx answer pointed (its Location header)

    def __init__(self, master: str, what: str, problem: str, status: int | None = None, code: int | None = None):
        super().__init__(f"Master {master}: {what}: {problem}")
        self.master, self.what, self.problem = master, what, problem
        self.status = status
        self.code = code


class LinkError(RestError):
    """The connection failed: nothing, or no complete answer, came back."""

    link = True


class CheckAborted(LinkError, WorkAborted):
    """The check was aborted: the request was not made, or did not end."""


class CertificateRefused(LinkError):
    """The master's TLS certificate is not trusted; ``fingerprint`` is the
    SHA-256 of the certificate it presented (None when it sent none)."""

    def __init__(self, master: str, what: str, problem: str, fingerprint: str | None):
        super().__init__(master, what, problem)
        self.fingerprint = fingerprint


class AuthenticationNeeded(RestError):
    """401: the master wants credentials, or refused the ones sent."""


class PermissionDenied(RestError):
    """403 or error 150: the master's user management does not allow the request."""


class LockedByOtherClient(RestError):
    """Error 104: another client (a fieldbus controller) holds the master."""


class PortWriteRefused(IoddError):
    """A port configuration that the master did not take: names the master,
    the port, the mode and why (``cause``, the refused request's error)."""

    def __init__(self, master: str, port: int, mode: str, cause: RestError):
        super().__init__(f"Master {master} port {port}: not switched to {mode}, the master refused "
                         f"{cause.what}: {cause.problem}; its ports are listed as they are")
        self.cause = cause


def error_for(master: str, what: str, status: int, reason: str, code: int | None, message: Any,
              note: str = "") -> RestError:
    """The typed error of an error answer; the master's own words are
    shortened, the application escapes what it prints."""
    detail = ""
    if code is not None:
        known = ErrorCode.of(code)
        said = message[:MAX_TEXT] if isinstance(message, str) else ""
        if known is None:
            detail = f": [{code}] {said}"
        elif said.strip().casefold() in ("", known.message.casefold()):
            detail = f": [{code}] {known.message} ({known.words})"
        else:  # the master's own words last: they may be anything
            detail = f": [{code}] {known.words}; the master says: {said}"
    problem = f"HTTP {status} {reason[:MAX_TEXT]}{detail}" + (f": {note}" if note else "")
    kind = RestError
    if status == 401 or code == ErrorCode.AUTHENTICATION_INVALID:
        kind = AuthenticationNeeded
    elif status == 403 or code == ErrorCode.PERMISSION_DENIED:
        kind = PermissionDenied
    elif code == ErrorCode.ACTION_LOCKED:
        kind = LockedByOtherClient
    return kind(master, what, problem, status, code)


class Auth:
    """The credentials of one gateway's host and how the host asked for
    them: none are sent until the host answers 401 with a challenge; then
    the request goes once more with them, and every later request of the
    gateway's masters carries them from the start.  Basic or Bearer, as the
    challenge says (a bearer token is the netrc entry's password).  Shared
    by the clients of one gateway's masters."""

    def __init__(self, host: str, credential: Credential | None):
        self.host = host
        self.credential = credential
        self.scheme: str | None = None  # "Basic" or "Bearer" once the host asked
        self._lock = threading.Lock()
        # What a master may send back of the credentials sent to it (the
        # secret, and its Basic encoding), longest first.
        self._secrets: tuple[str, ...] = ()
        if credential is not None and credential.secret:
            self._secrets = tuple(sorted({credential.secret, _basic(credential)}, key=len, reverse=True))

    def __repr__(self) -> str:
        return f"<Auth {self.host}: {'with' if self.credential else 'no'} credentials, {self.scheme or 'not asked'}>"

    def ask(self, challenge: str) -> bool:
        """The host answered 401 with this challenge to a request sent
        without credentials: True when there are credentials to send, as
        the host asked for them now or when another client of the host
        learned it (the first challenge sets the scheme)."""
        if self.credential is None:
            return False
        with self._lock:
            if self.scheme is None:
                schemes = {part.strip().split(" ")[0].casefold() for part in challenge.split(",") if part.strip()}
                self.scheme = "Bearer" if "bearer" in schemes and "basic" not in schemes else "Basic"
        return self.header() is not None

    def clear(self, value: Any) -> Any:
        """A value a master sent (JSON, or a text), with every credential
        sent to the host replaced by "(hidden)": a master that echoes them
        gets them into no output.  Lists and objects are cleared in place,
        without recursion: however deep a master nests its answer (as deep
        as the JSON decoder takes), the stack is not exhausted."""
        if not self._secrets:
            return value
        if isinstance(value, str):
            return self._clear_text(value)
        pending = [value]
        while pending:
            node = pending.pop()
            if isinstance(node, list):
                for i, item in enumerate(node):
                    if isinstance(item, str):
                        node[i] = self._clear_text(item)
                    elif isinstance(item, (list, dict)):
                        pending.append(item)
            elif isinstance(node, dict):
                items = list(node.items())
                node.clear()
                for key, item in items:
                    if isinstance(item, str):
                        item = self._clear_text(item)
                    elif isinstance(item, (list, dict)):
                        pending.append(item)
                    node[self._clear_text(key) if isinstance(key, str) else key] = item
        return value

    def _clear_text(self, text: str) -> str:
        for secret in self._secrets:
            text = text.replace(secret, HIDDEN)
        return text

    def header(self) -> str | None:
        """The Authorization header's value, once the host asked."""
        credential = self.credential
        if self.scheme is None or credential is None:
            return None
        if self.scheme == "Bearer":
            return f"Bearer {credential.secret}" if _TOKEN.fullmatch(credential.secret) else None
        return "Basic " + _basic(credential)


HIDDEN = "(hidden)"


def _basic(credential: Credential) -> str:
    return base64.b64encode(f"{credential.login}:{credential.secret}".encode()).decode("ascii")


_TOKEN = re.compile(r"[A-Za-z0-9._~+/-]+=*")  # what a bearer token may hold


class Client:
    """Requests to the API of one master over one persistent connection.
    begin() starts a session (a probe, or a master session) with its
    deadline; end() closes the connection.  ``on_lost`` is called when a
    request fails because the connection failed."""

    def __init__(self, address: str, target: Target, settings: Settings, auth: Auth | None = None):
        self.address = address
        self.target = target
        self.settings = settings
        self.auth = auth or Auth(target.host, settings.credential(target.host))
        pins = settings.pinned(target.host, target.port) if target.scheme == "https" else frozenset()
        # A pinned master's certificate is checked by its fingerprint alone.
        tls = None if target.scheme != "https" else unverified_context() if pins else tls_context()
        self.connection: Line = Connection(target.host, target.port, tls, pins, settings.stop)
        self.on_lost: Callable[[], None] | None = None
        self._session_end = float("inf")

    def sibling(self, address: str) -> Client:
        """A client of its own for another master of the same gateway."""
        return Client(address, self.target, self.settings, self.auth)

    def begin(self) -> None:
        self.connection.close()
        self._session_end = time.monotonic() + self.settings.session_timeout

    def end(self) -> None:
        self.connection.close()
        self._session_end = float("inf")

    def what(self, method: str, path: str) -> str:
        return f"{method} {self.target.base}{path}"

    def fail(self, what: str, problem: str) -> RestError:
        return RestError(self.address, what, problem)

    def lost(self, what: str, problem: str) -> LinkError:
        return LinkError(self.address, what, problem)

    def get(self, path: str) -> Any:
        return self.request("GET", path)

    def request(self, method: str, path: str, body: Any = None) -> Any:
        try:
            return self._request(method, path, body)
        except RestError as exc:
            if exc.link and self.on_lost is not None:
                self.on_lost()
            exc.problem = self.auth.clear(exc.problem)
            exc.args = tuple(self.auth.clear(arg) for arg in exc.args)
            raise

    def _exchange(self, method: str, path: str, data: bytes | None, headers: dict[str, str]) -> Answer:
        """One request and its answer within the time limits; raises
        LinkError, or RestError for an answer too large."""
        s = self.settings
        what = self.what(method, path)
        now = time.monotonic()
        clock = Clock(s.connect_timeout, s.read_timeout, now + s.request_timeout, self._session_end)
        try:
            return self.connection.request(method, self.target.base + path, data, headers, clock)
        except Aborted:
            raise CheckAborted(self.address, what, "the check was aborted") from None
        except TimeoutError as exc:
            if clock.cause == "deadline":
                limit, name = (s.session_timeout, "session") if clock.by_session else (s.request_timeout, "request")
                problem = f"no complete answer within {limit:g} s ({name} deadline)"
            elif isinstance(exc, LookupTimeout):
                problem = (f"unknown host {self.target.host!r} (no address within "
                           f"{s.connect_timeout:g} s, connect timeout)")
            else:
                limit = s.connect_timeout if clock.cause == "connect" else s.read_timeout
                problem = f"no answer within {limit:g} s ({clock.cause} timeout)"
            raise self.lost(what, problem) from None
        except ConnectionRefusedError:
            raise self.lost(what, "connection refused") from None
        except TooLarge:
            # A bad answer, not a lost link: the connection was closed and the
            # next request opens a new one.
            raise self.fail(what, "answer larger than 1 MiB") from None
        except socket.gaierror as exc:
            raise self.lost(what, f"unknown host {self.target.host!r} ({exc.strerror})") from None
        except CertificateProblem as exc:
            presented = (f"the master presented the certificate SHA-256 {exc.fingerprint}: compare it with the "
                         f"master's display, then pin it: {ENV_PINS}={self.target.place}={exc.fingerprint}"
                         if exc.fingerprint else "the master's certificate could not be read")
            raise CertificateRefused(self.address, what, f"TLS error: {exc.reason}; {presented}",
                                     exc.fingerprint) from None
        except ssl.SSLError as exc:
            raise self.lost(what, f"TLS error: {exc.reason or exc}") from None
        except OSError as exc:
            raise self.lost(what, f"connection failed: {exc.strerror or short(exc)}") from None
        except (http.client.HTTPException, ValueError) as exc:  # what http.client makes of a broken answer
            raise self.lost(what, f"broken HTTP answer: {short(exc)}") from None

    def _request(self, method: str, path: str, body: Any) -> Any:
        what = self.what(method, path)
        data = None if body is None else json.dumps(body).encode("ascii")
        sent = False
        while True:
            headers = {"Accept": "application/json"}
            if data is not None:
                headers["Content-Type"] = "application/json"
            if (authorization := self.auth.header()) is not None:
                headers["Authorization"] = authorization
                sent = True
            answer = self._exchange(method, path, data, headers)
            if answer.status != 401 or sent or not self.auth.ask(answer.challenge):
                break
        raw = answer.body
        if not 200 <= answer.status < 300:
            try:
                err = decode_json(raw)
            except ValueError:
                err = None
            code = message = None
            if isinstance(err, dict) and type(err.get("code")) is int and 0 <= err["code"] < 10**6:
                code, message = err["code"], self.auth.clear(err.get("message"))
            note = ""
            if answer.status == 401:
                host = self.target.host
                unusable = self.settings.netrc_problem
                note = (f"credentials rejected: the master did not accept the netrc entry for {host}" if sent
                        else f"needs credentials, but the netrc file is not used: {unusable}" if self.auth.credential is None and unusable
                        else f"needs credentials: add a netrc entry for {host}" if self.auth.credential is None
                        else f"credentials not sent: the netrc entry for {host} holds no bearer token")
            error = error_for(self.address, what, answer.status, self.auth.clear(answer.reason), code, message, note)
            if 300 <= answer.status < 400:  # told in warnings: the master's text like any other
                error.redirect = self.auth.clear(answer.location)[:MAX_TEXT]
            raise error
        if answer.status == 204 or (method == "POST" and not raw):
            return None
        try:
            return self.auth.clear(decode_json(raw))
        except ValueError as exc:
            raise self.fail(what, f"malformed JSON in the answer ({exc})") from None
