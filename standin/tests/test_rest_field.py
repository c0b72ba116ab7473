"""The REST transport against masters as a plant network has them, over real
sockets on 127.0.0.0/8: one connection per session and no repeated request,
bounded time against masters that trickle or never answer, hostile answers
that are clear errors naming master and request, concurrent discovery of
host ranges in host order, and warnings for addresses that cannot be
masters.  Timeouts here are short; the only time checks are generous bounds
that a run without the bound would miss by far."""

from __future__ import annotations

import contextlib
import json
import re
import socket
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from velmora.base import _IoddDrv, sim
from velmora.base._address import parse_target
from velmora.base._errors import IoddError
from velmora.base._rest import (
    ENV_HOSTS,
    ENV_TIMEOUTS,
    MAX_PORTS,
    Client,
    RestError,
    RestMaster,
    Settings,
)
from velmora.base._state import EVENT_LOG_LIMIT, runtime
from velmora.base.server import Servers

from rest_doubles import API, GOOD, RawMaster, http_answer, json_answer

OFF = {"activatePorts": "off"}
AUTO = {"activatePorts": "auto"}


@contextlib.contextmanager
def ip_base() -> Iterator[Any]:
    base = _IoddDrv.IolIpBaseDriver()
    try:
        yield base
    finally:
        base.close()


def short_timeouts(monkeypatch: pytest.MonkeyPatch, read: float = 0.3, request: float = 1.0,
                   session: float = 5.0) -> None:
    monkeypatch.setenv(ENV_TIMEOUTS["connectTimeout"], "0.5")
    monkeypatch.setenv(ENV_TIMEOUTS["readTimeout"], str(read))
    monkeypatch.setenv(ENV_TIMEOUTS["requestTimeout"], str(request))
    monkeypatch.setenv(ENV_TIMEOUTS["sessionTimeout"], str(session))


def listing(base: Any, address: str, opt: dict[str, str] = OFF) -> tuple[list[Any], list[tuple[Any, ...]]]:
    bridge = base.discover(address)
    assert bridge is not None
    driver = base.connect(bridge, {base.driverName(): opt})
    try:
        return driver.getPortModes(), driver.getDevices(options=opt)
    finally:
        driver.disconnect()


def client_for(address: str) -> Client:
    target = parse_target(address)
    assert target is not None
    return Client(address, target, Settings.load(sim.installation()))


# ---------------------------------------------------------------- one connection, no repeated request


@pytest.mark.parametrize("master", ["192.168.10.21", "192.168.10.22"])
def test_a_listing_keeps_its_budget_and_one_connection(serve, master):
    servers = serve()
    served, server = servers.masters[master], next(s for s in servers.servers if s.master.spec.address == master)
    spec = served.spec
    with ip_base() as base:
        modes, devices = listing(base, servers.addresses[master])
    ports = len(spec.ports)
    assert [m.activated() for m in modes] == [p.mode != "DEACTIVATED" for p in spec.ports]
    assert len(served.requests) <= ports + 2 * len(devices) + 6
    assert len(set(served.requests)) == len(served.requests)  # nothing asked twice
    assert server.connections == 2  # discovery's own, and the session's
    assert sim.open_master_drivers() == []


def test_auto_writes_each_port_once_and_reads_no_configuration_again(serve):
    servers = serve(startup=0.05)
    palletizer = servers.masters["192.168.10.22"]
    with ip_base() as base:
        _, devices = listing(base, servers.addresses["192.168.10.22"], AUTO)
    assert [d[0] for d in devices] == [1, 3]
    configuration = [(m, p) for m, p in palletizer.requests if p.endswith("/configuration")]
    assert [m for m, _ in configuration] == ["GET"] * 4 + ["POST"] * 4
    assert len(set(configuration)) == len(configuration)


def test_a_closed_idle_connection_is_reopened_and_only_idempotent_requests_are_sent_again(raw_master):
    def close_after_answer(value: Any) -> Callable[[socket.socket], None]:
        def reply(sock: socket.socket) -> None:
            sock.sendall(json_answer(value))  # the connection is closed after it, without a word
        return reply

    def drop(sock: socket.socket) -> None:
        pass  # request read, no answer, connection closed

    master = raw_master({"/gateway/identification": close_after_answer(GOOD["/gateway/identification"])})
    client = client_for(master.address)
    client.begin()
    assert client.get("/gateway/identification")["vendorName"] == "Stub"
    assert client.get("/masters") == [{"masterNumber": 1}]  # on a new connection
    assert master.connections == 2
    # The master takes the request and drops the connection: a GET goes once more, a POST never.
    dropped = {"n": 0}

    def drop_first(sock: socket.socket) -> None:
        dropped["n"] += 1
        if dropped["n"] == 1:
            return
        sock.sendall(json_answer([{"masterNumber": 1}]))

    master.routes["/masters"] = drop_first
    client.get("/gateway/identification")  # reopen: the previous answer closed it
    with contextlib.suppress(RestError):
        client.get("/gateway/identification")
    master.routes["/gateway/identification"] = json_answer(GOOD["/gateway/identification"])
    client.get("/gateway/identification")
    assert client.get("/masters") == [{"masterNumber": 1}]
    assert master.requests.count(("GET", f"{API}/masters")) == 3  # 1 before, 2 now: sent again once
    client.get("/masters/1/identification")  # a connection the master keeps open
    master.routes["/masters/1/ports/1/configuration"] = drop
    with pytest.raises(RestError, match=r"POST /iolink/v1/masters/1/ports/1/configuration: broken HTTP answer|"
                                        r"connection failed"):
        client.request("POST", "/masters/1/ports/1/configuration", {"mode": "DEACTIVATED"})
    assert master.requests.count(("POST", f"{API}/masters/1/ports/1/configuration")) == 1
    client.end()


# ---------------------------------------------------------------- bounded time


def trickle(data: bytes, pause: float = 0.05) -> Callable[[socket.socket], None]:
    def reply(sock: socket.socket) -> None:
        for i in range(10_000):
            sock.sendall(data[i % len(data):i % len(data) + 1])
            time.sleep(pause)
    return reply


@pytest.mark.parametrize("what, reply", [
    ("status line", trickle(b"HTTP/1.1 200 OK")),
    ("endless headers", lambda sock: (sock.sendall(b"HTTP/1.1 200 OK\r\n"), trickle(b"X-Pad: yes\r\n")(sock))),
    ("endless chunked body", lambda sock: (
        sock.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"), trickle(b"1\r\n[\r\n")(sock))),
    ("silence", lambda sock: time.sleep(30)),
])
def test_a_trickling_or_silent_master_costs_one_request_deadline(raw_master, monkeypatch, warnings_seen, what, reply):
    short_timeouts(monkeypatch, read=0.3, request=0.8)
    master = raw_master({"/gateway/identification": reply})
    start = time.monotonic()
    with ip_base() as base:
        assert base.discover(master.address) is None
    assert time.monotonic() - start < 5  # unbounded, the trickle would run on for minutes
    deadline = "silence" != what
    expected = "no complete answer within 0.8 s (request deadline)" if deadline else \
        "no answer within 0.3 s (read timeout)"
    assert warnings_seen.lines == [f"velmora.base: IP discovery: no master found: Master {master.address}: "
                                   f"GET {API}/gateway/identification: {expected}"]


def test_a_session_ends_by_its_deadline(serve, monkeypatch):
    short_timeouts(monkeypatch, read=1, request=1, session=0.5)
    servers = serve(latency=0.06)
    start = time.monotonic()
    with ip_base() as base, pytest.raises(RestError, match=r"\(session deadline\)"):
        listing(base, servers.addresses["192.168.10.21"])
    assert time.monotonic() - start < 5
    assert sim.open_master_drivers() == []


@pytest.mark.parametrize("answers, problem", [
    ({"/masters/1/ports": json_answer([{"portNumber": p, "statusInfo": "DEACTIVATED", "deviceAlias": f"p{p}"}
                                       for p in range(1, 2001)])}, f"2000 ports, expected 1..{MAX_PORTS}"),
    ({"/masters/1/ports": json_answer({"code": 103, "message": "Operation not supported"}, 404),
      "/masters/1/capabilities": json_answer({"numberOfPorts": 2000})}, "'numberOfPorts' is 2000, not an integer in 1..64"),
    ({"/masters/1/ports": json_answer([{"portNumber": 2, "statusInfo": "DEACTIVATED"}])},
     "ports numbered [2], not 1..1"),
])
def test_the_number_of_ports_is_bounded(raw_master, answers, problem):
    master = raw_master(answers)
    with ip_base() as base:
        bridge = base.discover(master.address)
        with pytest.raises(RestError, match=f"Master {master.address}: GET .*: unexpected answer: {re.escape(problem)}"):
            base.connect(bridge, {"IP": OFF})
    assert len(master.requests) < 10


# ---------------------------------------------------------------- hostile answers


HOSTILE = [  # (path, raw answer, problem in the warning)
    ("/gateway/identification", http_answer(200, "[" * 200_000), "nested too deeply"),
    ("/gateway/identification", http_answer(200, b'{"vendorName": "\xff\xfe"}'), "not UTF-8 text"),
    ("/gateway/identification", http_answer(200, '{"vendorName": "a", "vendorName": "b"}'), "duplicate key 'vendorName'"),
    ("/gateway/identification", http_answer(200, '{"vendorName": NaN}'), "NaN is not a JSON number"),
    ("/gateway/identification", http_answer(200, '{"vendorName": ' + "9" * 5000 + "}"),
     "malformed JSON in the answer (an integer of more than 4300 digits)"),
    ("/gateway/identification", json_answer({"vendorName": "x" * 1001}), "longer than 1000 characters"),
    ("/gateway/identification", json_answer({"vendorName": 5}), "'vendorName' is 5, not a string"),
    ("/gateway/identification", json_answer(["not", "an", "object"]), "expected an object, got list"),
    ("/gateway/identification", b"SMTP ready\r\n\r\n", "broken HTTP answer"),
    ("/gateway/identification", lambda sock: sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n{}"),
     "broken HTTP answer: IncompleteRead"),
    ("/gateway/identification", http_answer(200, b" " * (2 << 20)), "answer larger than 1 MiB"),
    ("/masters", json_answer([{"masterNumber": 0}]), "'masterNumber' is 0, not an integer in 1..2147483647"),
    ("/masters", json_answer([]), "no IO-Link master behind this gateway"),
    ("/masters/1/identification", json_answer({"vendorId": 1e300}), "'vendorId' is 1e+300, not an integer in 1..65535"),
    ("/masters/1/identification", json_answer({"vendorId": 2**70}), "'vendorId' is 1180591620717411303424"),
    ("/masters/1/identification", json_answer({"vendorId": 7, "masterId": True}), "'masterId' is True"),
    ("/masters/1/identification", json_answer({"code": 500, "message": "\udc80" * 3}, 500), "HTTP 500 X"),
]


@pytest.mark.parametrize("path, answer, problem", HOSTILE)
def test_a_hostile_host_is_skipped_with_one_warning_naming_master_and_request(raw_master, warnings_seen, path,
                                                                              answer, problem):
    master = raw_master({path: answer})
    with ip_base() as base:
        assert base.discover(master.address) is None
    [line] = warnings_seen.lines
    assert line.startswith(f"velmora.base: IP discovery: no master found: Master {master.address}: GET {API}{path}: ")
    assert problem in line


def test_a_hostile_host_among_listed_hosts_leaves_the_others(raw_master, warnings_seen, monkeypatch):
    good, bad, other = raw_master(), raw_master({"/masters": http_answer(200, "[" * 100_000)}), raw_master()
    monkeypatch.setenv(ENV_HOSTS, f"{good.address},{bad.address},{other.address}")
    with ip_base() as base:
        found = base.discover()
    assert [b.address for b in found] == [good.address, other.address]  # REST hosts set: no demo masters
    assert len(warnings_seen.lines) == 1 and bad.address in warnings_seen.lines[0]


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**80), 2**80) | st.floats() | st.text(max_size=30),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=12), inner, max_size=4),
    max_leaves=12,
)
identification = st.fixed_dictionaries({}, optional={
    key: json_values | st.integers(0, 70000) | st.text(max_size=5)
    for key in ("vendorName", "vendorId", "masterId", "productName", "orderCode", "locationTag", "firmwareRevision")
})


@pytest.fixture(scope="module")
def one_master() -> Iterator[RawMaster]:
    master = RawMaster({path: json_answer(value) for path, value in GOOD.items()})
    yield master
    master.close()


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(gateway=identification, master_ident=identification, masters=json_values)
def test_any_json_is_a_master_with_values_in_range_or_one_warning(one_master, warnings_seen, gateway,
                                                                  master_ident, masters):
    warnings_seen.lines.clear()
    master = one_master
    master.routes.update({"/gateway/identification": json_answer(gateway),
                          "/masters/1/identification": json_answer(master_ident),
                          "/masters": json_answer(masters)})
    with ip_base() as base:
        bridge = base.discover(master.address)
    if bridge is None:
        assert len(warnings_seen.lines) == 1 and f"Master {master.address}: GET " in warnings_seen.lines[0]
        return
    assert warnings_seen.lines == []
    assert 0 <= bridge.vendorId <= 0xFFFF and 0 <= bridge.deviceId <= 0xFFFFFFFF
    for text in (bridge.name, bridge.vendor, bridge.productName, bridge.productCode, bridge.fwVersion):
        assert text is None or (isinstance(text, str) and len(text) <= 1000)


device_entries = st.lists(st.fixed_dictionaries({
    "deviceAlias": st.sampled_from(["master1port1", "other", ""]) | json_values,
    "masterNumber": st.integers(-1, 3) | json_values,
    "portNumber": st.integers(-1, 3) | json_values,
}), max_size=4)
device_ident = st.fixed_dictionaries({}, optional={
    key: json_values | st.integers(0, 2**25) | st.text(max_size=5)
    for key in ("vendorId", "deviceId", "vendorName", "productName", "serialNumber", "applicationSpecificTag")
})


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(devices=device_entries | json_values, ident=device_ident)
def test_any_device_table_gives_rows_in_range_or_an_error_naming_the_master(one_master, warnings_seen, devices,
                                                                           ident):
    master = one_master
    master.routes.update({path: json_answer(value) for path, value in GOOD.items()})
    master.routes.update({"/devices": json_answer(devices),
                          "/devices/master1port1/identification": json_answer(ident)})
    with ip_base() as base:
        try:
            _, rows = listing(base, master.address)
        except IoddError as exc:
            assert str(exc).startswith(f"Master {master.address}: GET {API}/devices: ")
            return
    for port, vendor_id, device_id, values in rows:
        assert port == 1 and 0 <= vendor_id <= 0xFFFF and 0 <= device_id <= 0xFFFFFF
        if values is not None:
            assert set(values) == set(_IoddDrv.IoddMasterDriver._identNames)
            assert all(v is None or (isinstance(v, str) and len(v) <= 1000) for v in values.values())
    assert sim.open_master_drivers() == []


@pytest.mark.parametrize("answer, problem", [
    (json_answer({"code": 101, "message": "Internal server error"}, 500), "HTTP 500 X: [101] Internal server error"),
    (json_answer({"vendorId": 26, "deviceId": 2**30}), "'deviceId' is 1073741824, not an integer in 1..16777215"),
    (json_answer({"vendorId": 26, "deviceId": 42, "serialNumber": 5}), "'serialNumber' is 5, not a string"),
    (json_answer({"vendorId": 26, "deviceId": 42, "productText": "x" * 1001}), "'productText' is longer than 1000"),
    (http_answer(200, '{"vendorId": 26, "vendorId": 27}'), "duplicate key 'vendorId'"),
])
def test_an_unreadable_identification_lists_the_device_without_it(raw_master, warnings_seen, answer, problem):
    master = raw_master({"/devices/master1port1/identification": answer})
    with ip_base() as base:
        _, devices = listing(base, master.address)
    ids = (26, 42) if "Text" in problem or "serialNumber" in problem else (0, 0)
    assert devices == [(1, *ids, None)]
    [line] = warnings_seen.lines
    assert line.startswith(f"velmora.base: Master {master.address} port 1: device listed without identification: "
                           f"Master {master.address}: GET {API}/devices/master1port1/identification: ")
    assert problem in line


def test_a_device_alias_that_is_no_text_fails_the_device_table_naming_the_master(raw_master):
    master = raw_master({"/devices": json_answer([{"deviceAlias": "\udc80", "masterNumber": 1, "portNumber": 1}])})
    with ip_base() as base, pytest.raises(IoddError, match=f"Master {master.address}: GET {API}/devices: "
                                                           "unexpected answer: 'deviceAlias' is '\\\\udc80'"):
        listing(base, master.address)


# ---------------------------------------------------------------- concurrent discovery of ranges


def silent_hosts(ips: list[str], port: int) -> list[socket.socket]:
    """Listening sockets that accept (in the kernel's backlog) and never answer."""
    socks = []
    for ip in ips:
        s = socket.socket()
        s.bind((ip, port))
        s.listen(16)
        socks.append(s)
    return socks


def free_port(ip: str) -> int:
    with socket.socket() as s:
        s.bind((ip, 0))
        return int(s.getsockname()[1])


@pytest.mark.parametrize("form", ["cidr", "dash"])
def test_a_range_is_probed_at_once_and_listed_in_address_order(monkeypatch, warnings_seen, form):
    short_timeouts(monkeypatch, read=0.5, request=1)
    masters = ["127.88.1.9", "127.88.1.3", "127.88.1.20"]  # served in this order, listed by address
    port = free_port(masters[0])
    doc = sim.demo_installation()
    doc["masters"] = [m for m in doc["masters"] if m["transport"] == "IP"]
    doc["masters"].append({**doc["masters"][0], "address": "192.168.10.23"})
    served = Servers(sim.load_installation(doc), listen=[(ip, port) for ip in masters]).start()
    silent = silent_hosts([f"127.88.1.{i}" for i in range(21, 29)], port)
    entry = f"127.88.1.0/27:{port}" if form == "cidr" else f"127.88.1.1-127.88.1.30:{port}"
    sim.use_installation({"masters": [], "rest": {"hosts": [entry, f"127.88.2.1:{port}"]}})
    try:
        start = time.monotonic()
        with ip_base() as base:
            found = base.discover()
        took = time.monotonic() - start
    finally:
        served.close()
        for s in silent:
            s.close()
    assert [b.address for b in found] == [f"127.88.1.{i}:{port}" for i in (3, 9, 20)]
    assert [b.name for b in found] == ["palletizer hub", "IOLM-8 conveyor", "IOLM-8 conveyor"]
    assert took < 3  # 8 silent hosts one after the other: 4 s
    summary, single = warnings_seen.lines
    assert summary.startswith(f"velmora.base: IP discovery: {entry}: no master at 27 of 30 addresses (first: Master ")
    assert single.startswith(f"velmora.base: IP discovery: no master found: Master 127.88.2.1:{port}: GET ")


@pytest.mark.parametrize("entry, problem", [
    ("127.0.0.0/21", "a range holds at most 1024 addresses, /21 holds 2046"),
    ("127.0.0.9-127.0.0.2", "127.0.0.2 comes before 127.0.0.9"),
    ("127.0.0.1-127.0.4.1:80", "a range holds at most 1024 addresses, this one holds 1025"),
    ("127.0.0.0/24:0", "port 0 out of range (1..65535)"),
    ("127.0.0.300/24", "not an IPv4 address"),
])
def test_a_bad_range_is_a_clear_error_in_both_places(monkeypatch, entry, problem):
    with pytest.raises(sim.InstallationError, match=rf"rest\.hosts\[0\]: '{entry}': .*{re.escape(problem)}"):
        sim.load_installation({"masters": [], "rest": {"hosts": [entry]}})
    monkeypatch.setenv(ENV_HOSTS, entry)
    with ip_base() as base, pytest.raises(IoddError, match=f"{ENV_HOSTS}: '{entry}': .*{re.escape(problem)}"):
        base.discover()


def test_a_plain_host_of_a_range_counts_as_listed(monkeypatch):
    monkeypatch.setenv(ENV_HOSTS, "127.88.3.1-127.88.3.4")
    settings_ = Settings.load(sim.installation())
    assert settings_.listed("127.88.3.2") and not settings_.listed("127.88.3.5")
    assert [a for _, a in settings_.addresses()] == [f"127.88.3.{i}" for i in range(1, 5)]


# ---------------------------------------------------------------- addresses that cannot be masters


@pytest.mark.parametrize("address, problem", [
    ("https://127.0.0.1:", "empty port"),
    ("127.0.0.1:99999", "port 99999 out of range (1..65535)"),
    ("http//127.0.0.1:80", "malformed URL (no ':' after the scheme)"),
    ("ftp://127.0.0.1", "unsupported scheme 'ftp' (expected http or https)"),
    ("http://user@127.0.0.1", "user information in a URL is not supported"),
    ("[::1]:0", "port 0 out of range (1..65535)"),
])
def test_an_address_that_cannot_be_a_master_gets_one_warning(warnings_seen, address, problem):
    with ip_base() as base:
        assert base.discover(address) is None
    assert warnings_seen.lines == [f"velmora.base: IP: {address!r} is not a master address: {problem}"]


def test_addresses_of_other_transports_stay_silent(warnings_seen):
    with ip_base() as base:
        for address in ("COM5", "D4:36:39:8A:10:55", "/dev/ttyUSB0"):
            assert base.discover(address) is None
    assert warnings_seen.lines == []


# ---------------------------------------------------------------- installation files


@pytest.mark.parametrize("text, where, problem", [
    ('{"masters": [],\n "rest": {"readTimeout": ' + "1" * 5000 + "}}", "line 2, column 26",
     "integer of 5000 digits too long (at most 4300 digits)"),
    ('{"masters": ' + "[" * 100_000 + "]" * 100_000 + "}", "line 1, column 212",
     "arrays and objects nested too deeply (more than 200 levels)"),
])
def test_parser_limits_name_file_place_and_problem(tmp_path, text, where, problem):
    path = tmp_path / "plant.json"
    path.write_text(text)
    with pytest.raises(sim.InstallationError) as info:
        sim.load_installation(path)
    assert str(info.value) == f"{path}: {where}: {problem}"


def test_an_endless_file_is_refused_by_its_size():
    with pytest.raises(sim.InstallationError) as info:
        sim.load_installation("/dev/zero")
    assert str(info.value) == "/dev/zero: larger than 64 MiB, not an installation file"


# ---------------------------------------------------------------- the server and the event log


def raw_request(address: str, data: bytes) -> bytes:
    host, port = address.rsplit(":", 1)
    with socket.create_connection((host, int(port)), timeout=5) as s:
        s.sendall(data)
        s.shutdown(socket.SHUT_WR)
        chunks = []
        while chunk := s.recv(65536):
            chunks.append(chunk)
    return b"".join(chunks)


@pytest.mark.parametrize("method, path", [
    ("GET", "/gateway/configuration"), ("POST", "/gateway/configuration"), ("POST", "/gateway/events"),
    ("POST", "/gateway/reset"), ("POST", "/gateway/reboot"), ("TRACE", "/gateway/identification"),
    ("BREW", "/masters"),
])
def test_unsupported_operations_answer_103_as_json(serve, method, path):
    address = serve().addresses["192.168.10.21"]
    answer = raw_request(address, f"{method} {API}{path} HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n".encode())
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 404 ")
    assert json.loads(body) == {"code": 103, "message": "Operation not supported"}


def test_the_server_keeps_connections_open(serve):
    servers = serve()
    address = servers.addresses["192.168.10.21"]
    two = f"GET {API}/masters HTTP/1.1\r\nHost: x\r\n\r\n".encode() * 2
    answer = raw_request(address, two)
    assert answer.count(b"HTTP/1.1 200 OK") == 2
    assert servers.servers[0].connections == 1


def test_the_event_log_is_bounded():
    for i in range(EVENT_LOG_LIMIT + 50):
        runtime.record("discover", "IP", str(i))
    log = sim.events()
    assert len(log) == EVENT_LOG_LIMIT and log[-1].address == str(EVENT_LOG_LIMIT + 49)
    sim.reset()
    assert sim.events() == []


def test_many_checks_leave_no_drivers_behind():
    for _ in range(200):
        with ip_base() as base:
            bridge = base.discover("192.168.10.21")
            base.connect(bridge, {"IP": OFF}).disconnect()
    assert runtime.base_drivers == [] and runtime.master_drivers == []


def test_servers_need_one_address_or_one_per_master():
    with pytest.raises(ValueError, match="2 IP master"):
        Servers(sim.load_installation(sim.demo_installation()), listen=[("127.0.0.1", 0)] * 3)


def test_a_refused_or_failing_master_over_keep_alive_is_still_skipped(serve):
    doc = sim.demo_installation()
    doc["masters"] = [m for m in doc["masters"] if m["transport"] == "IP"]
    doc["masters"][0]["fault"] = "refuse"
    servers = serve(doc)
    with ip_base() as base:
        bridge = base.discover(servers.addresses["192.168.10.21"])
        with pytest.raises(RestError, match=r"HTTP 500 Internal Server Error: \[102\]"):
            base.connect(bridge, {"IP": OFF})


def test_request_and_session_timeouts_are_settings(monkeypatch):
    inst = sim.load_installation({"masters": [], "rest": {"requestTimeout": 2, "sessionTimeout": 9}})
    s = Settings.load(inst, {})
    assert (s.request_timeout, s.session_timeout) == (2, 9)
    s = Settings.load(inst, {ENV_TIMEOUTS["sessionTimeout"]: "1.5"})
    assert s.session_timeout == 1.5
    with pytest.raises(IoddError, match="VELMORA_BASE_REST_REQUEST_TIMEOUT: expected seconds"):
        Settings.load(inst, {ENV_TIMEOUTS["requestTimeout"]: "0"})


def test_probing_a_master_opens_and_closes_its_own_connection(raw_master):
    master = raw_master()
    client = client_for(master.address)
    link = RestMaster.probe(client)
    assert not client.connection.is_open and master.connections == 1
    link.open()
    link.port_modes()
    link.port_modes()
    link.close()
    assert not client.connection.is_open and master.connections == 2
    paths = [p for _, p in master.requests]
    assert paths.count(f"{API}/masters/1/ports/1/configuration") == 1


def test_concurrent_discoveries_do_not_mix(serve, monkeypatch):
    servers = serve()
    monkeypatch.setenv(ENV_HOSTS, ",".join(servers.addresses.values()))
    sim.use_installation({"masters": []})
    results: list[list[str]] = []

    def run() -> None:
        with ip_base() as base:
            results.append([b.address for b in base.discover()])

    threads = [threading.Thread(target=run) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert results == [list(servers.addresses.values())] * 4
