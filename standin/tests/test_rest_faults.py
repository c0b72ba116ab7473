"""Faults a plant throws at the REST transport: an abort while masters are
slow, masters sharing credentials, a master echoing them, a CA file that
cannot be loaded, a gateway listing too many masters, a read-ahead the
master failed."""

from __future__ import annotations

import base64
import json
import socket
import threading
import time
from collections.abc import Callable
from typing import Any

import pytest
from velmora.base import IoddUtility, sim
from velmora.base._http import Stop
from velmora.base._rest import ENV_TIMEOUTS, Client, Settings
from velmora.base._rest.client import AuthenticationNeeded, CheckAborted, RestError
from velmora.base._rest.readahead import ENV_WORKERS
from velmora.base._rest.resources import MAX_GATEWAY_MASTERS

from rest_doubles import GOOD, Warnings, http_answer, json_answer
from test_rest_field import client_for, ip_base

SECRET = "Pl4nted-c0ffee-secret"
BASIC = base64.b64encode(f"maint:{SECRET}".encode()).decode()
CHALLENGE = 'WWW-Authenticate: Basic realm="IO-Link Master"\r\n'


def with_netrc(tmp_path: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    (tmp_path / "netrc").write_text(f"machine 127.0.0.1 login maint password {SECRET}\n")
    monkeypatch.setenv("NETRC", str(tmp_path / "netrc"))


def held(release: threading.Event, then: bytes = b"") -> Callable[[socket.socket], None]:
    """A reply that does not come until released, then ``then``."""

    def reply(sock: socket.socket) -> None:
        if not release.is_set():
            release.wait(30)
        elif then:
            sock.sendall(then)

    return reply


def answer_401(reason: str, body: dict[str, Any]) -> bytes:
    data = json_answer(body).partition(b"\r\n\r\n")[2]
    return (f"HTTP/1.1 401 {reason}\r\nContent-Type: application/json\r\nContent-Length: {len(data)}\r\n"
            f"{CHALLENGE}\r\n").encode() + data


def test_a_401_to_a_request_sent_before_a_sibling_learned_the_scheme_is_repeated(tmp_path, monkeypatch,
                                                                                 raw_master):
    with_netrc(tmp_path, monkeypatch)
    calls = []

    def identification(sock: socket.socket) -> None:
        calls.append(1)
        if len(calls) == 1:
            # The request came without credentials; before its 401 arrives
            # a sibling client of the gateway learns the scheme.
            sibling.auth.ask('Basic realm="IO-Link Master"')
            sock.sendall(http_answer(401, "", CHALLENGE))
        else:
            sock.sendall(json_answer(GOOD["/gateway/identification"]))

    master = raw_master({"/gateway/identification": identification})
    client = client_for(master.address)
    sibling = client.sibling(f"{master.address}#2")
    try:
        assert client.get("/gateway/identification") == GOOD["/gateway/identification"] and len(calls) == 2
    finally:
        client.end()


@pytest.mark.parametrize("where", ["reason", "message", "value", "redirect", "nested"])
def test_credentials_a_master_echoes_reach_no_output(tmp_path, monkeypatch, raw_master, where):
    with_netrc(tmp_path, monkeypatch)
    echo = f"rejected maint:{SECRET} ({BASIC})"
    if where == "value":
        reply = json_answer({**GOOD["/gateway/identification"], "vendorName": echo})
    elif where == "nested":  # deeper than the interpreter's recursion limit
        reply = http_answer(200, "[" * 5000 + json.dumps(echo) + "]" * 5000)
    elif where == "redirect":
        reply = http_answer(301, "", f"Location: https://127.0.0.1/{echo}{'x' * 60000}\r\n")
    else:
        reply = answer_401(echo if where == "reason" else "Unauthorized",
                           {"code": 151, "message": echo if where == "message" else "no"})
    client = client_for(raw_master({"/gateway/identification": reply}).address)
    try:
        value = client.get("/gateway/identification")
        while where == "nested" and isinstance(value, list):
            value = value[0]
        shown = repr(value)
    except RestError as exc:
        assert isinstance(exc, AuthenticationNeeded) or where == "redirect"
        shown = f"{exc} {exc.problem} {exc.redirect}"
    finally:
        client.end()
    assert "rejected maint:(hidden) ((hidden))" in shown and len(shown) < 5000
    assert SECRET not in shown and BASIC not in shown


@pytest.mark.parametrize("when", ["under way", "before"])
def test_an_abort_ends_a_request_at_once_and_starts_none(monkeypatch, raw_master, when):
    monkeypatch.setenv(ENV_TIMEOUTS["readTimeout"], "60")
    monkeypatch.setenv(ENV_TIMEOUTS["requestTimeout"], "60")
    release = threading.Event()
    master = raw_master({"/gateway/identification": held(release)})
    stop = Stop()
    client = Client(master.address, client_for(master.address).target, Settings.load(sim.installation(), stop=stop))
    outcome: list[BaseException] = []

    def ask() -> None:
        try:
            client.get("/gateway/identification")
        except Exception as exc:
            outcome.append(exc)

    if when == "before":
        stop.set()
    thread = threading.Thread(target=ask)
    thread.start()
    while when == "under way" and not master.requests:
        time.sleep(0.01)
    stop.set()
    thread.join(10)
    release.set()
    client.end()
    assert not thread.is_alive() and isinstance(outcome[0], CheckAborted)
    assert len(master.requests) == (when == "under way")


def test_an_abort_ends_discovery_without_a_warning(monkeypatch, raw_master):
    monkeypatch.setenv(ENV_TIMEOUTS["readTimeout"], "60")
    monkeypatch.setenv(ENV_TIMEOUTS["requestTimeout"], "60")
    release = threading.Event()
    masters = [raw_master({"/gateway/identification": held(release, json_answer(GOOD["/gateway/identification"]))})
               for _ in range(3)]
    sim.use_installation({"masters": [], "rest": {"hosts": [m.address for m in masters]}})
    warnings = IoddUtility.CommonDriverManager.iodd = Warnings()

    def abort_once_all_are_asked() -> None:
        while not all(m.requests for m in masters):
            time.sleep(0.01)
        IoddUtility.abort()

    with ip_base() as base:
        threading.Thread(target=abort_once_all_are_asked).start()
        assert base.discover() == []
        assert base.discover(masters[0].address) is None  # the base driver stays aborted until closed
    assert warnings.lines == []
    release.set()
    with ip_base() as base:  # a base driver opened later is not
        assert [b.address for b in base.discover()] == [m.address for m in masters]


@pytest.mark.parametrize("workers", ["0", "2"])
def test_a_master_that_failed_its_read_ahead_is_not_asked_again(monkeypatch, raw_master, workers):
    monkeypatch.setenv(ENV_TIMEOUTS["readTimeout"], "0.3")
    monkeypatch.setenv(ENV_WORKERS, workers)
    release = threading.Event()
    master = raw_master({"/devices": held(release)})
    sim.use_installation({"masters": [], "rest": {"hosts": [master.address]}})
    with ip_base() as base:
        bridge = base.discover()[0]
        if workers != "0":  # the read-ahead has met the stall
            while ("GET", "/iolink/v1/devices") not in master.requests:
                time.sleep(0.01)
        driver = base.connect(bridge, {"IP": {"activatePorts": "off"}})
        try:
            with pytest.raises(Exception, match=r"GET /iolink/v1/devices: no answer within 0.3 s \(read timeout\)"):
                driver.getDevices(options={"activatePorts": "off"})
        finally:
            driver.disconnect()
    release.set()
    assert master.requests.count(("GET", "/iolink/v1/devices")) == 1
    # what the read-ahead read is given to the session: each request once
    assert master.requests.count(("GET", "/iolink/v1/masters/1/ports")) == 1


@pytest.mark.parametrize("variable", ["SSL_CERT_FILE", "SSL_CERT_DIR"])
def test_a_ca_setting_that_cannot_be_loaded_skips_the_https_masters_with_one_warning(
        monkeypatch, tmp_path, raw_master, variable):
    missing = str(tmp_path / "plant-ca.pem")
    monkeypatch.setenv(variable, missing)
    plain = raw_master()
    hosts = ["https://127.0.0.1:9/", plain.address, "https://127.0.0.2:9/"]
    sim.use_installation({"masters": [], "rest": {"hosts": hosts}})
    warnings = IoddUtility.CommonDriverManager.iodd = Warnings()
    with ip_base() as base:
        assert [b.address for b in base.discover()] == [plain.address]
        assert base.discover("https://127.0.0.1:9/") is None
    assert len(warnings.lines) == 2 and all(variable in w and repr(missing) in w for w in warnings.lines)
    assert "2 https master(s)" in warnings.lines[0]


def test_a_gateway_listing_too_many_masters_is_checked_up_to_the_bound(raw_master):
    count = MAX_GATEWAY_MASTERS + 9
    routes = {f"/masters/{n}/identification": json_answer(GOOD["/masters/1/identification"])
              for n in range(1, count + 1)}
    master = raw_master({"/masters": json_answer([{"masterNumber": n} for n in range(count, 0, -1)]), **routes})
    sim.use_installation({"masters": [], "rest": {"hosts": [master.address]}})
    warnings = IoddUtility.CommonDriverManager.iodd = Warnings()
    with ip_base() as base:
        found = [b.address for b in base.discover()]
    assert found == [master.address] + [f"{master.address}#{n}" for n in range(2, MAX_GATEWAY_MASTERS + 1)]
    assert warnings.lines == [f"velmora.base: IP discovery: {master.address}: the gateway lists {count} IO-Link masters; only the "
                              f"first {MAX_GATEWAY_MASTERS} are checked (at most {MAX_GATEWAY_MASTERS} behind one "
                              "address)"]
    assert master.requests.count(("GET", f"/iolink/v1/masters/{count}/identification")) == 0
