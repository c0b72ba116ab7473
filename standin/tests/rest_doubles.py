"""Doubles of REST masters for the stand-in's tests: a raw TCP master that
answers each path with given bytes or behaviour, and a recorder of the
driver library's warnings."""

from __future__ import annotations

import json
import socket
import threading
from collections.abc import Callable
from typing import Any

from velmora.base._IoddDrv import EMULATION_NOTE


NOTE = f"velmora.base: {EMULATION_NOTE} "


class Warnings:
    """The application's logger as the driver library sees it: records the
    warnings and info lines (installed as IoddUtility.CommonDriverManager.iodd);
    the note that emulated masters are checked is kept apart, in ``notes``."""

    def __init__(self) -> None:
        self.lines: list[str] = []
        self.infos: list[str] = []
        self.notes: list[str] = []
        self._logger = self

    def warning(self, message: str) -> None:
        (self.notes if message.startswith(NOTE) else self.lines).append(message)

    def info(self, message: str) -> None:
        self.infos.append(message)

    def debug(self, message: str) -> None:
        pass


Reply = bytes | Callable[[socket.socket], None]


def http_answer(status: int, body: bytes | str, headers: str = "") -> bytes:
    data = body.encode() if isinstance(body, str) else body
    return (f"HTTP/1.1 {status} X\r\nContent-Type: application/json\r\nContent-Length: {len(data)}\r\n"
            f"{headers}\r\n").encode() + data


def json_answer(value: Any, status: int = 200) -> bytes:
    return http_answer(status, json.dumps(value))


class RawMaster:
    """A TCP server on 127.0.0.1 that answers each request by its method and
    path (``"POST /masters/1/..."``), else by its path alone, from
    ``routes``: raw bytes of a whole HTTP answer (the connection then stays
    open), or a function that gets the socket and does what it likes (the
    connection is closed afterwards).  Unknown paths answer 404 [301].
    Counts connections and keeps the requests (method, path) in order."""

    def __init__(self, routes: dict[str, Reply] | None = None):
        self.routes: dict[str, Reply] = dict(routes or {})
        self.requests: list[tuple[str, str]] = []
        self.connections = 0
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(0.1)
        self.address = f"127.0.0.1:{self._listener.getsockname()[1]}"
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self) -> None:
        while not self._stop.is_set():
            try:
                sock, _ = self._listener.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            self.connections += 1
            threading.Thread(target=self._connection, args=(sock,), daemon=True).start()

    def _connection(self, sock: socket.socket) -> None:
        sock.settimeout(5)
        buffer = b""
        try:
            while not self._stop.is_set():
                while b"\r\n\r\n" not in buffer:
                    chunk = sock.recv(65536)
                    if not chunk:
                        return
                    buffer += chunk
                head, _, buffer = buffer.partition(b"\r\n\r\n")
                method, path = head.split(b" ")[:2]
                length = 0
                for line in head.split(b"\r\n")[1:]:
                    name, _, value = line.partition(b":")
                    if name.strip().lower() == b"content-length":
                        length = int(value)
                while len(buffer) < length:
                    buffer += sock.recv(65536)
                buffer = buffer[length:]
                self.requests.append((method.decode(), path.decode()))
                route = path.decode().removeprefix(API)
                reply = self.routes.get(f"{method.decode()} {route}") or self.routes.get(route, json_answer(
                    {"code": 301, "message": "Resource not found"}, 404))
                if callable(reply):
                    reply(sock)
                    return
                sock.sendall(reply)
        except OSError:
            pass
        finally:
            sock.close()

    def close(self) -> None:
        self._stop.set()
        self._listener.close()
        self._thread.join(5)


API = "/iolink/v1"

# What a plain one-port master answers.
GOOD = {
    "/gateway/identification": {"macAddress": "02:00:00:00:00:01", "vendorName": "Stub"},
    "/masters": [{"masterNumber": 1}],
    "/masters/1/identification": {"vendorName": "Stub", "vendorId": 1, "masterId": 2, "masterType": "Unspecific"},
    "/masters/1/ports": [{"portNumber": 1, "statusInfo": "DEVICE_ONLINE", "deviceAlias": "master1port1"}],
    "/masters/1/ports/1/configuration": {"mode": "IOLINK_AUTOSTART", "iqConfiguration": "NOT_SUPPORTED",
                                         "deviceAlias": "master1port1"},
    "/devices": [{"deviceAlias": "master1port1", "masterNumber": 1, "portNumber": 1}],
    "/devices/master1port1/identification": {"vendorId": 26, "deviceId": 42, "ioLinkRevision": "1.1",
                                             "vendorName": "Stub sensors"},
}


