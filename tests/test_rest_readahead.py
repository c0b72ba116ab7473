"""REST masters read ahead of the listing: the same report, warnings and
order as a listing in order; bounded requests and connections; nothing (no
thread, no socket) outlives the check, however it ends."""

import copy
import json
import os
import signal
import socket
import sys
import threading
import time
from http.server import ThreadingHTTPServer

import pytest

from velmora.base import IoddUtility, _http, _IoddDrv, sim
from velmora.base._errors import IoddError
from velmora.base._rest import ENV_HOSTS, ENV_TIMEOUTS
from velmora.base._rest import readahead
from velmora.base._rest.readahead import ENV_WORKERS, workers
from velmora.base.server import Servers
from velmora.tools.TessadynChecker import abort, check

from test_cli import read_until, start
from test_rest import API, GOOD, Stub, closed_port, demo_ip_only, local_names

ENV = [sim.ENV_VAR, ENV_HOSTS, ENV_WORKERS, *ENV_TIMEOUTS.values()]


@pytest.fixture(autouse=True)
def fresh(monkeypatch):
    for name in ENV:
        monkeypatch.delenv(name, raising=False)
    sim.use_installation(None)
    IoddUtility.CommonDriverManager.iodd = None
    yield
    sim.use_installation(None)
    IoddUtility.CommonDriverManager.iodd = None


def mixed_plant(copies=2):
    """The demo's IP masters (one with devices, one with every port off) a
    few times over, a master failing past its identification and one whose
    connection fails after it."""
    base = demo_ip_only()["masters"]
    masters = []
    for i in range(copies):
        for m in base:
            masters.append({**copy.deepcopy(m), "address": f"192.168.{20 + i}.{len(masters) + 1}"})
    masters.insert(1, {**copy.deepcopy(base[0]), "address": "192.168.30.1", "fault": "refuse"})
    masters.insert(3, {**copy.deepcopy(base[0]), "address": "192.168.30.2", "fault": "fail-after-connect"})
    return {"masters": masters}


def rest_check(servers, by, closed, **kw):
    """The report of a check of the served masters given as REST hosts (no
    address) or by address, with the served addresses named as installed."""
    lines = []
    served = list(servers.addresses.values())
    if by == "hosts":
        sim.use_installation({"masters": [], "rest": {"hosts": [*served[:2], f"127.0.0.1:{closed}",
                                                                 *served[2:]]}})
    check(printFnc=lambda *a: lines.append(a[0] if a else ""), address=served if by == "address" else None, **kw)
    return local_names("\n".join(lines), servers)


@pytest.mark.parametrize("auto", [False, True])
@pytest.mark.parametrize("by", ["hosts", "address"])
def test_read_ahead_keeps_the_report_its_warnings_and_the_request_bounds(monkeypatch, capsys, by, auto):
    doc = mixed_plant()
    seen, closed = {}, closed_port()
    # Time limits no load can reach: a read-ahead that timed out would be
    # read again by the session, which is right, but not what this counts.
    for name, seconds in (("connectTimeout", "20"), ("readTimeout", "30"), ("requestTimeout", "30"),
                          ("sessionTimeout", "60")):
        monkeypatch.setenv(ENV_TIMEOUTS[name], seconds)
    for count in ("0", "1", "4"):  # 0: no read-ahead, the listing in order
        monkeypatch.setenv(ENV_WORKERS, count)
        with Servers(sim.load_installation(doc), device_startup=0.05) as servers:
            report = rest_check(servers, by, closed, auto=auto)
            warnings = local_names(capsys.readouterr().err, servers)
            for server in servers.servers:
                spec, requests = server.master.spec, list(server.master.requests)
                if spec.fault != "none":
                    continue
                write = ("POST", "/iolink/v1/masters/1/ports/1/configuration")
                if write in requests:  # "auto" wrote: the devices are read after the write
                    assert ("GET", "/iolink/v1/devices") in requests[requests.index(write):]
                else:
                    devices = sum(1 for p in spec.ports if p.mode == "IOLINK" and p.device)
                    assert len(requests) <= len(spec.ports) + 2 * devices + 6, (count, spec.address, requests)
                assert server.connections <= 2  # discovery, then the read-ahead handing on to the session
        seen[count] = (report, warnings)
        assert sim.open_master_drivers() == [] and sim.open_base_drivers() == []
    assert seen["1"] == seen["0"] and seen["4"] == seen["0"]
    report, warnings = seen["0"]
    assert "6 master(s)" in report and "Device port 8: Velmora, VTS-10" in report
    assert len(set(warnings.splitlines())) == len(warnings.splitlines())  # each once
    sim.use_installation(doc)
    in_process = []
    check(printFnc=lambda *a: in_process.append(a[0] if a else ""), auto=auto,
          address=None if by == "hosts" else [m["address"] for m in doc["masters"]])
    assert report == "\n".join(in_process)


def test_a_check_again_in_the_same_process_reaches_the_masters_as_found_now(monkeypatch, tmp_path, capsys):
    """A window's second check reuses the master drivers of the first: they
    reach their masters through this check's discovery, read ahead once and
    with the credentials given since."""
    doc = mixed_plant(copies=1)
    doc["masters"][0]["access"] = {"login": "maint", "password": "pw-2fa9"}
    netrc = tmp_path / "netrc"
    monkeypatch.setenv("NETRC", str(netrc))
    with Servers(sim.load_installation(doc)) as servers:
        reports, counts, warned = [], [], []
        for _ in range(3):
            before = [len(s.master.requests) for s in servers.servers]
            reports.append(rest_check(servers, "address", None))
            counts.append([len(s.master.requests) - n for s, n in zip(servers.servers, before)])
            warned.append("needs credentials" in capsys.readouterr().err)
            netrc.write_text("machine 127.0.0.1 login maint password pw-2fa9\n")
        assert warned == [True, False, False]
        assert "Device port 8: Velmora, VTS-10" not in reports[0] and "Device port 8: Velmora, VTS-10" in reports[1]
        assert reports[2] == reports[1] and counts[2] == counts[1], counts
        assert counts[1][0] <= 8 + 2 * 4 + 6 + 1  # the listing read once (and the one 401)
    assert sim.open_master_drivers() == []


def test_answers_older_than_the_session_deadline_are_read_again(monkeypatch):
    first = demo_ip_only()["masters"][0]
    doc = {"masters": [first, {**copy.deepcopy(first), "address": "192.168.10.23"}]}

    class Clock:  # the read-ahead's: 100 s later once the first master is listed
        offset = 0.0

        def monotonic(self):
            return time.monotonic() + self.offset

    clock = Clock()
    monkeypatch.setattr(readahead, "time", clock)
    with Servers(sim.load_installation(doc)) as servers:
        lines = []

        def out(*a):
            lines.append(a[0] if a else "")
            if "Master" in lines[-1]:
                clock.offset = 100.0

        check(printFnc=out, address=list(servers.addresses.values()))
        gets = [p for m, p in servers.masters["192.168.10.23"].requests if m == "GET"]
        assert gets.count("/iolink/v1/masters/1/ports") == 2 and gets.count("/iolink/v1/devices") == 2
        gets = [p for m, p in servers.masters["192.168.10.21"].requests if m == "GET"]
        assert gets.count("/iolink/v1/masters/1/ports") == 1
    assert "2 master(s) and 8 device(s) found" in "\n".join(lines)


def client_side():
    """Threads of the REST client, and the process's open descriptors."""
    names = sorted(t.name for t in threading.enumerate() if t.name.startswith(("rest-", "name lookup")))
    return names, len(os.listdir("/proc/self/fd"))


def settled(before, limit=10.0):
    """What client_side() gives once the servers closed their ends (they
    notice a closed connection on their own threads)."""
    end = time.monotonic() + limit
    while (now := client_side()) != before and time.monotonic() < end:
        time.sleep(0.05)
    return now


@pytest.mark.parametrize("how", ["end", "abort", "raise", "interrupt"])
def test_nothing_outlives_the_check(monkeypatch, how):
    doc = mixed_plant(copies=6)
    monkeypatch.setenv(ENV_WORKERS, "3")
    with Servers(sim.load_installation(doc), latency=0.01, accept_latency=0.01) as servers:
        sim.use_installation({"masters": [], "rest": {"hosts": list(servers.addresses.values())}})
        before = client_side()
        masters = 0

        def out(*a):
            nonlocal masters
            masters += bool(a) and str(a[0]).lstrip().startswith("Master")
            if masters == 3:
                if how == "abort":
                    abort()
                elif how == "raise":
                    raise RuntimeError("printer jammed")
                elif how == "interrupt":
                    raise KeyboardInterrupt

        if how in ("raise", "interrupt"):
            with pytest.raises((RuntimeError, KeyboardInterrupt)):
                check(printFnc=out)
        else:
            check(printFnc=out)
        assert settled(before) == before
    assert sim.open_master_drivers() == [] and sim.open_base_drivers() == []


def test_read_ahead_threads_end_when_nothing_is_left_to_read():
    with Servers(sim.load_installation(demo_ip_only())) as servers:
        sim.use_installation({"masters": [], "rest": {"hosts": list(servers.addresses.values())}})
        before = client_side()
        base = _IoddDrv.IolIpBaseDriver()
        try:
            assert len(base.discover()) == 2
            # both read ahead, the base driver still open: no thread waits for more
            end = time.monotonic() + 10
            while client_side()[0] != before[0] and time.monotonic() < end:
                time.sleep(0.05)
            assert client_side()[0] == before[0]
        finally:
            base.close()
        assert settled(before) == before


WRAPPER = """\
import json, os, sys, threading
from velmora.tools.tessadyn_check import main

def client_side():
    return (sorted(t.name for t in threading.enumerate() if t.name.startswith(("rest-", "name lookup"))),
            len(os.listdir("/proc/self/fd")))

before = client_side()
status = main(sys.argv[1:])
after = client_side()
with open(os.environ["CLI_STATE"], "w") as f:
    json.dump({"before": before, "after": after}, f)
sys.exit(status)
"""


def test_ctrl_c_in_the_command_line_leaves_nothing_behind(tmp_path):
    (tmp_path / "wrapper.py").write_text(WRAPPER)
    state = tmp_path / "state.json"
    doc = mixed_plant(copies=8)
    with Servers(sim.load_installation(doc), latency=0.02, accept_latency=0.02) as servers:
        proc, watchdog = start([sys.executable, str(tmp_path / "wrapper.py")], CLI_STATE=str(state),
                               **{ENV_HOSTS: ",".join(servers.addresses.values()), ENV_WORKERS: "4"})
        try:
            read_until(proc.stdout, "Master ")
            proc.send_signal(signal.SIGINT)
            _, err = proc.communicate(timeout=30)
        finally:
            watchdog.cancel()
    assert proc.returncode == 130 and "Traceback" not in err
    result = json.loads(state.read_text())
    assert result["after"] == result["before"]


def test_a_name_look_up_given_up_on_is_waited_for_by_the_base_driver(monkeypatch):
    release = threading.Event()
    real = socket.getaddrinfo

    def getaddrinfo(host, port, *args, **kwargs):
        if kwargs.get("flags", 0) & socket.AI_NUMERICHOST:
            return real(host, port, *args, **kwargs)
        release.wait(0.6)  # longer than the connect timeout, shorter than a request's deadline
        raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")

    monkeypatch.setattr(socket, "getaddrinfo", getaddrinfo)
    monkeypatch.setenv(ENV_TIMEOUTS["connectTimeout"], "0.2")
    monkeypatch.setenv(ENV_TIMEOUTS["requestTimeout"], "5")
    check(address=["master-7.plant.invalid:8080"], printFnc=lambda *a: None)
    assert not any(t.name.startswith("name lookup") for t in threading.enumerate())
    assert not _http._lookups


@pytest.mark.parametrize("text, count", [("", 32), (" 0 ", 0), ("7", 7), ("256", 256),
                                         ("257", None), ("-1", None), ("x", None), ("1.5", None)])
def test_workers_from_the_environment(monkeypatch, text, count):
    if count is None:
        with pytest.raises(IoddError, match=rf"^{ENV_WORKERS}: expected a number of masters \(0 to 256\), got"):
            workers({ENV_WORKERS: text})
        monkeypatch.setenv(ENV_WORKERS, text)  # no matter to a plant without REST masters
        lines = []
        check(printFnc=lambda *a: lines.append(a[0] if a else ""))
        assert "4 master(s)" in lines[-2]
    else:
        assert workers({ENV_WORKERS: text}) == count


def stub_of(handler):
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
    return server


class Counting(Stub):
    """A stub master that keeps the paths asked for."""

    asked: list

    def do_GET(self):
        self.asked.append(self.path)
        super().do_GET()


UNSUPPORTED = (404, b'{"code": 103, "message": "Operation not supported"}')
DEVICES = [{"masterNumber": 1, "portNumber": 1, "deviceAlias": "master1port1"}]
IDENT = {"vendorId": 1, "deviceId": 2, "vendorName": "Stub", "productName": "S-1"}


@pytest.mark.parametrize("changes", [
    {"/masters/1/ports": UNSUPPORTED},  # the number of ports from the capabilities
    {"/masters/1/ports": UNSUPPORTED, "/masters/1/capabilities": UNSUPPORTED},  # from the device list, read twice
    {"/devices/master1port1/identification": (500, b'{"code": 101, "message": "Internal server error"}')},
    {"/devices/master1port1/identification": (200, b'{"vendorId": "one"}')},
])
def test_odd_masters_are_asked_the_same_requests_with_the_same_outcome(monkeypatch, capsys, changes):
    routes = {API + path: (200, json.dumps(value).encode())
              for path, value in {**GOOD, "/devices": DEVICES, "/devices/master1port1/identification": IDENT}.items()}
    routes.update({API + path: answer for path, answer in changes.items()})
    seen = {}
    for count in ("0", "2"):
        monkeypatch.setenv(ENV_WORKERS, count)
        asked: list = []
        server = stub_of(type("C", (Counting,), {"routes": routes, "asked": asked}))
        try:
            lines = []
            address = f"127.0.0.1:{server.server_address[1]}"
            check(address=[address], printFnc=lambda *a: lines.append(a[0] if a else ""))
        finally:
            server.shutdown()
            server.server_close()
        seen[count] = ("\n".join(lines).replace(address, "A"), capsys.readouterr().err.replace(address, "A"),
                       sorted(asked))
    assert seen["2"] == seen["0"]
    assert "1 master(s)" in seen["0"][0]


def test_ctrl_c_in_discovery_leaves_no_probe_behind(monkeypatch):
    silent = []
    for _ in range(3):  # accept, never answer
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        s.listen(4)
        silent.append(s)
    monkeypatch.setenv(ENV_TIMEOUTS["readTimeout"], "20")
    monkeypatch.setenv(ENV_TIMEOUTS["requestTimeout"], "30")
    sim.use_installation({"masters": [], "rest": {"hosts": [f"127.0.0.1:{s.getsockname()[1]}" for s in silent]}})
    base = _IoddDrv.IolIpBaseDriver()
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    try:
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            base.discover()
    finally:
        timer.cancel()
        base.close()
        for s in silent:
            s.close()
    assert client_side()[0] == []


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
@pytest.mark.parametrize("json_document", [True, False])
def test_ctrl_c_while_a_master_stalls_ends_the_check_as_aborted(json_document):
    asked, release = threading.Event(), threading.Event()

    class Stalling(Stub):
        routes = {API + path: (200, json.dumps(value).encode()) for path, value in GOOD.items()}

        def do_GET(self):
            if self.path == API + "/devices":
                asked.set()
                release.wait(60)
            super().do_GET()

    server = ThreadingHTTPServer(("127.0.0.1", 0), Stalling)
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
    address = f"127.0.0.1:{server.server_address[1]}"
    proc, watchdog = start([sys.executable, "-m", "velmora.tools.tessadyn_check", "-a", address,
                            *(["--json"] if json_document else [])],
                           **{ENV_TIMEOUTS["readTimeout"]: "60", ENV_TIMEOUTS["requestTimeout"]: "60"})
    try:
        assert asked.wait(20)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=20)  # long before the master answers
    finally:
        watchdog.cancel()
        release.set()
        server.shutdown()
        server.server_close()
    assert proc.returncode == 130 and "error" not in err, err
    if json_document:
        assert json.loads(out)["complete"] is False
