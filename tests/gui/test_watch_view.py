"""The window's Watch switch and plant view, offscreen: rounds over a plant
that the test changes between them, their change lines, the cells marked
until the next round, and Abort during a round ending the watch."""

import copy

from gui_helpers import pump, wait_for
from velmora.tools.gui_app import CHANGE_COLOR

IDENT = {"vendorName": "V", "vendorText": "V", "productName": "VPS-200", "productId": "P",
         "productText": "T", "serialNumber": "S1", "hardwareRevision": "A",
         "firmwareRevision": "1.0", "applicationSpecificTag": "Infeed"}
PLANT = {"masters": [{"transport": "IP", "address": "10.0.0.1", "ports": [
    {"mode": "IOLINK", "device": {"vendorId": 1, "deviceId": 10, "identification": IDENT}},
    {"mode": "IOLINK"}, {"mode": "DEACTIVATED"}]}]}


def press(button):
    assert not button.disabled, f"{button} is disabled"
    button.trigger_action(duration=0)
    pump()


def next_round(view, rounds):
    view._round()  # now, not after the interval
    wait_for(lambda: view._rounds == rounds and not view.busy, f"round {rounds}")


def start_watch(view, installation):
    """The plant installed, the watch switched on and its first round done;
    later rounds only when a test asks for them."""
    plant = copy.deepcopy(PLANT)
    installation(plant)
    view.watch_interval = 3600
    press(view.ids.watch_button)
    wait_for(lambda: view._rounds == 1 and not view.busy, "the first round")
    return plant


def cells(view):
    return [(c.state, c.changed) for c in view.ids.plant.cells()]


def test_rounds_show_what_changed_and_mark_it_until_the_next_round(view, installation):
    plant = start_watch(view, installation)
    first = view.report()
    assert "Master 10.0.0.1" in first and view.ids.check_button.disabled
    assert cells(view) == [("online", False), ("empty", False), ("off", False)]

    plant["masters"][0]["ports"][1]["device"] = {"vendorId": 1, "deviceId": 20, "identification": None}
    installation(plant)
    next_round(view, 2)
    (line,) = view.report()[len(first):].splitlines()
    assert line.endswith(" device new: 10.0.0.1 port 2 (vid 0x0001, did 0x0014)")
    assert view.ids.pane.data[-1]["text"].startswith(f"[color=#{CHANGE_COLOR}]")
    assert cells(view) == [("online", False), ("online", True), ("off", False)]

    next_round(view, 3)
    assert view.report() == first + line + "\n"
    assert cells(view) == [("online", False), ("online", False), ("off", False)]
    assert view.status == "watching: round 3, no changes"

    press(view.ids.watch_button)
    assert not view.watching and view._next_round is None and not view.ids.check_button.disabled


def test_abort_during_a_round_ends_the_watch(view, installation):
    plant = start_watch(view, installation)
    plant["masters"][0]["delay"] = 0.5  # the in-process emulation sits its delays out
    installation(plant)
    view._round()
    wait_for(lambda: view.busy, "the second round")
    press(view.ids.abort_button)
    wait_for(lambda: not view.busy, "the end of the round")
    assert view.outcome.aborted and not view.watching
    assert view.ids.watch_button.state == "normal" and view._next_round is None
