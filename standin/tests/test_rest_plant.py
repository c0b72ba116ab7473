"""REST masters as plants have them, over real sockets on 127.0.0.1: error
answers by code and as typed errors, writes the master refuses, gateways with
several masters, user management, own certificates, port faults."""

from __future__ import annotations

import json
import re
from pathlib import Path

import pytest
from velmora.base import sim
from velmora.base._errors import InstallationError
from velmora.base._protocol import ErrorCode
from velmora.base._rest import ENV_HOSTS, Settings
from velmora.base._rest.client import (
    AuthenticationNeeded,
    LockedByOtherClient,
    PermissionDenied,
    RestError,
)

from rest_doubles import API, GOOD, http_answer, json_answer
from test_rest_field import AUTO, OFF, client_for, ip_base, listing

FORBIDDEN = json_answer({"code": 150, "message": "Permission denied"}, 403)
LOCKED = json_answer({"code": 104, "message": "Action locked by another client"}, 400)
DEACTIVATED = {
    "/masters/1/ports": json_answer([{"portNumber": p, "statusInfo": "DEACTIVATED", "deviceAlias": f"master1port{p}"}
                                     for p in (1, 2)]),
    "/masters/1/ports/1/configuration": json_answer({"mode": "DEACTIVATED", "deviceAlias": "master1port1"}),
    "/masters/1/ports/2/configuration": json_answer({"mode": "DEACTIVATED", "deviceAlias": "master1port2"}),
}


# ---------------------------------------------------------------- errors by code


def test_every_error_code_has_words_and_104_names_another_client():
    assert {101, 102, 103, 104, 105, 106, 150, 151, 307, 308, 401, 503, 605, 703} <= set(ErrorCode)
    assert all(code.words and code.message and 400 <= code.status < 600 for code in ErrorCode)
    assert "another client" in ErrorCode.ACTION_LOCKED.words and ErrorCode.AUTHENTICATION_INVALID.status == 401
    assert ErrorCode.of(104) is ErrorCode.ACTION_LOCKED and ErrorCode.of(999) is None and ErrorCode.of("104") is None


@pytest.mark.parametrize("answer, kind, words", [
    (http_answer(401, "", 'WWW-Authenticate: Basic realm="IO-Link Master"\r\n'), AuthenticationNeeded, "HTTP 401"),
    (json_answer({"code": 151, "message": "Authentication information is missing or invalid"}, 401),
     AuthenticationNeeded, "[151]"),
    (FORBIDDEN, PermissionDenied, "[150] Permission denied (the master's user management does not allow it)"),
    (LOCKED, LockedByOtherClient, "[104] Action locked by another client (another client, such as the fieldbus"),
    (json_answer({"code": 103, "message": "Operation not supported"}, 404), RestError,
     "[103] Operation not supported (this master does not offer that request)"),
    (json_answer({"code": 4711, "message": "Vendor's own"}, 500), RestError, "HTTP 500 X: [4711] Vendor's own"),
])
def test_error_answers_are_typed_errors_in_words(raw_master, answer, kind, words):
    master = raw_master({"/gateway/identification": answer})
    client = client_for(master.address)
    with pytest.raises(RestError) as caught:
        client.get("/gateway/identification")
    client.end()
    assert type(caught.value) is kind and not caught.value.link
    assert str(caught.value).startswith(f"Master {master.address}: GET {API}/gateway/identification: HTTP ")
    assert words in str(caught.value)


# ---------------------------------------------------------------- writes the master refuses


@pytest.mark.parametrize("refusal, why", [
    (FORBIDDEN, "HTTP 403 X: [150] Permission denied"),
    (LOCKED, "HTTP 400 X: [104] Action locked by another client"),
    (json_answer({"code": 205, "message": "JSON data value out of range"}, 400), "[205]"),
])
def test_a_refused_write_is_one_warning_and_the_ports_stay_as_they_are(raw_master, warnings_seen, refusal, why):
    master = raw_master({**DEACTIVATED, "POST /masters/1/ports/1/configuration": refusal})
    with ip_base() as base:
        modes, devices = listing(base, master.address, AUTO)
    assert [m.activated() for m in modes] == [False, False] and devices == []
    assert [m for m, _ in master.requests].count("POST") == 1  # no second port tried
    [line] = warnings_seen.lines
    assert line.startswith(f"velmora.base: Master {master.address} port 1: not switched to IOLINK_AUTOSTART, "
                           f"the master refused POST {API}/masters/1/ports/1/configuration: ")
    assert why in line and line.endswith("its ports are listed as they are")


def test_an_identification_without_names_of_vendor_or_product_has_empty_ones(raw_master):
    master = raw_master({"/devices/master1port1/identification": json_answer({"vendorId": 26, "deviceId": 42,
                                                                              "serialNumber": "S1"})})
    with ip_base() as base:
        _, [(_, _, _, ident)] = listing(base, master.address)
    assert (ident["vendorName"], ident["productName"], ident["serialNumber"], ident["productText"]) == ("", "", "S1",
                                                                                                      None)
    assert GOOD["/devices/master1port1/identification"]["vendorName"] == "Stub sensors"


# ---------------------------------------------------------------- gateways with several masters

EXAMPLES = Path(__file__).parents[1] / "examples"


def test_every_master_of_a_gateway_is_its_own_bridge_and_session(serve, monkeypatch, warnings_seen):
    servers = serve(json.loads((EXAMPLES / "gateway.json").read_text()))
    gateway, second = servers.addresses["192.168.10.30"], servers.addresses["192.168.10.30#2"]
    assert second == f"{gateway}#2"
    served = servers.masters["192.168.10.30"]
    monkeypatch.setenv(ENV_HOSTS, f"{gateway},{servers.addresses['192.168.10.31']},{second}")
    sim.use_installation({"masters": []})
    with ip_base() as base:
        found = base.discover()
        assert [b.address for b in found] == [gateway, second, servers.addresses["192.168.10.31"]]
        assert served.requests.count(("GET", f"{API}/gateway/identification")) == 1  # once per discovery
        assert [(b.name, b.vendor) for b in found[:2]] == [("hall 2, cabinet 4, slot 1", "Velmora"),
                                                          ("hall 2, cabinet 4, slot 2", "Velmora")]
        _, first_devices = listing(base, gateway)
        modes, devices = listing(base, second)
        assert [d[:3] for d in first_devices] == [(1, 1893, 1090291)]
        assert [m.activated() for m in modes] == [False, True] and [d[:3] for d in devices] == [(2, 1893, 1090310)]
        assert warnings_seen.lines[-1] == (f"velmora.base: IP: {gateway} is a gateway with 2 IO-Link masters: "
                                           f"{gateway} is its master 1; give the others' addresses to check them: "
                                           f"{second}")
        assert len(warnings_seen.lines) == 1  # asking for #2 warns of nothing
        assert base.discover(f"{gateway}#3") is None
    assert warnings_seen.lines[-1].endswith(f"{gateway}#3: the gateway has no IO-Link master 3 (its masters: 1, 2)")
    assert sim.open_master_drivers() == []


@pytest.mark.parametrize("address, problem", [
    ("192.168.10.30#1", "master 1 of a gateway has its plain address '192.168.10.30'"),
    ("192.168.10.99#2", "no IP master '192.168.10.99' (master 1 of its gateway)"),
    ("192.168.10.30#x", "master number 'x' after '#' is not a number in 1..2147483647"),
])
def test_an_installation_names_a_gateways_masters_plainly(address, problem):
    doc = json.loads((EXAMPLES / "gateway.json").read_text())
    doc["masters"][1]["address"] = address
    with pytest.raises(InstallationError, match=re.escape(f"masters[1].address: '{address}': {problem}")):
        sim.load_installation(doc)


def test_a_master_number_listed_twice_and_no_vendor_name_still_give_a_master(raw_master):
    master = raw_master({"/masters": json_answer([{"masterNumber": 1}, {"masterNumber": 1.0}]),
                         "/masters/1/identification": json_answer({"vendorId": 1, "masterId": 2}),
                         "/gateway/identification": json_answer({})})
    with ip_base() as base:
        bridge = base.discover(master.address)
        assert (bridge.address, bridge.vendor, bridge.vendorId) == (master.address, None, 1)
        assert listing(base, master.address)[1][0][:3] == (1, 26, 42)


# ---------------------------------------------------------------- port faults in words


@pytest.mark.parametrize("over_rest", [False, True])
def test_port_faults_are_told_in_words_in_process_and_over_rest(serve, warnings_seen, over_rest):
    doc = json.loads((EXAMPLES / "port-faults.json").read_text())
    address = "192.168.10.40"
    if over_rest:
        address = serve(doc).addresses[address]
        doc = {"masters": []}
    sim.use_installation(doc)
    with ip_base() as base:
        bridge = base.discover(address)
        driver = base.connect(bridge, {base.driverName(): OFF})
        devices = driver.getDevices(options=OFF)
        driver.disconnect()
        # The master's health carries each fault warned of, after the session too.
        faults = [(f.port, f.status, f.text) for f in bridge.health.faults]
    assert [d[:3] for d in devices] == [(1, 1893, 1090291), (3, 1893, 1090310)]  # the incorrect device is listed
    said = "velmora.base: Master " + address + " port "
    assert warnings_seen.lines == [said + f"{port}: {text}" for port, _, text in faults]
    assert faults == [
        (2, "COMMUNICATION_LOST", "expected device 0x0765/0x10a2f3 does not answer (communication lost)"),
        (3, "INCORRECT_DEVICE", "holds another device than the expected 0x0765/0x10a2f3 (incorrect device)"),
        (4, "NOT_AVAILABLE", "not available (the master cannot use the port)"),
        (5, "DEVICE_STARTING", "device still starting, not listed"),
        (6, "PORT_POWER_OFF", "port power switched off (port power off)")]
    assert warnings_seen.infos == [said + "7: no device answers (communication lost)"]


@pytest.mark.parametrize("over_rest", [False, True])
def test_the_demo_plant_gives_no_port_warnings(serve, warnings_seen, over_rest):
    servers = serve() if over_rest else None
    for master in ("192.168.10.21", "192.168.10.22"):
        with ip_base() as base:
            listing(base, servers.addresses[master] if servers else master)
    assert warnings_seen.lines == []


@pytest.mark.parametrize("status, words", [
    ("PAIRING_FAULT", "wireless device not paired (pairing fault)"),
    ("PORT_DIAG", "the master reports a fault of the port (port diagnosis)"),
    ("SMOKE", "unknown port state 'SMOKE'"),
    ("INCORRECT_DEVICE", "holds a device that the master does not accept (incorrect device)"),
])
def test_later_port_states_are_told_too(raw_master, warnings_seen, status, words):
    master = raw_master({"/masters/1/ports": json_answer([{"portNumber": 1, "statusInfo": status}])})
    with ip_base() as base:
        _, devices = listing(base, master.address)
    assert len(devices) == (status == "INCORRECT_DEVICE")
    assert warnings_seen.lines == [f"velmora.base: Master {master.address} port 1: {words}"]


def test_masters_without_optional_resources_are_read_through_fallbacks(raw_master, warnings_seen):
    unsupported = json_answer({"code": 103, "message": "Operation not supported"}, 404)
    master = raw_master({**DEACTIVATED, "/masters/1/ports": unsupported, "/masters/1/capabilities": unsupported,
                         "/masters/1/ports/1/status": unsupported,
                         "/devices": json_answer([{"deviceAlias": f"master1port{p}", "masterNumber": 1,
                                                   "portNumber": p} for p in (1, 2)]),
                         "/devices/master1port2/identification": json_answer(
                             {"code": 308, "message": "IO-Link Device is not accessible"}, 404),
                         "POST /masters/1/ports/1/configuration": http_answer(204, ""),
                         "POST /masters/1/ports/2/configuration": http_answer(204, "")})
    with ip_base() as base:
        modes, devices = listing(base, master.address, AUTO)
    assert len(modes) == 2 and warnings_seen.lines == []  # two ports, from the device list
    assert [d[:3] for d in devices] == [(1, 26, 42)]  # written, not waited for: no port status to wait on


# ---------------------------------------------------------------- credentials


def test_credentials_hide_in_every_repr_and_error(tmp_path, raw_master, monkeypatch):
    secret = "Pl4nted-c0ffee-secret"
    netrc = tmp_path / "netrc"
    netrc.write_text(f"machine 127.0.0.1 login maint password {secret}\ndefault login any password {secret}x\n")
    monkeypatch.setenv("NETRC", str(netrc))
    settings = Settings.load(sim.installation())
    assert settings.credential("127.0.0.1").secret == secret and settings.credential("10.0.0.9").login == "any"
    assert settings.credential("10.0.0.9", swept=True) is None  # a swept range gets no default entry
    client = client_for(raw_master().address)
    client.auth.ask('Basic realm="IO-Link Master"')
    shown = [repr(settings), str(settings), repr(settings.netrc), repr(settings.credential("127.0.0.1")),
             repr(client.auth), str(client.auth.credential)]
    assert client.auth.header() is not None and not any(secret in text for text in shown)
    # A file this parser refuses stops no check; why it is not used is kept, without its content.
    netrc.write_text(f"machine 127.0.0.1 login maint password {secret} {secret}\n")
    broken = Settings.load(sim.installation())
    assert broken.credential("127.0.0.1") is None and secret not in repr(broken)
    assert "not understood" in broken.netrc_problem and secret not in broken.netrc_problem


def test_a_bearer_challenge_gets_the_entrys_password_as_token(tmp_path, raw_master, monkeypatch):
    (tmp_path / "netrc").write_text("machine 127.0.0.1 login token password eyJhbGciOi.J9-x_y\n")
    monkeypatch.setenv("NETRC", str(tmp_path / "netrc"))
    client = client_for(raw_master().address)
    assert client.auth.ask("Bearer realm=x") and client.auth.header() == "Bearer eyJhbGciOi.J9-x_y"


@pytest.mark.parametrize("entry, outcome", [
    (None, "HTTP 401 Unauthorized: [151] Authentication information is missing or invalid (the master needs a "
           "user name and password, or did not accept the ones given): needs credentials: add a netrc entry for "
           "127.0.0.1"),
    ("machine 127.0.0.1 login maint password nope", "credentials rejected: the master did not accept the netrc "
                                                    "entry for 127.0.0.1"),
    ("machine 127.0.0.1 login maint password change-me-on-site", "not switched to IOLINK_AUTOSTART, the master "
                                                                  "refused POST"),
])
def test_an_emulated_master_with_user_management(serve, tmp_path, monkeypatch, warnings_seen, capsys, entry, outcome):
    servers = serve(json.loads((EXAMPLES / "user-management.json").read_text()), verbose=True)
    address = servers.addresses["192.168.10.50"]
    if entry:
        (tmp_path / "netrc").write_text(entry + "\n")
        monkeypatch.setenv("NETRC", str(tmp_path / "netrc"))
    with ip_base() as base:
        if "switched" in outcome:
            modes, devices = listing(base, address, AUTO)
            assert [m.activated() for m in modes] == [False, False] and devices == []
        else:
            assert base.discover(address) is None
    [line] = warnings_seen.lines
    assert outcome in line and line.startswith(f"velmora.base: IP discovery: Master {address}: " if "switched" not in
                                                outcome else f"velmora.base: Master {address} port 1: ")
    log = capsys.readouterr().err  # the server's log
    assert f"GET {API}/gateway/identification" in log and "change-me-on-site" not in log


def test_reads_the_user_management_refuses_are_one_warning_each(raw_master, warnings_seen):
    master = raw_master({"/masters/1/ports/1/configuration": FORBIDDEN, "/devices": FORBIDDEN})
    with ip_base() as base:
        modes, devices = listing(base, master.address)
    assert [m.activated() for m in modes] == [True] and devices == []  # DEVICE_ONLINE: an IO-Link port
    assert [line.split(": HTTP 403 X: ")[1] for line in warnings_seen.lines] == [
        "[150] Permission denied (the master's user management does not allow it); the ports' modes are taken "
        "from their states",
        "[150] Permission denied (the master's user management does not allow it); no device listed"]
