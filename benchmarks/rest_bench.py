#!/usr/bin/env python3
"""REST transport benchmark (`make bench-rest`): the checker over emulated
REST masters on loopback, with the latency of a slow embedded master.

(a) listing: N masters x P ports (default 8 x 8, 5 devices each) served by
    velmora.base.server with a latency before every answer (default 10 ms)
    and before the first request of every new TCP connection (default
    20 ms); one check() of all of them by address. Prints wall time, the
    requests and TCP connections per master, the request budget P + D + 5
    and the lower bound (requests x latency, plus the accept latency of the
    connections made).
(b) discovery of a /24 range on 127.77.0.0/24 holding 3 masters and 16 silent
    hosts (listening sockets that accept and never answer), read timeout
    1 s: wall time of one discover() against its bound (one read timeout).

Works against a server without --latency/--accept-latency too (it then
adds the latency itself), and against a transport without host ranges (it
then lists the range's addresses one by one), so that the same script
measures the code before and after a change.

    python benchmarks/rest_bench.py [--masters N] [--ports P] [--devices D]
        [--latency S] [--accept-latency S] [--silent K] [--json FILE]
"""

from __future__ import annotations

import argparse
import inspect
import ipaddress
import json
import os
import platform
import socket
import sys
import threading
import time
from typing import Any

from velmora.base import IoddUtility, _IoddDrv, sim
from velmora.base import server as srv
from velmora.tools.TessadynChecker import check

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
        "budget_per_master": args.ports + args.devices + 5,
        "connections_per_master": conns,
        "lower_bound_s": round(bound, 3),
        "lower_bound_with_accepts_s": round(bound + sum(conns) * args.accept_latency, 3),
        "summary": summary,
    }


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
    args = parser.parse_args()
    for name in list(os.environ):
        if name.startswith("VELMORA_BASE_"):
            del os.environ[name]
    _count_connections()
    if "latency" not in inspect.signature(srv.Servers).parameters:
        _legacy_latency(args.latency, args.accept_latency)
    print(f"machine: {platform.machine()}, {os.cpu_count()} CPU(s), Python {platform.python_version()}, "
          f"load average {os.getloadavg()[0]:.2f}")
    a = listing(args)
    print(f"listing {a['masters']} masters x {a['ports']} ports ({a['devices']} devices each), latency "
          f"{a['latency_s'] * 1000:g} ms, accept latency {a['accept_latency_s'] * 1000:g} ms:")
    print(f"  wall time {a['wall_s']:.3f} s; lower bound {a['lower_bound_s']:.3f} s (requests x latency), "
          f"{a['lower_bound_with_accepts_s']:.3f} s with the connections' accept latency")
    print(f"  requests {a['requests']} ({a['requests_per_master']} per master; budget {a['budget_per_master']})")
    print(f"  TCP connections per master {a['connections_per_master']}")
    print(f"  {a['summary']}")
    result = {"listing": a}
    if not args.skip_discovery:
        d = discovery(args)
        print(f"discovery of {d['range']} ({d['addresses']} addresses: {d['masters']} masters, {d['silent']} silent, "
              f"{'as a range' if d['ranges_supported'] else 'listed one by one'}): found {d['found']}, "
              f"wall time {d['wall_s']:.3f} s, bound {d['bound_s']:g} s (one read timeout)")
        result["discovery"] = d
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(result, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
