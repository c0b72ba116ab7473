"""The stand-in's REST transport against emulated masters over real sockets on
127.0.0.1: the checker's report over REST equals the in-process one, "auto"
activates ports with POST, failures are bounded and clear, and the server's
answers match the OpenAPI description (when ../shared/iolink-json is there)."""

import copy
import http.client
import json
import re
import socket
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest

from velmora.base import IoddUtility, _IoddDrv, sim
from velmora.base._address import Target, parse_target
from velmora.base._errors import IoddError
from velmora.base._rest import ENV_HOSTS, ENV_TIMEOUTS
from velmora.base.server import Servers
from velmora.tools.TessadynChecker import check

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


# ---------------------------------------------------------------- addresses and settings


def test_only_rest_addresses_leave_the_process(monkeypatch):
    def no_network(*args):
        raise AssertionError("network access")

    monkeypatch.setattr(http.client.HTTPConnection, "connect", no_network)
    base = _IoddDrv.IolIpBaseDriver()
    try:
        for address in ("192.0.2.7", "COM5", "D4:36:39:8A:10:55", "192.168.10.21 ", ""):
            assert base.discover(address) is None
        assert base.discover("192.168.10.21").address == "192.168.10.21"
        assert [b.address for b in base.discover()] == ["192.168.10.21", "192.168.10.22"]
        with pytest.raises(AssertionError):
            base.discover("192.0.2.7:80")
    finally:
        base.close()


@pytest.mark.parametrize("address, plain, target", [
    ("10.0.0.5:8080", False, Target("http", "10.0.0.5", 8080)),
    ("[::1]:80", False, Target("http", "::1", 80)),
    ("HTTPS://master-3.plant", False, Target("https", "master-3.plant", 443)),
    ("http://10.0.0.5:81/api/iolink/v1/", False, Target("http", "10.0.0.5", 81, "/api/iolink/v1")),
    ("10.0.0.5", True, Target("http", "10.0.0.5", 80)),
    ("10.0.0.5", False, None),
    ("10.0.0.5:99999", False, None),
    ("ftp://10.0.0.5", False, None),
    ("http://user@10.0.0.5", False, None),
    ("D4:36:39:8A:10:55", True, None),
])
def test_rest_addresses(address, plain, target):
    assert parse_target(address, plain=plain) == target


def test_bad_settings_are_clear_errors(monkeypatch):
    monkeypatch.setenv(ENV_TIMEOUTS["connectTimeout"], "soon")
    base = _IoddDrv.IolIpBaseDriver()
    try:
        with pytest.raises(IoddError, match="VELMORA_BASE_REST_CONNECT_TIMEOUT: expected seconds .* got 'soon'"):
            base.discover("127.0.0.1:1")
    finally:
        base.close()
    with pytest.raises(sim.InstallationError, match=r"rest\.hosts\[0\]: 'a b' is not a host, host:port or http"):
        sim.load_installation({"masters": [], "rest": {"hosts": ["a b"]}})


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


# ---------------------------------------------------------------- OpenAPI description


def request(address, method, path, body=None):
    conn = http.client.HTTPConnection(*address.split(":"), timeout=5)
    try:
        conn.request(method, API + path, body=body)
        answer = conn.getresponse()
        raw = answer.read()
        return answer.status, (json.loads(raw) if raw else None)
    finally:
        conn.close()


def strict(schema):
    """The schema with additionalProperties false wherever properties are listed,
    so that a misspelt optional field fails too."""
    if isinstance(schema, dict):
        schema = {k: strict(v) for k, v in schema.items()}
        if "properties" in schema and "additionalProperties" not in schema:
            schema["additionalProperties"] = False
    elif isinstance(schema, list):
        schema = [strict(v) for v in schema]
    return schema


@pytest.fixture(scope="module")
def api():
    if not (IOLINK_JSON / "JSON_for_IO-Link.yaml").exists():
        pytest.skip(f"{IOLINK_JSON} is not there")
    yaml = pytest.importorskip("yaml")
    jsonschema = pytest.importorskip("jsonschema")
    with open(IOLINK_JSON / "JSON_for_IO-Link.yaml", encoding="utf-8") as f:
        doc = yaml.load(f, Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader))
    components = strict(doc["components"])

    def operation(method, path):
        for template, item in doc["paths"].items():
            if re.fullmatch(re.sub(r"\{\w+\}", "[^/]+", template), path):
                return item[method.lower()]
        raise AssertionError(f"{path} is not in the API")

    def validate(schema, value):
        validator = jsonschema.Draft4Validator({"allOf": [strict(schema)], "components": components})
        errors = [f"{'/'.join(map(str, e.absolute_path))}: {e.message}" for e in validator.iter_errors(value)]
        assert not errors, errors

    def check_answer(method, path, status, value, request_body=None):
        op = operation(method, path)
        assert str(status) in op["responses"], f"{method} {path}: status {status} is not described"
        content = op["responses"][str(status)].get("content")
        if content is None:
            assert value is None
        else:
            validate(content["application/json"]["schema"], value)
        if request_body is not None:
            validate(op["requestBody"]["content"]["application/json"]["schema"], request_body)

    return check_answer


def test_answers_follow_the_openapi_description(serve, api):
    servers = serve(startup=5)
    a, b = servers.addresses["192.168.10.21"], servers.addresses["192.168.10.22"]
    cases = [  # (address, method, path, body, status, error code)
        *[(a, "GET", p, None, 200, None) for p in (
            "/gateway/identification", "/gateway/capabilities", "/masters", "/masters/1/identification",
            "/masters/1/capabilities", "/masters/1/ports", "/devices",
            *[f"/masters/1/ports/{p}/{leaf}" for p in range(1, 9) for leaf in ("status", "configuration")],
            *[f"/devices/master1port{p}/identification" for p in (1, 2, 3, 8)])],  # complete, partial, none
        (a, "GET", "/devices/master1port4/identification", None, 400, 307),  # DI port
        (a, "GET", "/devices/master1port6/identification", None, 404, 308),  # no device
        (a, "GET", "/devices/nobody/identification", None, 404, 304),
        (a, "GET", "/masters/2/identification", None, 404, 302),
        (a, "GET", "/masters/1/ports/9/configuration", None, 404, 303),
        (a, "GET", "/iodds", None, 501, 105),
        (b, "POST", "/masters/1/ports/1/configuration", json.dumps({"mode": "IOLINK_AUTOSTART"}), 204, None),
        (b, "GET", "/masters/1/ports/1/status", None, 200, None),  # DEVICE_STARTING
        (b, "GET", "/devices/master1port1/identification", None, 404, 308),  # not online yet
        (b, "POST", "/masters/1/ports/2/configuration", "", 400, 208),
        (b, "POST", "/masters/1/ports/2/configuration", "{", 400, 201),
        (b, "POST", "/masters/1/ports/2/configuration", '{"mode": 1}', 400, 203),
        (b, "POST", "/masters/1/ports/2/configuration", '{"mode": "ON"}', 400, 204),
        (b, "POST", "/masters/1/ports/2/configuration", '{"deviceAlias": "master1port1"}', 400, 207),
        (b, "POST", "/masters/1/ports/2/configuration", json.dumps({
            "mode": "IOLINK_MANUAL", "validationAndBackup": "NO_DEVICE_CHECK", "iqConfiguration": "DIGITAL_INPUT",
            "cycleTime": {"value": 2.3, "unit": "ms"}, "vendorId": 26, "deviceId": 333, "deviceAlias": "gauge"}),
         204, None),
        (b, "GET", "/masters/1/ports/2/configuration", None, 200, None),
    ]
    for address, method, path, body, status, code in cases:
        got, value = request(address, method, path, body)
        assert (got, code) == (status, value.get("code") if code else None), (method, path, value)
        api(method, path, got, value, json.loads(body) if got == 204 else None)
    assert request(b, "GET", "/masters/1/ports/2/configuration")[1]["deviceAlias"] == "gauge"
    assert request(b, "GET", "/masters/1/ports/1/status")[1] == {"statusInfo": "DEVICE_STARTING"}
