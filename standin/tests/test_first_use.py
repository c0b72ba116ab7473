"""What a new user meets first: a master that cannot be connected is named
once, addresses are matched as their platforms do and one that matches
nothing is named, the server says in one line why it cannot listen, and the
installation file's nesting limit is the one stated."""

from __future__ import annotations

import socket
import subprocess
import sys
from typing import Any

import pytest
from velmora.base import _IoddDrv, server, sim

OFF = {"activatePorts": "off"}


def master(transport: str, address: str, **extra: Any) -> dict[str, Any]:
    return {"transport": transport, "address": address, "ports": [{"mode": "DI"}], **extra}


PLANT = {"masters": [
    master("IP", "10.0.0.1"),
    master("IP", "10.0.0.2", fault="refuse"),
    master("IP", "10.0.0.3", supported=False, identity={"productName": "XL-9"}),
    master("USB", "COM5", fault="fail-after-connect"),
    master("BLE", "D4:36:39:8A:10:5C"),
    master("BLE", "D4:36:39:8A:10:77", present=False),
]}


def connect(transport: str, address: str) -> None:
    """What the checker does with one master: discover, connect, disconnect."""
    entry = next(d for d in _IoddDrv.driverlist if d.driverName() == f"IOL-{transport}")
    base = entry.getBaseDriverType()()
    try:
        bridge = base.discover(address)
        assert bridge is not None
        driver = base.connect(bridge, {base.driverName(): OFF})
        if not driver.connected():
            driver.connect(OFF)
        driver.disconnect()
    finally:
        base.close()


@pytest.mark.parametrize("transport, address, warning", [
    ("IP", "10.0.0.2", "IP: master 10.0.0.2 not connected: connection refused"),
    ("IP", "10.0.0.3", "IP: master 10.0.0.3 not connected: no master driver for XL-9"),
    ("USB", "COM5", "USB: master COM5 not connected: connection lost right after connect"),
    ("IP", "10.0.0.1", None),
])
def test_a_master_that_cannot_be_connected_is_named_once(warnings_seen, transport, address, warning):
    sim.use_installation(PLANT)
    if warning is None:
        connect(transport, address)
    else:
        with pytest.raises(sim.IoddError):
            connect(transport, address)
    assert warnings_seen.lines == ([f"velmora.base: {warning}"] if warning else [])


def ask_every_transport(address: str) -> list[str]:
    """The addresses every available transport finds for address, in driver
    order (as the checker asks them)."""
    found = []
    for entry in _IoddDrv.driverlist[:3]:
        if not entry.getBaseDriverType().exist()[0]:
            continue
        base = entry.getBaseDriverType()()
        try:
            bridge = base.discover(address)
            found += [bridge.address] if bridge else []
        finally:
            base.close()
    return found


@pytest.mark.parametrize("address, found, warning", [
    ("com5", ["COM5"], None),
    ("Com5", ["COM5"], None),
    ("d4:36:39:8a:10:5c", ["D4:36:39:8A:10:5C"], None),
    ("com7", [], "no master at 'com7' (did you mean 'COM5'?)"),
    ("d4:36:39:8a:10:77", [], "no master at 'd4:36:39:8a:10:77' (did you mean 'D4:36:39:8A:10:5C'?)"),
    ("/dev/ttyUSB0", [], "no master at '/dev/ttyUSB0'"),
    ("10.0.0.0/30", [], "no master at '10.0.0.0/30': an address range is swept only when it is given to "
                        "velmora.base.expect_addresses() first, as tessadyn-check -a and the window do"),
    ("127.0.0.1:99999", [], "IP: '127.0.0.1:99999' is not a master address: port 99999 out of range (1..65535)"),
])
def test_addresses_match_as_their_platforms_do_and_nothing_found_is_one_warning(
        warnings_seen, address, found, warning):
    sim.use_installation(PLANT)
    assert ask_every_transport(address) == found
    assert warnings_seen.lines == ([f"velmora.base: {warning}"] if warning else [])


@pytest.mark.parametrize("unavailable", [("USB",), ("USB", "BLE")])
def test_an_address_of_no_master_is_named_when_its_transport_is_not_there(warnings_seen, unavailable):
    sim.use_installation({**PLANT, "transports": {t: {"available": False} for t in unavailable}})
    assert ask_every_transport("com7") == []
    assert warnings_seen.lines == ["velmora.base: no master at 'com7' (did you mean 'COM5'?)"]


def test_two_addresses_differing_in_case_are_one_master_to_the_installation():
    with pytest.raises(sim.InstallationError, match="duplicate address 'com5' on transport USB"):
        sim.load_installation({"masters": [master("USB", "COM5"), master("USB", "com5")]})


# ---------------------------------------------------------------- the server


def busy_port() -> tuple[socket.socket, int]:
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen()
    return sock, sock.getsockname()[1]


def test_a_port_in_use_is_one_line_and_every_listener_opened_is_closed(monkeypatch, capsys):
    closed: list[tuple[str, int]] = []
    close = server.MasterServer.server_close

    def recording_close(self: server.MasterServer) -> None:
        closed.append(self.server_address[:2])
        close(self)

    monkeypatch.setattr(server.MasterServer, "server_close", recording_close)
    sock, port = busy_port()
    with sock:
        status = server.main(["--listen", "127.0.0.1:0", "--listen", f"127.0.0.1:{port}"])
    out, err = capsys.readouterr()
    assert (status, out) == (1, "")
    assert err == f"error: cannot listen on 127.0.0.1:{port}: Address already in use\n"
    assert len(closed) == 2 and port in {p for _, p in closed}  # the first master's and the failed one


@pytest.mark.parametrize("listen, status, message", [
    ("127.0.0.1:65535", 1, "error: cannot listen on 127.0.0.1:65536: port out of range (1..65535)\n"),
    ("127.0.0.1:http", 2, "error: argument --listen: expected HOST:PORT, got '127.0.0.1:http'\n"),
])
def test_the_server_says_why_it_cannot_listen_without_a_traceback(listen, status, message):
    r = subprocess.run([sys.executable, "-m", "velmora.base.server", "--listen", listen],
                       capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stdout) == (status, "")
    assert r.stderr.endswith(message) and "Traceback" not in r.stderr


# ---------------------------------------------------------------- installation files


@pytest.mark.parametrize("depth, problem", [
    (200, None),
    (201, "line 1, column 231: arrays and objects nested too deeply (more than 200 levels)"),
    (3000, "line 1, column 231: arrays and objects nested too deeply (more than 200 levels)"),
])
def test_the_nesting_limit_stated_is_the_one_that_applies(tmp_path, depth, problem):
    path = tmp_path / "plant.json"
    # The top-level object is the first level.
    path.write_text('{"masters": [], "description": ' + "[" * (depth - 1) + "]" * (depth - 1) + "}")
    if problem is None:
        with pytest.raises(sim.InstallationError, match="description"):  # a valid depth, a wrong type
            sim.load_installation(path)
    else:
        with pytest.raises(sim.InstallationError) as info:
            sim.load_installation(path)
        assert str(info.value) == f"{path}: {problem}"
