"""The HTTP layer of the REST transport below the API: TLS connections on
timed sockets (the deadline holds inside TLS records too), certificates
checked, and the name of a master looked up within the connect timeout.
Real sockets on 127.0.0.1 and a certificate made for the test; the only time
checks are generous bounds that a run without the bound would miss by far."""

from __future__ import annotations

import hashlib
import re
import shutil
import socket
import ssl
import subprocess
import threading
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
from velmora.base import _http, sim
from velmora.base._address import parse_target
from velmora.base._errors import InstallationError, IoddError
from velmora.base._rest import ENV_TIMEOUTS, Client, RestError, Settings
from velmora.base._rest.client import CertificateRefused

from rest_doubles import API, RawMaster, Reply, json_answer

OPENSSL = shutil.which("openssl")


@pytest.fixture(scope="module")
def certificate(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, Path]:
    """A self-signed certificate for 127.0.0.1 and its key."""
    if OPENSSL is None:
        pytest.skip("openssl not found (it makes the test's certificate)")
    folder = tmp_path_factory.mktemp("tls")
    cert, key = folder / "cert.pem", folder / "key.pem"
    subprocess.run([OPENSSL, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", str(key), "-out", str(cert), "-days", "2", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1",
                    "-addext", "basicConstraints=critical,CA:TRUE",
                    "-addext", "keyUsage=critical,digitalSignature,keyCertSign"],
                   check=True, capture_output=True)
    return cert, key


class TlsMaster(RawMaster):
    """RawMaster behind TLS."""

    def __init__(self, routes: dict[str, Reply], certificate: tuple[Path, Path]):
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(*certificate)
        super().__init__(routes)

    def _connection(self, sock: socket.socket) -> None:
        sock.settimeout(5)
        try:
            tls = self.context.wrap_socket(sock, server_side=True)
        except (ssl.SSLError, OSError):
            sock.close()
            return
        super()._connection(tls)


@pytest.fixture
def tls_master(certificate: tuple[Path, Path]) -> Iterator[Any]:
    made: list[TlsMaster] = []

    def make(routes: dict[str, Reply]) -> TlsMaster:
        made.append(TlsMaster(routes, certificate))
        return made[-1]
    yield make
    for master in made:
        master.close()


def trusting(cert: Path | None) -> ssl.SSLContext:
    """A client context as the transport makes it, trusting `cert` alone."""
    context = ssl.create_default_context(cafile=str(cert) if cert else None)
    context.sslsocket_class = _http._TimedSSLSocket
    return context


def clock(deadline: float = 5.0, read: float = 2.0) -> _http.Clock:
    return _http.Clock(0.5, read, time.monotonic() + deadline)


def test_the_transports_tls_sockets_are_timed():
    assert _http.tls_context().sslsocket_class is _http._TimedSSLSocket
    assert _http.tls_context().verify_mode == ssl.CERT_REQUIRED and _http.tls_context().check_hostname


def test_a_tls_answer_is_read_on_a_timed_socket_and_the_connection_kept(tls_master, certificate):
    master = tls_master({"/gateway/identification": json_answer({"serialNumber": "S1"})})
    port = int(master.address.rpartition(":")[2])
    connection = _http.Connection("127.0.0.1", port, trusting(certificate[0]))
    try:
        for _ in range(2):
            answer = connection.request("GET", f"{API}/gateway/identification", None, {}, clock())
            assert (answer.status, _http.decode_json(answer.body)) == (200, {"serialNumber": "S1"})
        assert isinstance(connection._conn.sock, _http._TimedSSLSocket)
        assert connection.opened == 1 and master.connections == 1
    finally:
        connection.close()


def trickle(sock: socket.socket) -> None:
    head = b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n"
    sock.sendall(head)
    for _ in range(1000):
        sock.sendall(b" ")
        time.sleep(0.05)


def test_a_tls_master_trickling_its_answer_is_left_by_the_deadline(tls_master, certificate):
    master = tls_master({"/gateway/identification": trickle})
    port = int(master.address.rpartition(":")[2])
    connection = _http.Connection("127.0.0.1", port, trusting(certificate[0]))
    limits = clock(deadline=0.6, read=0.3)
    start = time.monotonic()
    with pytest.raises(TimeoutError):
        connection.request("GET", f"{API}/gateway/identification", None, {}, limits)
    assert time.monotonic() - start < 5  # unbounded, the trickle would run on for a minute
    assert limits.cause == "deadline" and not connection.is_open


def test_a_certificate_nobody_vouches_for_is_refused(tls_master, monkeypatch):
    master = tls_master({"/gateway/identification": json_answer({})})
    port = int(master.address.rpartition(":")[2])
    connection = _http.Connection("127.0.0.1", port, trusting(None))
    with pytest.raises(ssl.SSLCertVerificationError):
        connection.request("GET", f"{API}/gateway/identification", None, {}, clock())
    assert not connection.is_open
    # As the application sees it.
    target = parse_target(f"https://{master.address}")
    assert target is not None
    client = Client(master.address, target, Settings.load(sim.installation()))
    with pytest.raises(RestError, match=r"^Master 127\.0\.0\.1:\d+: GET /iolink/v1/gateway/identification: "
                                        r"TLS error: CERTIFICATE_VERIFY_FAILED"):
        client.get("/gateway/identification")


# ---------------------------------------------------------------- name look-ups


@pytest.fixture
def slow_resolver(monkeypatch: pytest.MonkeyPatch) -> Iterator[threading.Event]:
    """getaddrinfo() that hangs on names until the event is set; addresses
    are answered at once."""
    release = threading.Event()
    real = socket.getaddrinfo

    def getaddrinfo(host: Any, port: Any, *args: Any, **kwargs: Any) -> Any:
        if kwargs.get("flags", 0) & socket.AI_NUMERICHOST:
            return real(host, port, *args, **kwargs)  # a name: gaierror
        release.wait(30)
        return real("127.0.0.1", port, *args, **kwargs)
    monkeypatch.setattr(socket, "getaddrinfo", getaddrinfo)
    yield release
    release.set()


def test_a_name_lookup_that_hangs_ends_by_the_connect_timeout(slow_resolver):
    connection = _http.Connection("master-7.plant.invalid", 80, None)
    limits = clock()
    start = time.monotonic()
    with pytest.raises(_http.LookupTimeout, match=r"no address for 'master-7\.plant\.invalid' within 0\.5 s"):
        connection.request("GET", f"{API}/gateway/identification", None, {}, limits)
    assert not slow_resolver.is_set()  # it did not wait for the resolver
    assert time.monotonic() - start < 5
    assert limits.cause == "connect"


def test_a_name_lookup_that_hangs_is_an_unknown_host_for_the_application(slow_resolver, monkeypatch):
    monkeypatch.setenv(ENV_TIMEOUTS["connectTimeout"], "0.4")
    target = parse_target("master-7.plant.invalid:8080")
    assert target is not None
    client = Client("master-7.plant.invalid:8080", target, Settings.load(sim.installation()))
    with pytest.raises(RestError, match=r"^Master master-7\.plant\.invalid:8080: GET /iolink/v1/gateway/identification: "
                                        r"unknown host 'master-7\.plant\.invalid' "
                                        r"\(no address within 0\.4 s, connect timeout\)$"):
        client.get("/gateway/identification")
    assert not slow_resolver.is_set()


def test_a_name_found_in_time_is_connected_to():
    master = RawMaster({"/gateway/identification": json_answer({"ok": 1})})
    port = int(master.address.rpartition(":")[2])
    connection = _http.Connection("localhost", port, None)  # ::1 first, maybe: refused, then 127.0.0.1
    try:
        answer = connection.request("GET", f"{API}/gateway/identification", None, {}, clock())
        assert (answer.status, _http.decode_json(answer.body)) == (200, {"ok": 1})
    finally:
        connection.close()
        master.close()


# ---------------------------------------------------------------- a master's own certificate


def presented(cert: Path) -> str:
    der = ssl.PEM_cert_to_DER_cert(cert.read_text())
    return ":".join(f"{b:02X}" for b in hashlib.sha256(der).digest())


def test_a_masters_own_certificate_is_refused_with_its_fingerprint_and_trusted_when_pinned_or_its_ca_given(
        tls_master, certificate, monkeypatch):
    master = tls_master({"/gateway/identification": json_answer({"serialNumber": "S1"})})
    port = int(master.address.rpartition(":")[2])
    fp = presented(certificate[0])

    def get(host: str = "127.0.0.1", **installation_rest: Any) -> Any:
        target = parse_target(f"https://{host}:{port}")
        assert target is not None
        inst = sim.load_installation({"masters": [], "rest": installation_rest})
        client = Client(f"https://{host}:{port}", target, Settings.load(inst))
        try:
            return client.get("/gateway/identification")
        finally:
            client.end()

    with pytest.raises(CertificateRefused) as refused:
        get()
    assert refused.value.fingerprint == fp and f"presented the certificate SHA-256 {fp}" in str(refused.value)
    assert f"VELMORA_BASE_REST_PINS=127.0.0.1:{port}={fp}" in str(refused.value)
    # Pinned (hex, colons optional, any case): trusted whatever its issuer and name.
    monkeypatch.setenv("VELMORA_BASE_REST_PINS", f"localhost:{port}={fp.replace(':', '').lower()}")
    assert get("localhost") == {"serialNumber": "S1"}
    assert get("localhost", pins={"127.0.0.1": "00" * 32}) == {"serialNumber": "S1"}  # the variable wins
    monkeypatch.delenv("VELMORA_BASE_REST_PINS")
    assert get(pins={f"127.0.0.1:{port}": [fp]}) == {"serialNumber": "S1"}
    with pytest.raises(CertificateRefused, match=f"not the pinned certificate; the master presented the "
                                                 f"certificate SHA-256 {fp}"):
        get(pins={"127.0.0.1": "ab" * 32})
    # The plant's own CA: trusted for the name it certifies, and only for that.
    monkeypatch.setenv("SSL_CERT_FILE", str(certificate[0]))
    assert get() == {"serialNumber": "S1"}
    with pytest.raises(CertificateRefused, match="Hostname mismatch"):
        get("localhost")


@pytest.mark.parametrize("pins, problem", [
    ("127.0.0.1=12:34", "'12:34' is not a SHA-256 fingerprint"),
    ("127.0.0.1", "'127.0.0.1' is not HOST[:PORT]=SHA256"),
])
def test_pins_that_are_no_fingerprints_are_named(monkeypatch, pins, problem):
    monkeypatch.setenv("VELMORA_BASE_REST_PINS", pins)
    with pytest.raises(IoddError, match=re.escape(f"VELMORA_BASE_REST_PINS: {problem}")):
        Settings.load(sim.installation())
    with pytest.raises(InstallationError, match=r"rest\.pins\.h: 'xyz' is not a SHA-256"):
        sim.load_installation({"masters": [], "rest": {"pins": {"h": "xyz"}}})
