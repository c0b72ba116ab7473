"""One request in, JSON or an error out: the REST client of one master.

A ``Client`` sends requests to the API of one master over one persistent
connection (``.._http``) and turns every failure into a ``RestError`` naming
the master, the request and the problem: the HTTP status with the API's
error code and message, connection refused, a timeout, malformed or hostile
JSON.
"""

from __future__ import annotations

import http.client
import json
import socket
import ssl
import time
from collections.abc import Callable
from typing import Any

from .._address import Target
from .._errors import IoddError
from .._http import Clock, Connection, LookupTimeout, TooLarge, decode_json, tls_context
from .settings import Settings

MAX_TEXT = 1000  # characters of a text value


def short(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


class RestError(IoddError):
    """A failed request.  ``status`` and ``code`` are the HTTP status and the
    API's error code when the master answered; ``link`` is true when the
    connection itself failed (nothing or no complete answer came back)."""

    def __init__(self, text: str, status: int | None = None, code: int | None = None, link: bool = False):
        super().__init__(text)
        self.status = status
        self.code = code
        self.link = link


class Client:
    """Requests to the API of one master over one persistent connection.
    begin() starts a session (a probe, or a master session) with its
    deadline; end() closes the connection.  ``on_lost`` is called when a
    request fails because the connection failed."""

    def __init__(self, address: str, target: Target, settings: Settings):
        self.address = address
        self.target = target
        self.settings = settings
        self.connection = Connection(target.host, target.port, tls_context() if target.scheme == "https" else None)
        self.on_lost: Callable[[], None] | None = None
        self._session_end = float("inf")

    def begin(self) -> None:
        self.connection.close()
        self._session_end = time.monotonic() + self.settings.session_timeout

    def end(self) -> None:
        self.connection.close()
        self._session_end = float("inf")

    def what(self, method: str, path: str) -> str:
        return f"{method} {self.target.base}{path}"

    def fail(self, what: str, problem: str, **kw: Any) -> RestError:
        return RestError(f"Master {self.address}: {what}: {problem}", **kw)

    def get(self, path: str) -> Any:
        return self.request("GET", path)

    def request(self, method: str, path: str, body: Any = None) -> Any:
        try:
            return self._request(method, path, body)
        except RestError as exc:
            if exc.link and self.on_lost is not None:
                self.on_lost()
            raise

    def _request(self, method: str, path: str, body: Any) -> Any:
        s = self.settings
        what = self.what(method, path)
        data = None if body is None else json.dumps(body).encode("ascii")
        headers = {"Accept": "application/json"}
        if data is not None:
            headers["Content-Type"] = "application/json"
        now = time.monotonic()
        by_session = self._session_end < now + s.request_timeout
        clock = Clock(s.connect_timeout, s.read_timeout, min(now + s.request_timeout, self._session_end))
        try:
            answer = self.connection.request(method, self.target.base + path, data, headers, clock)
        except TimeoutError as exc:
            if clock.cause == "deadline":
                limit, name = (s.session_timeout, "session") if by_session else (s.request_timeout, "request")
                problem = f"no complete answer within {limit:g} s ({name} deadline)"
            elif isinstance(exc, LookupTimeout):
                problem = (f"unknown host {self.target.host!r} (no address within "
                           f"{s.connect_timeout:g} s, connect timeout)")
            else:
                limit = s.connect_timeout if clock.cause == "connect" else s.read_timeout
                problem = f"no answer within {limit:g} s ({clock.cause} timeout)"
            raise self.fail(what, problem, link=True) from None
        except ConnectionRefusedError:
            raise self.fail(what, "connection refused", link=True) from None
        except TooLarge:
            # A bad answer, not a lost link: the connection was closed and the
            # next request opens a new one.
            raise self.fail(what, "answer larger than 1 MiB") from None
        except socket.gaierror as exc:
            raise self.fail(what, f"unknown host {self.target.host!r} ({exc.strerror})", link=True) from None
        except ssl.SSLError as exc:
            raise self.fail(what, f"TLS error: {exc.reason or exc}", link=True) from None
        except OSError as exc:
            raise self.fail(what, f"connection failed: {exc.strerror or short(exc)}", link=True) from None
        except (http.client.HTTPException, ValueError) as exc:  # what http.client makes of a broken answer
            raise self.fail(what, f"broken HTTP answer: {short(exc)}", link=True) from None
        raw = answer.body
        if not 200 <= answer.status < 300:
            detail = ""
            code = None
            try:
                err = decode_json(raw)
            except ValueError:
                err = None
            if isinstance(err, dict) and type(err.get("code")) is int and 0 <= err["code"] < 10**6:
                code = err["code"]
                message = err.get("message")
                # The master's own words, shortened; the application escapes what it prints.
                detail = f": [{code}] {message[:MAX_TEXT] if isinstance(message, str) else ''}"
            raise self.fail(what, f"HTTP {answer.status} {answer.reason[:MAX_TEXT]}{detail}",
                            status=answer.status, code=code)
        if answer.status == 204 or (method == "POST" and not raw):
            return None
        try:
            return decode_json(raw)
        except ValueError as exc:
            raise self.fail(what, f"malformed JSON in the answer ({exc})") from None
