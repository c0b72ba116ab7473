"""tessadyn-check --watch: rounds of checks over a plant that the test
changes between them, the changes each round finds, the command's ends
(Ctrl-C between and in a round, a reader gone, bad intervals), and what a
round leaves behind."""

import copy
import json
import os
import re
import signal
import threading
from dataclasses import replace

import pytest

from plants import valid
from test_cli import CLI, read_until, start
from test_rest import fresh, serve  # noqa: F401
from velmora.base import sim
from velmora.base._installation import DeviceSpec
from velmora.tools import inventory, tessadyn_check, watch

OPTIONS = {"address": None, "select": None, "auto": False, "verbose": 0}
IDENT = dict.fromkeys(inventory.IDENT_NAMES, "x")


def device(did, serial, tag="T", fw="1.0"):
    return {"vendorId": 1, "deviceId": did, "identification": {
        **IDENT, "serialNumber": serial, "applicationSpecificTag": tag, "firmwareRevision": fw}}


PLANT = {"masters": [
    {"transport": "IP", "address": "10.0.0.1",
     "ports": [{"mode": "IOLINK", "device": device(10, "S1")}, {"mode": "IOLINK"}]},
    {"transport": "IP", "address": "10.0.0.2",
     "ports": [{"mode": "IOLINK", "device": device(30, "S3")}]},
]}


def port(plant, master, number):
    return plant["masters"][master]["ports"][number - 1]


def plug(plant):
    port(plant, 0, 2)["device"] = device(20, "S2")


def swap(plant):
    port(plant, 0, 1)["device"] = device(10, "S9")


def retag(plant):
    port(plant, 0, 1)["device"] = device(10, "S9", tag="T2", fw="1.1")


def set_master(index, **values):
    return lambda plant: plant["masters"][index].update(values)


def unplug_b(plant):
    plant["masters"][1].update(present=True)
    port(plant, 1, 1).pop("device")


def both(**values):
    return lambda plant: [m.update(values) for m in plant["masters"]]


OVERCURRENT = {"time": "2026-12-09T10:00:00Z", "severity": "ERROR", "code": 6163, "mode": "APPEARS",
               "text": "Overcurrent at C/Q"}


def overcurrent(plant):
    port(plant, 0, 2)["events"] = [OVERCURRENT]


def overcurrent_gone(plant):
    port(plant, 0, 2)["events"] = [OVERCURRENT, {**OVERCURRENT, "mode": "DISAPPEARS"}]


def power_off(plant):
    port(plant, 1, 1)["status"] = "PORT_POWER_OFF"


def power_on(plant):
    port(plant, 1, 1).pop("status")


# Each step changes the plant, then a round finds these changes.
STEPS = [
    (plug, ['device new: 10.0.0.1 port 2 (vid 0x0001, did 0x0014, S/N "S2")']),
    (swap, ['device replaced: 10.0.0.1 port 1: vid 0x0001, did 0x000a, S/N "S1" -> '
            'vid 0x0001, did 0x000a, S/N "S9"']),
    (retag, ['firmware revision changed: 10.0.0.1 port 1: "1.0" -> "1.1"',
             'tag changed: 10.0.0.1 port 1: "T" -> "T2"']),
    (lambda plant: None, []),
    # What the comparison knows, the watch reports.
    (overcurrent, ['diagnosis appeared: 10.0.0.1 port 2: ERROR 0x1813 "Overcurrent at C/Q"']),
    (overcurrent_gone, ['diagnosis cleared: 10.0.0.1 port 2: ERROR 0x1813 "Overcurrent at C/Q"']),
    (power_off, ['device missing: 10.0.0.2 port 1 (vid 0x0001, did 0x001e, S/N "S3")',
                 'port fault appeared: 10.0.0.2 port 1: PORT_POWER_OFF "'
                 'port power switched off (port power off)"']),
    (power_on, ['device new: 10.0.0.2 port 1 (vid 0x0001, did 0x001e, S/N "S3")',
                'port fault cleared: 10.0.0.2 port 1: PORT_POWER_OFF "'
                'port power switched off (port power off)"']),
    (set_master(1, present=False), ["master lost: 10.0.0.2"]),
    (lambda plant: None, []),  # lost once, not once per round
    (unplug_b, ["master back: 10.0.0.2",
                'device missing: 10.0.0.2 port 1 (vid 0x0001, did 0x001e, S/N "S3")']),
    (both(fault="refuse"), ["master lost: 10.0.0.1", "master lost: 10.0.0.2", "no master answers"]),
    (lambda plant: None, []),
    (both(fault="fail-get-devices"),
     ["check failed: Master 10.0.0.1: connection lost while reading the device table"]),
    (lambda plant: None, []),
    (both(fault="none"), ["check completed again", "master back: 10.0.0.1", "master back: 10.0.0.2"]),
]


def captured_round(checker):
    with inventory.Capture(checker, OPTIONS) as capture:
        failure = None
        try:
            checker.check(printFnc=capture.printer(lambda *texts: None), **OPTIONS)
        except sim.IoddError as exc:
            failure = str(exc)
    return capture.document(completed=failure is None), failure


def test_each_round_finds_what_changed_since_the_round_before(tc, fresh):  # noqa: F811
    plant = copy.deepcopy(PLANT)
    tracker = watch.Tracker()
    sim.use_installation(plant)
    tracker.first(*captured_round(tc))
    for step, expected in STEPS:
        step(plant)
        sim.use_installation(plant)
        changes = tracker.next(*captured_round(tc))
        assert [c.text() for c in changes] == expected, step
        for change in changes:
            assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d " + re.escape(change.text()),
                                change.line())
            valid(json.loads(change.json_line()), watch.WATCH_SCHEMA)


# --- the command against the emulated server, whose plant the test changes ------------------

def served_plant():
    doc = copy.deepcopy(PLANT)
    doc["masters"] = doc["masters"][:1]
    return doc


def watching(servers, *args):
    (address,) = servers.addresses.values()
    proc, watchdog = start([*CLI, "-a", address, *args])
    return proc, watchdog, address


def plug_served(servers):
    (master,) = servers.plant.masters
    master.ports[1].device = DeviceSpec(1, 20, {**IDENT, "serialNumber": "S2"})


@pytest.mark.parametrize("json_lines", [False, True])
def test_the_command_prints_the_report_then_each_change_at_once(serve, json_lines):  # noqa: F811
    servers = serve(served_plant())
    proc, watchdog, address = watching(servers, "--watch", "0.1", *(["--json"] if json_lines else []))
    try:
        if json_lines:
            first = valid(json.loads(proc.stdout.readline()))
            assert [m["address"] for m in first["masters"]] == [address]
        else:
            report = read_until(proc.stdout, "Visit https://")
            assert "".join(report) == tessadyn_check_output("-a", address)
        plug_served(servers)
        line = proc.stdout.readline()  # flushed as it is printed, or this waits for ever
        (master,) = servers.plant.masters
        master.spec = replace(master.spec, fault="refuse")
        lost, none = proc.stdout.readline(), proc.stdout.readline()
        threading.Event().wait(0.5)  # rounds that still find no master
        proc.send_signal(signal.SIGINT)  # between rounds (or in one: see below)
        rest, err = proc.communicate(timeout=30)
    finally:
        watchdog.cancel()
    if json_lines:
        change = valid(json.loads(line), watch.WATCH_SCHEMA)
        assert (change["kind"], change["address"], change["port"]) == ("deviceNew", address, 2)
        assert [json.loads(lost)["kind"], json.loads(none)["kind"]] == ["masterLost", "noMaster"]
    else:
        assert re.fullmatch(r"\S+ \S+ device new: " + re.escape(address)
                            + r' port 2 \(vid 0x0001, did 0x0014, S/N "S2"\)\n', line)
        assert lost.endswith(f" master lost: {address}\n") and none.endswith(" no master answers\n")
    # Ctrl-C ends the watch: 0 between rounds, 130 in one (the rounds are short).
    assert (rest, proc.returncode in (0, 130)) == ("", True)
    assert "Traceback" not in err
    assert err.count(f"master {address} not connected") == 1  # once per change, not per round


def tessadyn_check_output(*args):
    import subprocess
    return subprocess.run([*CLI, *args], capture_output=True, text=True, timeout=60).stdout


@pytest.mark.parametrize("delay, status, said", [(0, 0, ""), (3, 130, "aborting...")])
def test_ctrl_c_ends_the_watch_between_rounds_with_0_and_in_a_round_with_130(serve, delay, status, said):  # noqa: F811
    servers = serve(served_plant())
    proc, watchdog, _ = watching(servers, "--watch", "0.05" if delay else "600")
    try:
        read_until(proc.stdout, "Visit https://")
        (master,) = servers.plant.masters
        master.spec = replace(master.spec, delay=delay)  # the next round waits for the master
        threading.Event().wait(0.5)
        proc.send_signal(signal.SIGINT)
        rest, err = proc.communicate(timeout=30)
    finally:
        watchdog.cancel()
    assert (proc.returncode, rest) == (status, "")
    assert err.startswith(said) and "Traceback" not in err


def test_a_reader_gone_ends_the_watch_quietly_with_141(serve):  # noqa: F811
    servers = serve(served_plant())
    proc, watchdog, _ = watching(servers, "--watch", "0.05")
    try:
        read_until(proc.stdout, "Visit https://")
        proc.stdout.close()
        plug_served(servers)  # the next line finds no reader
        proc.wait(timeout=30)
        with proc.stderr:
            err = proc.stderr.read()
    finally:
        watchdog.cancel()
    assert (proc.returncode, err) == (141, "")


@pytest.mark.parametrize("interval", ["0", "-1", "-0.5", "abc", "nan", "inf", "86401"])
def test_a_bad_interval_is_a_usage_error(interval, capsys):
    with pytest.raises(SystemExit) as exit:
        tessadyn_check.main(["--watch", interval])
    assert exit.value.code == 2 and "invalid interval" in capsys.readouterr().err


# --- what a round leaves behind ---------------------------------------------------------

def ours():
    """This process's threads and descriptors, once the emulated server's
    connection threads (which close their sockets as they end) are gone."""
    def serving():
        return [t for t in threading.enumerate() if "process_request_thread" in t.name]

    for _ in range(500):
        if not serving():
            break
        threading.Event().wait(0.01)
    return threading.active_count(), len(os.listdir("/proc/self/fd"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="counts descriptors in /proc")
def test_rounds_leave_no_thread_socket_or_descriptor_behind(serve, monkeypatch, capsys):  # noqa: F811
    servers = serve(served_plant())
    (address,) = servers.addresses.values()
    rounds, counts = [], []

    def wait(self, seconds):
        rounds.append(seconds)
        if len(rounds) in (3, 60):
            counts.append((*ours(), len(sim.open_master_drivers())))
        if len(rounds) == 30:
            plug_served(servers)
        return len(rounds) == 60

    monkeypatch.setattr(tessadyn_check._WatchInterrupts, "wait", wait)
    assert tessadyn_check.main(["--watch", "0.01", "-a", address, "--json"]) == 0
    first, change = capsys.readouterr().out.splitlines()
    assert json.loads(change)["kind"] == "deviceNew"
    assert counts[0] == counts[1] and counts[1][2] == 0
    assert sum(s.connections for s in servers.servers) >= 60  # a connection of its own per round
