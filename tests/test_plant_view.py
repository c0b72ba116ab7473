"""The window's plant view without a window (velmora.tools.plant_view): the
grid a run of the worker gives, port by port, for the demo plant and a plant
with each port fault, and what the view marks as changed."""

from pathlib import Path

import pytest

from plants import valid
from test_gui_run import Posted, start
from velmora.base import sim
from velmora.base.server import Servers
from velmora.tools import plant_view
from velmora.tools.gui_run import Options, Worker

EXAMPLES = Path(__file__).parents[1] / "standin" / "examples"


def symbols(grid):
    return {row.address: " ".join(cell.symbol for cell in row.cells) for row in grid}


FAULTS = "OK X X X X X . ."
# The port faults as the cells say them, in and out of process alike.
FAULT_TEXTS = ["", "communication lost", "incorrect device", "the master cannot use the port",
               "device still starting, not listed", "port power off", "", ""]


@pytest.mark.parametrize("installation, auto, over_rest, expected", [
    (None, True, False, {"192.168.10.21": "OK OK OK . . . - OK", "192.168.10.22": "OK - OK -",
                         "COM5": "OK", "D4:36:39:8A:10:5C": "OK ."}),
    # Ports all off, not activated: each is "off".
    (None, False, False, {"192.168.10.21": "OK OK OK . . . - OK", "192.168.10.22": "- - - -",
                          "COM5": "OK", "D4:36:39:8A:10:5C": "OK ."}),
    (EXAMPLES / "port-faults.json", False, False, {"192.168.10.40": FAULTS}),
    (EXAMPLES / "port-faults.json", False, True, {"192.168.10.40": FAULTS}),
    # Pending diagnoses and invalid process data: "!", with or without a device.
    (EXAMPLES / "health.json", False, False, {"192.168.10.50": "! ! ! OK", "192.168.10.51": "! OK"}),
])
def test_a_run_gives_each_port_its_state(installation, auto, over_rest, expected):
    options = Options(auto=auto)
    servers = None
    if over_rest:
        servers = Servers(sim.load_installation(installation), device_startup=0.05).start()
        options = Options(addresses=tuple(servers.addresses[a] for a in expected))
        installation = {"masters": []}
    sim.use_installation(installation)
    try:
        posted = Posted()
        _, outcome = start(Worker(posted), posted, options)
    finally:
        sim.use_installation(None)
        if servers is not None:
            servers.close()
    grid = plant_view.rows(valid(outcome.inventory), outcome.modes)
    named = {servers.addresses[a]: a for a in expected} if servers else {}
    for row in grid:
        row.address = named.get(row.address, row.address)
    assert symbols(grid) == expected
    assert not any(cell.changed for row in grid for cell in row.cells)
    if FAULTS in expected.values():
        assert [c.text if c.state == plant_view.FAULT else "" for c in grid[0].cells] == FAULT_TEXTS


def test_a_cell_says_what_is_there_and_is_marked_when_it_changed():
    notice = {"severity": "NOTICE", "code": 1, "text": "not shown"}
    document = {"masters": [{
        "address": "A", "name": "line\n1", "diagnoses": [{"severity": "ALERT", "code": 2, "text": ""}],
        "devices": [
            {"port": 1, "vendorId": 1893, "deviceId": 8193, "identification": None},
            {"port": 2, "vendorId": 1, "deviceId": 2,
             "identification": {"productName": "VPS\x1b-200", "applicationSpecificTag": "Infeed"}},
            {"port": 5, "vendorId": 1, "deviceId": 3, "identification": None}],
        "ports": [{"port": 1, "diagnoses": [notice]},
                  {"port": 2, "diagnoses": [notice, {"severity": "ERROR", "code": 6163, "text": "Overcurrent"}]},
                  {"port": 3, "diagnoses": [], "fault": {
                      "status": "COMMUNICATION_LOST",
                      "text": "expected device 0x0765/0x10a2f3 does not answer (communication lost)"}},
                  {"port": 5, "pdInValid": False, "pdOutValid": True, "diagnoses": []}]}]}
    (row,) = plant_view.rows(document, {"A": [True, True, True, False]}, changed=[("A", 2), ("A", None)])
    assert (row.name, row.changed, row.problems) == ("line 1", True, ["ALERT 0x0002"])
    assert [(c.state, c.text, c.changed) for c in row.cells] == [
        ("online", "0x0765\n0x2001", False), ("diagnosis", "Overcurrent\nVPS\\x1b-200", True),
        ("fault", "communication lost", False), ("off", "", False),
        ("diagnosis", "process data (input) invalid\n0x0001", False)]
