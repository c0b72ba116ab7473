"""Addresses a user gives: checked and expanded (velmora.base.expect_addresses),
plain hosts asked over REST (http, then https), given addresses probed at
once, and the emulated masters only when chosen."""

from __future__ import annotations

import json
import socket
import threading
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
import velmora.base
from velmora.base import IoddUtility, _address, _IoddDrv, sim
from velmora.base._rest import ENV_HOSTS

from rest_doubles import API, GOOD, Warnings, http_answer, json_answer


EXAMPLES = Path(__file__).parents[1] / "examples"


@pytest.fixture
def ip() -> Iterator[Any]:
    base = _IoddDrv.IolIpBaseDriver()
    yield base
    base.close()


def closed_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


@pytest.mark.parametrize("given, expanded", [
    (["10.0.0.5", "10.0.0.0/30", "10.0.0.1"], ["10.0.0.5", "10.0.0.1", "10.0.0.2"]),
    (["10.0.0.254-10.0.1.1:8080"], ["10.0.0.254:8080", "10.0.0.255:8080", "10.0.1.0:8080", "10.0.1.1:8080"]),
    (["10.0.0.7/32", "https://m.plant:8443#2", "fe80::1", "COM5"], ["10.0.0.7", "https://m.plant:8443#2", "fe80::1", "COM5"]),
])
def test_given_addresses_expand_ranges_in_order_each_once(given, expanded):
    assert velmora.base.expect_addresses(given) == expanded


@pytest.mark.parametrize("address, problem", [
    ("10.0.0.0/33", "prefix /33 out of range (0..32)"),
    ("10.0.0.9-10.0.0.1", "10.0.0.1 comes before 10.0.0.9"),
    ("10.0.0.0/21", "a range holds at most 1024 addresses, /21 holds 2046"),
    ("10.0.0.0-10.0.4.0", "a range holds at most 1024 addresses, this one holds 1025"),
    ("10.0.0.0/24:0", "port 0 out of range (1..65535)"),
    ("10.0.0.5:70000", "port 70000 out of range (1..65535)"),
    ("10.0.0/24", "not an address range"),
    ("10.0.0.256-10.0.0.300", "not an IPv4 address"),
    ("ftp://10.0.0.5", "unsupported scheme 'ftp'"),
    ("10.0.0.5#0", "master number '0' after '#'"),
    (" ", "empty address"),
])
def test_a_malformed_address_is_named_with_why(address, problem):
    with pytest.raises(ValueError, match=f"^'{address}': ") as info:
        velmora.base.expect_addresses(["10.0.0.1", address])
    assert problem in str(info.value)


@pytest.mark.parametrize("address, plain", [
    ("10.0.0.5", True), ("master-3.plant", True), ("::1", True), ("fe80::1%eth0", True),
    ("COM5", False), ("com12", False), ("D4:36:39:8A:10:5C", False), ("D4-36-39-8A-10-5C", False),
    ("/dev/ttyUSB0", False), ("10.0.0.5:80", False), ("[::1]", False), ("a b", False), ("", False),
])
def test_plain_hosts(address, plain):
    assert _address.plain_host(address) is plain


DEMO_IP = ["192.168.10.21", "192.168.10.22"]


@pytest.mark.parametrize("named, hosts, listed", [
    (False, False, DEMO_IP),  # nothing configured: the demo
    (False, True, []),        # REST hosts in the environment: a real plant
    (True, True, DEMO_IP),    # a named installation keeps its emulated masters
])
def test_the_demo_gives_way_to_rest_hosts_a_named_installation_does_not(
        raw_master, monkeypatch, named, hosts, listed):
    if hosts:
        monkeypatch.setenv(ENV_HOSTS, f"127.0.0.1:{closed_port()}")
    if named:
        sim.use_installation(sim.demo_installation())
    log = Warnings()
    IoddUtility.CommonDriverManager.iodd = log
    found = []
    for entry in _IoddDrv.driverlist[:3]:
        base = entry.getBaseDriverType()()
        try:
            found += [b.address for b in base.discover()]
            # A check limited to an emulated master's address still finds it.
            found += [b.address for b in [base.discover("COM5")] if b]
        finally:
            base.close()
    emulated = [*listed, "COM5", "COM5", "D4:36:39:8A:10:5C"] if listed else []
    assert found == emulated
    assert len(log.notes) == (1 if listed else 0)  # once, naming the installation
    assert all(("demo plant" in note) is not named for note in log.notes)


def redirect() -> bytes:
    return http_answer(301, "", "Location: https://127.0.0.1/iolink/v1/gateway/identification\r\n")


@pytest.mark.parametrize("http, tried", [
    ("master", None),
    ("closed", "connection refused; then https://127.0.0.1:{https}: GET /iolink/v1/gateway/identification: "
               "connection refused"),
    ("redirect", "HTTP 301 X (redirects to https://127.0.0.1/iolink/v1/gateway/identification); then "
                 "https://127.0.0.1:{https}: GET /iolink/v1/gateway/identification: connection refused"),
    ("not found", None),  # answers, as no master does: https is not tried
])
def test_a_plain_address_is_asked_at_http_then_https(raw_master, monkeypatch, warnings_seen, ip, http, tried):
    server = raw_master({"/gateway/identification": redirect()} if http == "redirect" else
                        {"/gateway/identification": json_answer({}, 404)} if http == "not found" else None)
    ports = {"http": closed_port() if http == "closed" else int(server.address.rpartition(":")[2]),
             "https": closed_port()}
    monkeypatch.setattr(_address, "DEFAULT_PORTS", ports)
    monkeypatch.setattr("velmora.base._rest.transport.DEFAULT_PORTS", ports)
    bridge = ip.discover("127.0.0.1")
    if http == "master":
        assert bridge.address == "127.0.0.1" and bridge.vendor == "Stub" and warnings_seen.lines == []
        return
    assert bridge is None and len(warnings_seen.lines) == 1
    if tried:
        assert warnings_seen.lines[0] == (
            f"velmora.base: IP discovery: no master found: Master 127.0.0.1: tried http://127.0.0.1:{ports['http']}: "
            f"GET /iolink/v1/gateway/identification: {tried.format(**ports)}")
    else:
        assert "HTTP 404" in warnings_seen.lines[0] and "https" not in warnings_seen.lines[0]


def test_a_plain_address_refused_at_http_is_not_asked_at_https_without_its_ca(monkeypatch, tmp_path, warnings_seen, ip):
    ports = {"http": closed_port(), "https": closed_port()}
    monkeypatch.setattr(_address, "DEFAULT_PORTS", ports)
    monkeypatch.setattr("velmora.base._rest.transport.DEFAULT_PORTS", ports)
    monkeypatch.setenv("SSL_CERT_FILE", str(tmp_path / "plant-ca.pem"))
    assert ip.discover("127.0.0.1") is None
    assert len(warnings_seen.lines) == 1
    assert f"then https://127.0.0.1:{ports['https']}: SSL_CERT_FILE: " in warnings_seen.lines[0]


def test_given_addresses_are_probed_at_once_and_a_ranges_silent_ones_are_one_warning(
        raw_master, monkeypatch, tmp_path, warnings_seen, ip):
    # Each probe of the first master waits until the second has been asked
    # too: only probes under way at the same time get past it.
    second = raw_master()
    together = threading.Event()

    def identification(sock: socket.socket) -> None:
        for _ in range(100):
            if second.requests:
                together.set()
                break
            threading.Event().wait(0.05)
        sock.sendall(json_answer(GOOD["/gateway/identification"]))

    first = raw_master({"/gateway/identification": identification})
    port = first.address.rpartition(":")[2]
    netrc = tmp_path / "netrc"
    netrc.write_text("default login maint password for-single-hosts-only\n")
    monkeypatch.setenv("NETRC", str(netrc))
    asks = velmora.base.expect_addresses([f"127.0.0.1-127.0.0.3:{port}", second.address])
    assert asks == [first.address, f"127.0.0.2:{port}", f"127.0.0.3:{port}", second.address]
    found = [bridge.address if bridge else None for bridge in map(ip.discover, asks)]
    assert found == [first.address, None, None, second.address]
    assert together.is_set()
    assert second.requests.count(("GET", f"{API}/gateway/identification")) == 1  # probed once, its result used
    assert [line.split(" (first:")[0] for line in warnings_seen.lines] == [
        f"velmora.base: IP discovery: 127.0.0.1-127.0.0.3:{port}: no master at 2 of 3 addresses"]


def test_a_swept_host_gets_no_default_credentials(raw_master, monkeypatch, tmp_path, warnings_seen, ip):
    guarded = raw_master({"/gateway/identification": http_answer(
        401, '{"code": 151, "message": "no"}', 'WWW-Authenticate: Basic realm="IO-Link Master"\r\n')})
    port = guarded.address.rpartition(":")[2]
    (tmp_path / "netrc").write_text("default login maint password for-single-hosts-only\n")
    monkeypatch.setenv("NETRC", str(tmp_path / "netrc"))
    for address in velmora.base.expect_addresses([f"127.0.0.1-127.0.0.1:{port}"]):
        assert ip.discover(address) is None
    assert len(guarded.requests) == 1  # not asked again with the default entry's credentials
    assert len(warnings_seen.lines) == 1 and "needs credentials: add a netrc entry for 127.0.0.1" in \
        warnings_seen.lines[0]


def test_a_range_holding_an_emulated_master_still_sums_up_its_silent_addresses(warnings_seen, ip):
    port = closed_port()
    doc = sim.demo_installation()
    doc["masters"] = [{**doc["masters"][0], "address": f"127.0.0.2:{port}"}]
    sim.use_installation(doc)
    asks = velmora.base.expect_addresses([f"127.0.0.1-127.0.0.3:{port}"])
    assert [bridge.address if bridge else None for bridge in map(ip.discover, asks)] == [None, asks[1], None]
    assert [line.split(" (first:")[0] for line in warnings_seen.lines] == [
        f"velmora.base: IP discovery: 127.0.0.1-127.0.0.3:{port}: no master at 2 of 3 addresses"]


@pytest.mark.parametrize("second_given", [False, True])
def test_a_gateway_warns_of_its_other_masters_unless_they_are_given_too(serve, warnings_seen, ip, second_given):
    servers = serve(json.loads((EXAMPLES / "gateway.json").read_text()))
    gateway = servers.addresses["192.168.10.30"]
    sim.use_installation({"masters": []})
    asks = velmora.base.expect_addresses([gateway, f"{gateway}#2"][:1 + second_given])
    assert all(map(ip.discover, asks))
    assert warnings_seen.lines == ([] if second_given else [
        f"velmora.base: IP: {gateway} is a gateway with 2 IO-Link masters: {gateway} is its master 1; give the "
        f"others' addresses to check them: {gateway}#2"])


def test_a_range_of_plain_hosts_that_refuse_http_and_https_is_one_warning(monkeypatch, warnings_seen, ip):
    ports = {"http": closed_port(), "https": closed_port()}
    monkeypatch.setattr(_address, "DEFAULT_PORTS", ports)
    monkeypatch.setattr("velmora.base._rest.transport.DEFAULT_PORTS", ports)
    asks = velmora.base.expect_addresses(["127.0.0.1-127.0.0.2"])
    assert [ip.discover(a) for a in asks] == [None, None]
    assert [line.split(" (first:")[0] for line in warnings_seen.lines] == [
        "velmora.base: IP discovery: 127.0.0.1-127.0.0.2: no master at 2 of 2 addresses"]
