"""Health beside presence in the front ends: the lines under masters and
devices, the summary, the inventory and the comparison, for the stand-in's
example plant and for hostile event texts; a library that tells no health
leaves the report as it was."""

from __future__ import annotations

import copy
import json
import types
from pathlib import Path

import pytest

from plants import valid
from test_cli import cli
from velmora.tools import health, inventory, plant_view, report_text

EXAMPLE = Path(__file__).parents[1] / "standin" / "examples" / "health.json"


def write(tmp_path, plant, name="plant.json"):
    path = tmp_path / name
    path.write_text(json.dumps(plant))
    return str(path)


def test_each_finding_is_one_line_where_it_belongs_and_counted_after_the_closing_line():
    r = cli("--details", VELMORA_BASE_INSTALLATION=str(EXAMPLE))
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()

    def under(label, count):
        at = next(i for i, line in enumerate(lines) if line.startswith(label))
        return lines[at + 1:at + 1 + count]

    assert under("Master 192.168.10.50", 2)[1] == "    WARNING: IO-Link Master has restarted, at 2026-12-08T06:58:02.118Z"
    assert under("  * Device port 1:", 4)[2:] == [
        "    ERROR 0x1813: Overcurrent at C/Q (if digital output) - check load, since 2026-12-08T07:32:42.023Z",
        "    communication: COM3, cycle time 1 ms, IO-Link revision 1.1"]
    assert under("  * Device port 3:", 5)[2:4] == [
        "    WARNING 0x1801: Process data invalid, at 2026-12-08T07:45:00.000Z", "    process data invalid (input)"]
    # The cleared short circuit and the INFO entry are not shown; a port without device is named.
    assert "0x7900" not in r.stdout and "Configuration loaded" not in r.stdout
    assert "    CRITICAL 0x1840 port 1: Power supply fault - check power supply, since 2000-01-01T00:00:12Z" in lines
    assert lines[-2:] == ["Visit https://www.velmora.com for more informations",
                          "5 pending diagnoses on 2 masters; 1 port with invalid process data"]
    assert "communication:" not in cli(VELMORA_BASE_INSTALLATION=str(EXAMPLE)).stdout


def test_the_masters_text_is_escaped_and_coloured_only_by_severity(tmp_path):
    plant = json.loads(EXAMPLE.read_text())
    plant["masters"][0]["events"] = [{"severity": "ERROR", "code": 1, "mode": "APPEARS",
                                      "text": "x\x1b[2J\n  * Device port 9: [color=#ff0000]y", "time": "\x1b]0;t"}]
    r = cli("--color", "always", VELMORA_BASE_INSTALLATION=write(tmp_path, plant))
    line = next(x for x in r.stdout.splitlines() if "0x0001" in x)
    assert line == ("    \x1b[38;2;255;64;64mERROR\x1b[39m 0x0001: x\\x1b[2J\\n  * Device port 9: "
                    "[color=#ff0000]y")  # a time that is no date is left out
    markup = cli("--gui-markup", VELMORA_BASE_INSTALLATION=write(tmp_path, plant)).stdout
    assert "    [color=#ff4040]ERROR[/color] 0x0001: x\\x1b[2J" in markup


def test_inventory_and_comparison_carry_diagnoses_and_rates(tmp_path):
    saved = valid(json.loads(cli("--json", VELMORA_BASE_INSTALLATION=str(EXAMPLE)).stdout))
    first = saved["masters"][0]
    assert [d["text"] for d in first["diagnoses"]] == ["IO-Link Master has restarted"]
    assert [(p["port"], p["transmissionRate"], len(p["diagnoses"])) for p in first["ports"]] == [
        (1, "COM3", 1), (2, "COM2", 1), (3, "COM2", 1), (4, "COM3", 0)]
    plant = json.loads(EXAMPLE.read_text())
    port = plant["masters"][0]["ports"][0]
    port["communication"]["transmissionRate"] = "COM2"
    del port["events"]
    plant["masters"][1]["events"] = [{"severity": "ALERT", "text": "Fan failure"}]
    r = cli("--compare", write(tmp_path, saved, "saved.json"), VELMORA_BASE_INSTALLATION=write(tmp_path, plant))
    assert (r.returncode, r.stdout.splitlines()) == (3, [
        'diagnosis cleared: 192.168.10.50 port 1: ERROR 0x1813 "Overcurrent at C/Q (if digital output) - check load"',
        'transmission rate changed: 192.168.10.50 port 1: "COM3" -> "COM2"',
        'diagnosis appeared: 192.168.10.51: ALERT "Fan failure"'])
    # An inventory saved before health was recorded compares presence only.
    older = copy.deepcopy(saved)
    for m in older["masters"]:
        del m["diagnoses"], m["ports"]
    assert inventory.compare(older, valid(json.loads(cli("--json", VELMORA_BASE_INSTALLATION=write(
        tmp_path, plant)).stdout))) == []


HOSTILE_FAULT = "\x1b[2J[color=#ff0000](x)" * 20


@pytest.mark.parametrize("bridge, faults", [
    (types.SimpleNamespace(), None),  # a library that tells none
    (types.SimpleNamespace(health=types.SimpleNamespace(diagnoses=[object(), types.SimpleNamespace(
        severity="ERROR", code=1 << 40, text=b"bytes", since=7, pending="yes", port=-1)], ports={"1": None},
        faults=[object(), types.SimpleNamespace(port=True, status="A", text="t"),
                types.SimpleNamespace(port=65, status="A", text="t"), types.SimpleNamespace(port=0, text="t"),
                types.SimpleNamespace(port=2, status=5, text=HOSTILE_FAULT),
                types.SimpleNamespace(port=2, status="A", text="second")])),
     {2: {"status": None, "text": HOSTILE_FAULT[:255]}}),
    (types.SimpleNamespace(health=types.SimpleNamespace(diagnoses=iter(int, 1), ports=None)), None),
])
def test_a_health_that_is_not_one_is_none_or_its_usable_part(bridge, faults):
    got = health.read(bridge)
    assert got is None or (got["ports"] == {} and all(d["code"] is None and d["text"] == "" and d["port"] is None
                                                     and d["pending"] is False for d in got["diagnoses"]))
    assert (got or {}).get("faults") == faults and (got is None or health.faults(bridge) == faults)
    if faults:  # the plant view's cell says the fault escaped
        (row,) = plant_view.rows({"masters": [{"address": "A", "devices": [], "ports": [
            {"port": 2, "diagnoses": [], "fault": faults[2]}]}]})
        assert row.cells[1].state == plant_view.FAULT and "\x1b" not in row.cells[1].text
    line = [health.diagnosis_line(d, report_text.PLAIN, with_port=True) for d in (got or {"diagnoses": []})["diagnoses"]]
    assert all(x == "    ERROR: " for x in line)
