"""The checker over the stand-in's REST transport, against emulated masters over
real sockets on 127.0.0.1: the report over REST equals the in-process one,
"auto" activates ports with POST, failures are bounded and clear.  The
transport's and the server's own tests are in standin/tests/test_rest_api.py."""

import copy
import json
import os
import re
import socket
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest

from velmora.base import IoddUtility, sim
from velmora.base._errors import IoddError
from velmora.base._rest import ENV_HOSTS, ENV_TIMEOUTS
from velmora.base.server import Servers
from velmora.tools.TessadynChecker import check

from test_cli import without_note

API = "/iolink/v1"
IOLINK_JSON = Path(__file__).parents[2] / "shared" / "iolink-json"
ENV = [sim.ENV_VAR, ENV_HOSTS, *ENV_TIMEOUTS.values()]


@pytest.fixture(autouse=True)
def fresh(monkeypatch):
    for name in ENV:
        monkeypatch.delenv(name, raising=False)
    sim.use_installation(None)
    IoddUtility.CommonDriverManager.iodd = None  # the next check() sets its logger
    yield
    sim.use_installation(None)
    IoddUtility.CommonDriverManager.iodd = None


@pytest.fixture
def serve():
    """serve(doc=None) -> Servers for a fresh copy of the installation (demo by default)."""
    started = []

    def start(doc=None, startup=0.2):
        servers = Servers(sim.load_installation(doc or sim.demo_installation()), device_startup=startup)
        started.append(servers)
        return servers.start()

    yield start
    for servers in started:
        servers.close()


def run(**kw):
    lines = []
    check(printFnc=lambda *a: lines.append(a[0] if a else ""), **kw)
    return "\n".join(lines)


def local_names(text, servers):
    """The report with each served address replaced by the master's installation address."""
    names = {v: k for k, v in servers.addresses.items()}
    return re.sub(r"127\.0\.0\.1:\d+", lambda m: names.get(m[0], m[0]), text)


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def demo_ip_only():
    doc = sim.demo_installation()
    doc["masters"] = [m for m in doc["masters"] if m["transport"] == "IP"]
    return doc


def posts(master):
    return [path for method, path in master.requests if method == "POST"]


# ---------------------------------------------------------------- same report as in-process


@pytest.mark.parametrize("auto", [False, True])
def test_report_over_rest_equals_in_process(serve, auto):
    servers = serve()
    over_rest = run(address=list(servers.addresses.values()), auto=auto)
    in_process = run(address=list(servers.addresses), auto=auto)
    assert local_names(over_rest, servers) == in_process
    assert "Device port 8: Velmora, VTS-10" in over_rest
    # "auto" POSTs IOLINK_AUTOSTART to each port of the master whose ports are all off, and
    # waits for its devices (they start up in 0.2 s); "off" never writes
    conveyor, palletizer = servers.masters["192.168.10.21"], servers.masters["192.168.10.22"]
    assert posts(conveyor) == []
    assert posts(palletizer) == ([f"{API}/masters/1/ports/{p}/configuration" for p in (1, 2, 3, 4)] if auto else [])
    assert {p.config["mode"] for p in palletizer.ports} == {"IOLINK_AUTOSTART" if auto else "DEACTIVATED"}
    assert ("OD-30 optical distance sensor" in local_names(over_rest, servers).split("192.168.10.22")[1]) == auto
    assert sim.open_master_drivers() == [] and sim.open_base_drivers() == []


@pytest.mark.parametrize("via", ["installation", "environment"])
def test_discover_without_address_asks_the_rest_hosts(serve, monkeypatch, via):
    servers = serve()
    in_process = run()  # the demo plant, its two IP masters in-process
    doc = sim.demo_installation()
    doc["masters"] = [m for m in doc["masters"] if m["transport"] != "IP"]
    rest = list(servers.addresses.values())
    hosts = [rest[0], f"127.0.0.1:{closed_port()}", rest[1]]  # nothing answers the second: skipped
    if via == "installation":
        doc["rest"] = {"hosts": hosts}
    else:
        monkeypatch.setenv(ENV_HOSTS, ", ".join(hosts))
    sim.use_installation(doc)
    assert local_names(run(), servers) == in_process


def test_faulty_masters_are_skipped_like_in_process(serve):
    doc = demo_ip_only()
    doc["masters"][0]["fault"] = "refuse"  # answers 500 [102] past its identification
    doc["masters"][1]["fault"] = "fail-after-connect"
    doc["masters"].append({**copy.deepcopy(doc["masters"][0]), "address": "192.168.10.23", "fault": "none"})
    servers = serve(doc)
    sim.use_installation(doc)
    over_rest = run(address=list(servers.addresses.values()))
    assert local_names(over_rest, servers) == run(address=list(servers.addresses))
    assert "3 master(s) and 4 device(s) found" in over_rest


def test_failing_device_table_is_a_clear_error(serve):
    doc = demo_ip_only()
    doc["masters"][0]["fault"] = "fail-get-devices"
    address = serve(doc).addresses["192.168.10.21"]
    with pytest.raises(IoddError, match=re.escape(
            f"Master {address}: GET {API}/devices: HTTP 500 Internal Server Error: [101] Internal server error")):
        run(address=address)
    assert sim.open_master_drivers() == []


# ---------------------------------------------------------------- unreachable, slow, broken


def test_unreachable_address_fails_fast(capsys):
    address = f"127.0.0.1:{closed_port()}"
    start = time.monotonic()
    out = run(address=address)
    assert time.monotonic() - start < 1
    assert "0 master(s) and 0 device(s) found" in out
    assert f"Master {address}: GET {API}/gateway/identification: connection refused" in capsys.readouterr().err


def test_read_timeout_skips_a_slow_master(serve, monkeypatch):
    doc = demo_ip_only()
    doc["masters"][0]["delay"] = 3  # every connect of the master takes 3 s
    address = serve(doc).addresses["192.168.10.21"]
    monkeypatch.setenv(ENV_TIMEOUTS["readTimeout"], "0.3")
    start = time.monotonic()
    out = run(address=address)
    assert time.monotonic() - start < 1.5
    assert "1 master(s) and 0 device(s) found" in out


class Stub(BaseHTTPRequestHandler):
    """A master that answers from a table {path: (status, body)}; 404 elsewhere."""

    routes = {}

    def do_GET(self):
        status, body = self.routes.get(self.path, (404, b'{"code": 301, "message": "Resource not found"}'))
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


GOOD = {
    "/gateway/identification": {"macAddress": "02:00:00:00:00:01", "vendorName": "Stub"},
    "/masters": [{"masterNumber": 1}],
    "/masters/1/identification": {"vendorName": "Stub", "vendorId": 1, "masterId": 2, "masterType": "Unspecific"},
    "/masters/1/capabilities": {"numberOfPorts": 1, "maxPowerSupply": {"value": 1, "unit": "A"}},
    "/masters/1/ports/1/configuration": {"mode": "IOLINK_AUTOSTART", "iqConfiguration": "NOT_SUPPORTED",
                                         "deviceAlias": "master1port1"},
}


@pytest.mark.parametrize("broken, answer, outcome", [
    ("/gateway/identification", (200, b'{"vendorName": "St'), "malformed JSON"),
    ("/masters", (500, b"<html>oops</html>"), "HTTP 500"),
    ("/masters/1/capabilities", (200, b'{"numberOfPorts": "8"}'), "skipped"),
    ("/masters/1/ports/1/configuration", (200, b'{"mode": "SMOKE_SIGNALS"}'), "unknown port mode 'SMOKE_SIGNALS'"),
    ("/devices", (200, b"[{"), "malformed JSON"),
])
def test_broken_answers(capsys, broken, answer, outcome):
    routes = {API + path: (200, json.dumps(value).encode()) for path, value in GOOD.items()}
    routes[API + broken] = answer
    server = ThreadingHTTPServer(("127.0.0.1", 0), type("S", (Stub,), {"routes": routes}))
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
    address = f"127.0.0.1:{server.server_address[1]}"
    try:
        if broken in ("/gateway/identification", "/masters"):  # not a master: not found, with a warning
            assert "0 master(s)" in run(address=address)
            assert f"{API}{broken}: {outcome}" in capsys.readouterr().err
        elif outcome == "skipped":  # cannot connect: counted, not listed
            assert "1 master(s) and 0 device(s) found" in run(address=address)
        else:  # a failure while listing reaches the caller, naming master and request
            with pytest.raises(IoddError, match=re.escape(f"Master {address}: GET {API}{broken}: ") + ".*" + outcome):
                run(address=address)
    finally:
        server.shutdown()
        server.server_close()


# ---------------------------------------------------------------- the server


def test_server_command(tmp_path):
    path = tmp_path / "plant.json"
    path.write_text(json.dumps(demo_ip_only()))
    proc = subprocess.Popen([sys.executable, "-m", "velmora.base.server", "--installation", str(path),
                             "--listen", "127.0.0.1:0", "--device-startup", "0.1"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        timer = threading.Timer(10, proc.kill)  # never wait forever for the address lines
        timer.start()
        lines = [proc.stdout.readline().strip() for _ in range(2)]
        timer.cancel()
        served = dict(line.split(" -> ") for line in lines)
        assert list(served) == ["192.168.10.21", "192.168.10.22"]
        out = run(address=list(served.values()), auto=True)
        assert "2 master(s) and 6 device(s) found" in out
    finally:
        proc.terminate()
        try:
            _, err = proc.communicate(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            raise
    assert proc.returncode == 0 and err.rstrip().endswith("stopped")
    bad = subprocess.run([sys.executable, "-m", "velmora.base.server", "--installation", str(tmp_path / "x.json")],
                         capture_output=True, text=True, timeout=10)
    assert bad.returncode == 2 and "x.json: cannot read the file" in bad.stderr


# ---------------------------------------------------------------- a plant network's masters


def test_a_listing_over_rest_keeps_its_request_budget_and_one_connection(serve):
    servers = serve()
    run(address=list(servers.addresses.values()))
    for server in servers.servers:
        spec, requests = server.master.spec, server.master.requests
        devices = sum(1 for p in spec.ports if p.mode == "IOLINK" and p.device)
        assert len(requests) <= len(spec.ports) + 2 * devices + 6
        assert len(set(requests)) == len(requests)
        assert server.connections == 2  # discovery, then the session


def stub(routes):
    server = ThreadingHTTPServer(("127.0.0.1", 0), type("S", (Stub,), {"routes": routes}))
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
    return server


@pytest.mark.parametrize("broken, answer", [
    ("/gateway/identification", b"[" * 200_000),
    ("/masters/1/identification", b'{"vendorName": "x", "vendorId": 1e300}'),
    ("/masters", b'[{"masterNumber": 1, "masterNumber": 2}]'),
])
def test_a_hostile_rest_host_does_not_end_the_check(serve, monkeypatch, capsys, broken, answer):
    servers = serve()
    routes = {API + path: (200, json.dumps(value).encode()) for path, value in GOOD.items()}
    routes[API + broken] = (200, answer)
    hostile = stub(routes)
    address = f"127.0.0.1:{hostile.server_address[1]}"
    try:
        good = list(servers.addresses.values())
        monkeypatch.setenv(ENV_HOSTS, ",".join([good[0], address, good[1]]))
        doc = sim.demo_installation()
        doc["masters"] = [m for m in doc["masters"] if m["transport"] != "IP"]
        sim.use_installation(doc)
        out = run()
    finally:
        hostile.shutdown()
        hostile.server_close()
    assert "4 master(s) and 6 device(s) found" in out
    assert out.index(good[0]) < out.index(good[1])
    err = capsys.readouterr().err
    assert err.count(f"no master found: Master {address}: GET {API}{broken}: ") == 1


def test_a_device_alias_that_is_no_text_ends_the_check_naming_the_master():
    routes = {API + path: (200, json.dumps(value).encode()) for path, value in GOOD.items()}
    routes[API + "/devices"] = (200, b'[{"deviceAlias": "\\udc80", "masterNumber": 1, "portNumber": 1}]')
    hostile = stub(routes)
    address = f"127.0.0.1:{hostile.server_address[1]}"
    try:
        with pytest.raises(IoddError, match=re.escape(f"Master {address}: GET {API}/devices: unexpected answer: ")):
            run(address=address)
    finally:
        hostile.shutdown()
        hostile.server_close()
    assert sim.open_master_drivers() == []


def test_addresses_that_cannot_be_masters_are_named(capsys):
    addresses = ["https://127.0.0.1:", "127.0.0.1:99999", "http//127.0.0.1:80"]
    assert "0 master(s)" in run(address=addresses)
    err = capsys.readouterr().err
    for address, why in zip(addresses, ["empty port", "port 99999 out of range", "malformed URL"], strict=True):
        assert err.count(f"{address!r} is not a master address: {why}") == 1


def test_server_command_listens_once_per_master(tmp_path):
    path = tmp_path / "plant.json"
    path.write_text(json.dumps(demo_ip_only()))
    with socket.socket() as s:
        s.bind(("127.0.0.2", 0))
        port = s.getsockname()[1]
    proc = subprocess.Popen([sys.executable, "-m", "velmora.base.server", "--installation", str(path),
                             "--listen", f"127.0.0.2:{port}", "--listen", f"127.0.0.3:{port}",
                             "--latency", "0.01", "--accept-latency", "0.01"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        timer = threading.Timer(10, proc.kill)
        timer.start()
        lines = [proc.stdout.readline().strip() for _ in range(2)]
        timer.cancel()
        assert lines == [f"192.168.10.21 -> 127.0.0.2:{port}", f"192.168.10.22 -> 127.0.0.3:{port}"]
        out = run(address=[f"127.0.0.2:{port}", f"127.0.0.3:{port}"])
        assert "2 master(s) and 4 device(s) found" in out
    finally:
        proc.terminate()
        proc.communicate(timeout=5)
    bad = subprocess.run([sys.executable, "-m", "velmora.base.server", "--installation", str(path),
                          "--listen", "127.0.0.2:0", "--listen", "127.0.0.3:0", "--listen", "127.0.0.4:0"],
                         capture_output=True, text=True, timeout=10)
    assert bad.returncode == 2 and "2 IP master(s) to serve but 3 --listen addresses" in bad.stderr


# ---------------------------------------------------------------- masters with user management


class ReadOnly(Stub):
    """A master whose user management allows reading only."""

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length") or 0))
        body = b'{"code": 150, "message": "Permission denied"}'
        self.send_response(403)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def test_a_write_refused_on_auto_is_one_warning_and_the_check_goes_on(serve, capsys):
    servers = serve(demo_ip_only())
    routes = {API + path: (200, json.dumps(value).encode()) for path, value in GOOD.items()}
    routes[API + "/masters/1/ports/1/configuration"] = (200, b'{"mode": "DEACTIVATED", "deviceAlias": "p1"}')
    routes[API + "/devices"] = (200, b"[]")
    server = ThreadingHTTPServer(("127.0.0.1", 0), type("S", (ReadOnly,), {"routes": routes}))
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
    read_only = f"127.0.0.1:{server.server_address[1]}"
    try:
        out = run(address=[read_only, *servers.addresses.values()], auto=True)
    finally:
        server.shutdown()
        server.server_close()
    assert "3 master(s) and 6 device(s) found" in out and out.index(read_only) < out.index("Device port")
    [warning] = capsys.readouterr().err.splitlines()
    assert warning.startswith(f"WARNING: velmora.base: Master {read_only} port 1: not switched to IOLINK_AUTOSTART")
    assert "[150] Permission denied" in warning


# ---------------------------------------------------------------- gateways with several masters

EXAMPLES = Path(__file__).parents[1] / "standin" / "examples"


def test_a_gateways_masters_are_reported_as_in_process_and_one_address_warns_of_the_others(serve, capsys):
    doc = json.loads((EXAMPLES / "gateway.json").read_text())
    servers = serve(doc)
    sim.use_installation(doc)
    in_process = run(select="eth")
    sim.use_installation({"masters": []})
    assert local_names(run(address=list(servers.addresses.values())), servers) == in_process.replace(
        "searching masters and devices...", "searching masters and devices at specified addresses...")
    assert "192.168.10.30#2 (hall 2, cabinet 4, slot 2)" in in_process
    gateway = servers.addresses["192.168.10.30"]
    # The library cannot know that #2 was given as well: the gateway's address warns of it once.
    assert without_note(capsys.readouterr().err).splitlines() == [
        f"WARNING: velmora.base: IP: {gateway} is a gateway with 2 IO-Link masters: {gateway} is its master 1; "
        f"give the others' addresses to check them: {gateway}#2"]


class Guarded(Stub):
    """A master with user management: 401 with a Basic challenge unless the
    request carries the expected credentials."""

    expected = ""

    def do_GET(self):
        if self.headers.get("Authorization") == self.expected:
            return super().do_GET()
        body = b'{"code": 151, "message": "Authentication information is missing or invalid"}'
        self.send_response(401)
        self.send_header("WWW-Authenticate", 'Basic realm="IO-Link Master"')
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


@pytest.mark.parametrize("netrc, how, outcome", [
    ("machine 127.0.0.1 login maint password {pw}", "address", "1 master(s)"),
    ("default login maint password {pw}", "address", "1 master(s)"),
    ("default login maint password {pw}", "range", "needs credentials: add a netrc entry for 127.0.0.1"),
    (None, "address", "needs credentials: add a netrc entry for 127.0.0.1"),
    ("machine 127.0.0.1 login maint password wrong-{pw}-x", "address", "credentials rejected: the master did not "
                                                                       "accept the netrc entry for 127.0.0.1"),
    ("machine 127.0.0.1 login maint password {pw} bogus {pw}", "address", "line 1: not understood"),
])
def test_credentials_come_from_netrc_and_never_show(tmp_path, netrc, how, outcome):
    import base64
    import uuid

    password = f"Pl4nted-{uuid.uuid4().hex}"
    routes = {API + path: (200, json.dumps(value).encode()) for path, value in GOOD.items()}
    routes[API + "/devices"] = (200, b"[]")
    token = base64.b64encode(f"maint:{password}".encode()).decode()
    server = ThreadingHTTPServer(("127.0.0.1", 0), type("S", (Guarded,), {"routes": routes,
                                                                          "expected": f"Basic {token}"}))
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
    port = server.server_address[1]
    home = tmp_path / "home"
    home.mkdir()
    if netrc:
        (home / ".netrc").write_text(netrc.format(pw=password) + "\n")
    env = {k: v for k, v in os.environ.items() if not k.startswith("VELMORA_BASE_") and k != "NETRC"}
    env.update(HOME=str(home), VELMORA_BASE_INSTALLATION=str(tmp_path / "none.json"))
    (tmp_path / "none.json").write_text('{"masters": []}')
    args = ["-a", f"127.0.0.1:{port}"]
    if how == "range":
        env["VELMORA_BASE_REST_HOSTS"] = f"127.0.0.1-127.0.0.1:{port}"
        args = []
    try:
        for extra in (["-v", "9", "--debug"], ["--gui-markup"]):
            r = subprocess.run([sys.executable, "-m", "velmora.tools", "-s", "eth", *args, *extra],
                               capture_output=True, text=True, env=env, timeout=60)
            assert password not in r.stdout + r.stderr
            assert outcome in r.stdout + r.stderr
    finally:
        server.shutdown()
        server.server_close()
