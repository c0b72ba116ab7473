#!/usr/bin/env python3
"""REST transport benchmark (`make bench-rest`): the checker over emulated
REST masters on loopback, with the latency of a slow embedded master.

(a) listing: N masters x P ports (default 8 x 8, 5 devices each) served by
    velmora.base.server with a latency before every answer (default 10 ms)
    and before the first request of every new TCP connection (default
    20 ms); one check() of all of them by address. Prints wall time, the
    requests and TCP connections per master, the request budget P + 2D + 6
    and the lower bound (requests x latency, plus the accept latency of the
    connections made).
(b) discovery of a /24 range on 127.77.0.0/24 holding 3 masters and 16 silent
    hosts (listening sockets that accept and never answer), read timeout
    1 s: wall time of one discover() against its bound (one read timeout).
(c) plants given as REST hosts (default 64 and 256 masters, latency 20 ms,
    accept latency 20 ms): one check() without addresses, the masters
    found by discovery of the hosts.  Prints wall time, the sequential bound
    (the sum of every master's chain: its requests x latency plus its
    connections' accept latency) and the concurrent bound (about
    ceil(M / W) x one master's chain, W masters read at once), and checks
    that the report equals the in-process one.  Then the largest plant once
    more, aborted after --abort-after seconds: the time from the abort to
    the end of check().
(d) plants given as addresses (default 64 masters, latency and accept
    latency as in (c)): one check() with the masters' addresses, as
    `tessadyn-check -a ADDR -a ADDR ...` runs it: the addresses told to the
    driver library first (velmora.base.expect_addresses, the probes at
    once), and not told (each probed when the checker asks for it, as
    before that call existed).  Checks the report against the in-process
    one.
(e) faults (--faults, on by default): masters in front of the emulated
    ones that answer discovery and then stall (64 as REST hosts, default
    time limits: one check()); two masters whose every answer completes
    4.5 s after the request, headers at once and the body in three pieces
    (no gap over 2 s), one check(); and each of them once more, aborted as
    the front ends abort (the checker's abort() and the driver library's)
    after --fault-abort-after seconds: the time from the abort to the end of
    check().

Works against a server without --latency/--accept-latency too (it then
adds the latency itself), and against a transport without host ranges (it
then lists the range's addresses one by one), so that the same script
measures the code before and after a change.

    python benchmarks/rest_bench.py [--masters N] [--ports P] [--devices D]
        [--latency S] [--accept-latency S] [--silent K] [--json FILE]
        [--plants 64,256] [--plant-latency S] [--workers W] [--abort-after S]
        [--given 64]
        [--no-faults] [--stalled N] [--late N] [--fault-abort-after S]
"""

from __future__ import annotations

import argparse
import inspect
import ipaddress
import json
import math
import os
import platform
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

from velmora.base import IoddUtility, _IoddDrv, sim
from velmora.base import server as srv
from velmora.tools import TessadynChecker, inventory
from velmora.tools.TessadynChecker import abort, check

RANGE = "127.77.0.0/24"


def plant(masters: int, ports: int, devices: int) -> dict[str, Any]:
    def port(i: int) -> dict[str, Any]:
        if i < devices:
            return {"mode": "IOLINK", "device": {
                "vendorId": 1893, "deviceId": 0x10A2F3 + i,
                "identification": {"vendorName": "Velmora", "productName": f"VPS-{i}", "productId": f"VPS-{i}-16B",
                                   "serialNumber": f"VM{i:08d}", "firmwareRevision": "1.3.0"}}}
        return {"mode": ("DI", "DO", "DEACTIVATED", "IOLINK")[i % 4]}

    return {"masters": [{
        "transport": "IP", "address": f"192.168.50.{m + 1}",
        "identity": {"vendorId": 1893, "deviceId": 66049, "name": f"line {m + 1}", "fwVersion": "2.4.1",
                     "vendor": "Velmora", "productName": "Velmora IOLM-8", "productCode": "VM-IOLM8"},
        "ports": [port(i) for i in range(ports)]} for m in range(masters)]}


_connections: dict[int, int] = {}
_lock = threading.Lock()


def _count_connections() -> None:
    """Count the TCP connections each emulated master accepts."""
    original = srv.MasterServer.process_request

    def process_request(self: Any, request: Any, client_address: Any) -> None:
        with _lock:
            _connections[id(self)] = _connections.get(id(self), 0) + 1
        original(self, request, client_address)

    srv.MasterServer.process_request = process_request

    # A request cut short by an aborted check is no error of the benchmark.
    original_error = srv.MasterServer.handle_error

    def handle_error(self: Any, request: Any, client_address: Any) -> None:
        if not isinstance(sys.exc_info()[1], ConnectionError):
            original_error(self, request, client_address)

    srv.MasterServer.handle_error = handle_error


def _legacy_latency(latency: float, accept_latency: float) -> None:
    """Latency for a server that has no options for it."""
    handle = srv.Handler.handle
    one = srv.Handler.handle_one_request

    def handle_(self: Any) -> None:
        time.sleep(accept_latency)
        handle(self)

    def one_(self: Any) -> None:
        time.sleep(latency)
        one(self)

    srv.Handler.handle = handle_
    srv.Handler.handle_one_request = one_


def servers(installation: Any, latency: float, accept_latency: float, **kw: Any) -> Any:
    params = inspect.signature(srv.Servers).parameters
    if "latency" in params:
        return srv.Servers(installation, latency=latency, accept_latency=accept_latency, **kw)
    return srv.Servers(installation, **kw)


def listing(args: argparse.Namespace) -> dict[str, Any]:
    installation = sim.load_installation(plant(args.masters, args.ports, args.devices))
    with servers(installation, args.latency, args.accept_latency) as s:
        addresses = list(s.addresses.values())
        sim.reset()
        IoddUtility.CommonDriverManager.iodd = None
        start = time.perf_counter()
        lines: list[str] = []
        check(address=addresses, printFnc=lambda *a: lines.append(a[0] if a else ""))
        wall = time.perf_counter() - start
        requests = [len(m.requests) for m in s.masters.values()]
        conns = [getattr(x, "connections", None) or _connections.get(id(x), 0) for x in s.servers]
    summary = lines[-2] if len(lines) >= 2 else ""
    total = sum(requests)
    bound = total * args.latency
    return {
        "masters": args.masters, "ports": args.ports, "devices": args.devices,
        "latency_s": args.latency, "accept_latency_s": args.accept_latency,
        "wall_s": round(wall, 3), "requests_per_master": requests, "requests": total,
        "budget_per_master": args.ports + 2 * args.devices + 6,
        "connections_per_master": conns,
        "lower_bound_s": round(bound, 3),
        "lower_bound_with_accepts_s": round(bound + sum(conns) * args.accept_latency, 3),
        "summary": summary,
    }


def _report(**kw: Any) -> tuple[list[str], float]:
    IoddUtility.CommonDriverManager.iodd = None
    lines: list[str] = []
    start = time.perf_counter()
    check(printFnc=lambda *a: lines.append(a[0] if a else ""), **kw)
    return lines, time.perf_counter() - start


def hosts_plant(args: argparse.Namespace, masters: int) -> dict[str, Any]:
    """A plant of masters given as REST hosts: wall time, bounds, and the
    report against the in-process one."""
    doc = plant(masters, args.ports, args.devices)
    latency = args.plant_latency
    with servers(sim.load_installation(doc), latency, args.accept_latency) as s:
        names = {v: k for k, v in s.addresses.items()}
        sim.use_installation(doc)
        in_process, _ = _report()
        sim.use_installation({"masters": [], "rest": {"hosts": list(s.addresses.values())}})
        try:
            lines, wall = _report()
        finally:
            sim.use_installation(None)
        requests = [len(m.requests) for m in s.masters.values()]
        conns = [getattr(x, "connections", None) or _connections.get(id(x), 0) for x in s.servers]
    report = [re.sub(r"127\.0\.0\.1:\d+", lambda m: names.get(m[0], m[0]), line) for line in lines]
    chains = [r * latency + c * args.accept_latency for r, c in zip(requests, conns, strict=True)]
    one = max(chains) if chains else 0.0
    return {"masters": masters, "latency_s": latency, "accept_latency_s": args.accept_latency,
            "workers": args.workers, "wall_s": round(wall, 3), "requests": sum(requests),
            "max_requests_per_master": max(requests, default=0), "budget_per_master": args.ports + 2 * args.devices + 6,
            "max_connections_per_master": max(conns, default=0),
            "sequential_bound_s": round(sum(chains), 3),
            "concurrent_bound_s": round(math.ceil(masters / args.workers) * one, 3),
            "same_report": report == in_process, "summary": lines[-2] if len(lines) >= 2 else ""}


def given_plant(args: argparse.Namespace, masters: int, told: bool) -> dict[str, Any]:
    """A plant of masters given as addresses: wall time of check(), told
    to the library first or not, and the report against the in-process one."""
    import velmora.base

    doc = plant(masters, args.ports, args.devices)
    with servers(sim.load_installation(doc), args.plant_latency, args.accept_latency) as s:
        names = {v: k for k, v in s.addresses.items()}
        sim.use_installation(doc)
        in_process, _ = _report(address=list(s.addresses))
        sim.use_installation({"masters": []})
        try:
            addresses = list(s.addresses.values())
            start = time.perf_counter()
            expect = getattr(velmora.base, "expect_addresses", None)
            if told and expect is not None:
                addresses = expect(addresses)
            lines, _ = _report(address=addresses)
            wall = time.perf_counter() - start
        finally:
            sim.use_installation(None)
    report = [re.sub(r"127\.0\.0\.1:\d+", lambda m: names.get(m[0], m[0]), line) for line in lines]
    return {"masters": masters, "latency_s": args.plant_latency, "accept_latency_s": args.accept_latency,
            "told": told and expect is not None, "wall_s": round(wall, 3), "same_report": report == in_process,
            "summary": lines[-2] if len(lines) >= 2 else ""}


def _client_threads() -> list[str]:
    return [t.name for t in threading.enumerate() if t.name.startswith(("rest-", "name lookup"))]


def aborted_plant(args: argparse.Namespace, masters: int) -> dict[str, Any]:
    """The plant's check aborted after args.abort_after seconds: how long
    check() takes to end after the abort."""
    doc = plant(masters, args.ports, args.devices)
    with servers(sim.load_installation(doc), args.plant_latency, args.accept_latency) as s:
        sim.use_installation({"masters": [], "rest": {"hosts": list(s.addresses.values())}})
        aborted: list[float] = []

        def stop() -> None:
            aborted.append(time.perf_counter())
            abort()

        timer = threading.Timer(args.abort_after, stop)
        before = _client_threads()
        try:
            timer.start()
            lines, _ = _report()
            end = time.perf_counter()
        finally:
            timer.cancel()
            timer.join()
            sim.use_installation(None)
        left = len(_client_threads()) - len(before)
    after = end - aborted[0] if aborted else None
    return {"masters": masters, "abort_after_s": args.abort_after, "lines": len(lines),
            "end_after_abort_s": None if after is None else round(after, 3), "threads_left": left}


def discovery(args: argparse.Namespace) -> dict[str, Any]:
    hosts = list(ipaddress.ip_network(RANGE).hosts())
    masters_at, silent_at = hosts[9:39:10][:3], hosts[39:39 + args.silent]
    probe = socket.socket()
    probe.bind((str(masters_at[0]), 0))
    port = probe.getsockname()[1]
    probe.close()
    silent = []
    for ip in silent_at:  # accept (the kernel does, from the backlog) and never answer
        s = socket.socket()
        s.bind((str(ip), port))
        s.listen(64)
        silent.append(s)
    doc = plant(1, args.ports, args.devices)
    served = [servers(sim.load_installation(doc), 0.0, 0.0, host=str(ip), port=port).start() for ip in masters_at]
    entry = f"{RANGE}:{port}"
    rest: dict[str, Any] = {"connectTimeout": 1, "readTimeout": 1}
    try:
        sim.use_installation({"masters": [], "rest": {**rest, "hosts": [entry]}})
        ranges = True
    except sim.InstallationError:  # no host ranges: the same addresses one by one
        sim.use_installation({"masters": [], "rest": {**rest, "hosts": [f"{ip}:{port}" for ip in hosts]}})
        ranges = False
    IoddUtility.CommonDriverManager.iodd = None
    try:
        base = _IoddDrv.IolIpBaseDriver()
        start = time.perf_counter()
        found = base.discover()
        wall = time.perf_counter() - start
        base.close()
    finally:
        for x in served:
            x.close()
        for s in silent:
            s.close()
        sim.use_installation(None)
    return {"range": entry, "addresses": len(hosts), "masters": len(masters_at), "silent": len(silent_at),
            "ranges_supported": ranges, "found": len(found), "wall_s": round(wall, 3),
            "bound_s": rest["readTimeout"]}


DISCOVERY_PATHS = ("/gateway/identification", "/masters", "/masters/1/identification")


class Front(ThreadingHTTPServer):
    """A faulty master in front of an emulated one: answers discovery's
    requests, then holds every other one until closed (``stall``); or
    completes every answer ``late`` seconds after the request, the headers
    at once and the body in three pieces."""

    daemon_threads = True

    def __init__(self, served: Any, stall: bool = False, late: float = 0.0):
        self.served, self.stall, self.late = served, stall, late
        self.stop = threading.Event()
        super().__init__(("127.0.0.1", 0), _FrontHandler)
        threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
        self.address = f"127.0.0.1:{self.server_address[1]}"

    def close(self) -> None:
        self.stop.set()
        self.shutdown()
        self.server_close()


class _FrontHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: Front

    def do_GET(self) -> None:
        front = self.server
        path = self.path.removeprefix("/iolink/v1")
        if front.stall and path not in DISCOVERY_PATHS:
            front.stop.wait(600)
            self.close_connection = True
            return
        try:
            status, value = front.served.answer("GET", self.path, None)
        except srv.ApiError as exc:
            status, value = exc.status, {"code": exc.code, "message": exc.message}
        data = json.dumps(value).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.flush()
        pieces = (data[:len(data) // 3], data[len(data) // 3:2 * len(data) // 3], data[2 * len(data) // 3:])
        for piece in pieces:
            if front.late and front.stop.wait(front.late / 3):
                return
            self.wfile.write(piece)
            self.wfile.flush()

    def log_message(self, *args: Any) -> None:
        pass


def faulty_plant(args: argparse.Namespace, masters: int, abort_after: float | None, **fault: Any) -> dict[str, Any]:
    """One check() of masters with a fault, given as REST hosts, with the
    default time limits; aborted after abort_after seconds unless None."""
    doc = plant(masters, args.ports, args.devices)
    with servers(sim.load_installation(doc), 0.0, 0.0) as s:
        fronts = [Front(served, **fault) for served in s.masters.values()]
        sim.use_installation({"masters": [], "rest": {"hosts": [f.address for f in fronts]}})
        aborted: list[float] = []

        def stop() -> None:
            aborted.append(time.perf_counter())
            inventory.abort_check(TessadynChecker)

        timer = threading.Timer(abort_after or 0.0, stop)
        lines: list[str] = []
        error = ""
        start = time.perf_counter()
        try:
            if abort_after is not None:
                timer.start()
            lines, _ = _report()
        except Exception as exc:  # a master failing its listing ends check() (the module's rule)
            error = str(exc)
        finally:
            end = time.perf_counter()
            timer.cancel()
            sim.use_installation(None)
            for f in fronts:
                f.close()
    return {"masters": masters, **fault, "wall_s": round(end - start, 3), "aborted_after_s": abort_after,
            "error": error,
            "end_after_abort_s": round(end - aborted[0], 3) if aborted else None,
            "summary": next((line for line in lines if "master(s)" in line), "")}


def faulty_cli(args: argparse.Namespace, masters: int, abort_after: float, by_address: bool = False,
               **fault: Any) -> dict[str, Any]:
    """tessadyn-check --json over masters with a fault, given as REST
    hosts (or with -a), interrupted by SIGINT after abort_after seconds: the time from
    the signal to the end of the process, its status and document."""
    doc = plant(masters, args.ports, args.devices)
    with servers(sim.load_installation(doc), 0.0, 0.0) as s:
        fronts = [Front(served, **fault) for served in s.masters.values()]
        env = {k: v for k, v in os.environ.items() if not k.startswith("VELMORA_BASE_")}
        if not by_address:
            env["VELMORA_BASE_REST_HOSTS"] = ",".join(f.address for f in fronts)
        env["VELMORA_BASE_INSTALLATION"] = os.path.join(os.path.dirname(__file__), "no-masters.json")
        given = [a for f in fronts for a in ("-a", f.address)] if by_address else []
        proc = subprocess.Popen([sys.executable, "-m", "velmora.tools.tessadyn_check", "--json", *given], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            time.sleep(abort_after)
            signalled = time.perf_counter()
            proc.send_signal(signal.SIGINT)
            out, _ = proc.communicate(timeout=120)
            ended = time.perf_counter() - signalled
        finally:
            if proc.poll() is None:
                proc.kill()
            for f in fronts:
                f.close()
    try:
        complete = json.loads(out).get("complete")
    except ValueError:
        complete = "no document"
    return {"masters": masters, **fault, "by_address": by_address, "sigint_after_s": abort_after, "exit_after_sigint_s": round(ended, 3),
            "status": proc.returncode, "complete": complete}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--masters", type=int, default=8)
    parser.add_argument("--ports", type=int, default=8)
    parser.add_argument("--devices", type=int, default=5)
    parser.add_argument("--latency", type=float, default=0.010)
    parser.add_argument("--accept-latency", type=float, default=0.020)
    parser.add_argument("--silent", type=int, default=16)
    parser.add_argument("--skip-discovery", action="store_true")
    parser.add_argument("--json", metavar="FILE")
    parser.add_argument("--plants", default="64,256", help="masters of each plant given as REST hosts ('' for none)")
    parser.add_argument("--plant-latency", type=float, default=0.020)
    parser.add_argument("--workers", type=int, default=32, help="VELMORA_BASE_REST_WORKERS for the plants")
    parser.add_argument("--abort-after", type=float, default=1.0)
    parser.add_argument("--given", default="64", help="masters of each plant given as addresses ('' for none)")
    parser.add_argument("--no-faults", dest="faults", action="store_false")
    parser.add_argument("--stalled", type=int, default=64, help="masters that stall after discovery")
    parser.add_argument("--late", type=int, default=2, help="masters whose every answer completes 4.5 s late")
    parser.add_argument("--fault-abort-after", type=float, default=16.0)
    args = parser.parse_args()
    for name in list(os.environ):
        if name.startswith("VELMORA_BASE_"):
            del os.environ[name]
    os.environ["VELMORA_BASE_REST_WORKERS"] = str(args.workers)
    _count_connections()
    if "latency" not in inspect.signature(srv.Servers).parameters:
        _legacy_latency(args.latency, args.accept_latency)
    print(f"machine: {platform.machine()}, {os.cpu_count()} CPU(s), Python {platform.python_version()}, "
          f"load average {os.getloadavg()[0]:.2f}")
    a = listing(args)
    print(f"listing {a['masters']} masters x {a['ports']} ports ({a['devices']} devices each), latency "
          f"{a['latency_s'] * 1000:g} ms, accept latency {a['accept_latency_s'] * 1000:g} ms:")
    print(f"  wall time {a['wall_s']:.3f} s; sequential bound {a["lower_bound_s"]:.3f} s (requests x latency), "
          f"{a['lower_bound_with_accepts_s']:.3f} s with the connections' accept latency")
    print(f"  requests {a['requests']} ({a['requests_per_master']} per master; budget {a['budget_per_master']})")
    print(f"  TCP connections per master {a['connections_per_master']}")
    print(f"  {a['summary']}")
    result: dict[str, Any] = {"listing": a}
    if not args.skip_discovery:
        d = discovery(args)
        print(f"discovery of {d['range']} ({d['addresses']} addresses: {d['masters']} masters, {d['silent']} silent, "
              f"{'as a range' if d['ranges_supported'] else 'listed one by one'}): found {d['found']}, "
              f"wall time {d['wall_s']:.3f} s, bound {d['bound_s']:g} s (one read timeout)")
        result["discovery"] = d
    plants = [int(m) for m in args.plants.split(",") if m.strip()]
    for m in plants:
        p = hosts_plant(args, m)
        print(f"plant of {m} masters as REST hosts, latency {p['latency_s'] * 1000:g} ms, accept latency "
              f"{p['accept_latency_s'] * 1000:g} ms, {args.workers} workers (load average {os.getloadavg()[0]:.2f}):")
        print(f"  wall time {p['wall_s']:.3f} s; sequential bound {p['sequential_bound_s']:.3f} s, concurrent bound "
              f"{p['concurrent_bound_s']:.3f} s")
        print(f"  requests {p['requests']} (at most {p['max_requests_per_master']} per master; budget "
              f"{p['budget_per_master']}), at most {p['max_connections_per_master']} TCP connections per master")
        print(f"  report {'equals' if p['same_report'] else 'DIFFERS FROM'} the in-process one; {p['summary']}")
        result.setdefault("plants", []).append(p)
    if plants and args.abort_after > 0:
        x = aborted_plant(args, max(plants))
        print(f"plant of {x['masters']} masters aborted after {x['abort_after_s']:g} s: check() ended "
              f"{x['end_after_abort_s']} s after the abort, {x['lines']} lines, {x['threads_left']} REST client thread(s) left")
        result["aborted"] = x
    for m in [int(m) for m in args.given.split(",") if m.strip()]:
        for told in (True, False):
            g = given_plant(args, m, told)
            how = "told to the library first" if g["told"] else "each probed when asked (not told)"
            print(f"plant of {m} masters given as addresses, {how}, latency {g['latency_s'] * 1000:g} ms, accept "
                  f"latency {g['accept_latency_s'] * 1000:g} ms (load average {os.getloadavg()[0]:.2f}):")
            print(f"  wall time {g['wall_s']:.3f} s; report {'equals' if g['same_report'] else 'DIFFERS FROM'} "
                  f"the in-process one; {g['summary']}")
            result.setdefault("given", []).append(g)
    if args.faults:
        for name, masters, fault, limit in (("stalled", args.stalled, {"stall": True}, 15.0),
                                            ("late", args.late, {"late": 4.5}, 30.0 + 13.5)):
            for abort_after in (None, min(args.fault_abort_after, 2.0) if name == "stalled" else args.fault_abort_after):
                f = faulty_plant(args, masters, abort_after, **fault)
                what = "stall after discovery" if name == "stalled" else "answer every request 4.5 s late"
                if abort_after is None:
                    print(f"{masters} masters that {what}: check() {f['wall_s']:.3f} s (target at most {limit:g} s); "
                          f"{f['summary'] or 'error: ' + f['error']}")
                else:
                    print(f"{masters} masters that {what}, aborted after {abort_after:g} s: check() ended "
                          f"{f['end_after_abort_s']} s after the abort (target at most 3 s)")
                result.setdefault("faults", []).append(f)
        for by_address in (False, True):
            c = faulty_cli(args, args.late, args.fault_abort_after, by_address, late=4.5)
            print(f"tessadyn-check --json{' -a ...' if by_address else ''}, {c['masters']} masters answering 4.5 s "
                  f"late, SIGINT after {c['sigint_after_s']:g} s: exit {c['status']} {c['exit_after_sigint_s']} s "
                  f"after the signal (target 130 within 3 s), \"complete\": {json.dumps(c['complete'])}")
            result.setdefault("faults_cli", []).append(c)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(result, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
