"""The window of tessadyn-check-gui, offscreen: the form, a run against the
stand-in's installations, abort, errors, the report, closing."""

import json
import re
import threading

import pytest
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st
from kivy.core.clipboard import Clipboard
from kivy.core.window import Window
from kivy.uix.button import Button
from PIL import Image

from gui_helpers import PATIENCE, dialogs, pump, run_check, wait_for
from plants import ip_master, report_texts, valid
from test_cli import without_note
import velmora.base
from velmora.base import sim
from velmora.tools import TessadynChecker, report_text
from velmora.tools.gui_app import AUTO_CAUTION, ErrorDialog
from velmora.tools.gui_run import TRANSPORTS, Worker

BLUE = (0x46, 0x99, 0xFF)     # "Master ADDR"
GREEN = (0x72, 0xFF, 0x00)    # "  * Device port N:"
RED = (0xFF, 0x00, 0x00)      # what mark-up in device data asks for


def rows(view):
    return [row["text"] for row in view.ids.pane.data]


def plain_check(**kwargs):
    lines = []
    TessadynChecker.check(printFnc=lambda text="": lines.append(text), **kwargs)
    return "".join(line + "\n" for line in lines)


def press(button):
    """A click: as a touch would, toggles toggle buttons and check boxes."""
    assert not button.disabled, f"{button} is disabled"
    button.trigger_action(duration=0)
    pump()


def button(dialog, text):
    return next(w for w in dialog.walk() if isinstance(w, Button) and w.text == text)


# --- the form reaches check() ----------------------------------------------------

class RecordingChecker:
    """A checker module that records its check() arguments."""

    class _state:
        abort = False
        isRuning = False

    def __init__(self):
        self.calls = []

    def check(self, **kwargs):
        self.calls.append(kwargs)
        kwargs["printFnc"]("banner")

    def abort(self):
        self._state.abort = True

    def isRunning(self):
        return self._state.isRuning


def recording_view(make_view):
    from kivy.clock import Clock
    from kivy.utils import escape_markup

    checker = RecordingChecker()
    worker = Worker(lambda fn: Clock.schedule_once(lambda dt: fn()), escape=escape_markup,
                    load=lambda: checker)
    return make_view(worker=worker), checker


# Addresses as typed: any text without separators, joined by separators.
token = st.text(min_size=1, max_size=12).filter(lambda t: not re.search(r"[,\s]", t))
separator = st.text(alphabet=", \n\t", min_size=1, max_size=3)


@pytest.fixture
def recording(make_view):
    return recording_view(make_view)


# Every example is a run in the window: few of them, and no shrinking.
@settings(max_examples=20, deadline=None, phases=[Phase.explicit, Phase.reuse, Phase.generate],
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(tokens=st.lists(token, max_size=5), seps=st.lists(separator, min_size=6, max_size=6),
       transport=st.sampled_from(range(len(TRANSPORTS))), leading=st.booleans())
def test_form_values_reach_check_as_its_arguments(recording, tokens, seps, transport, leading):
    view, checker = recording
    checker.calls.clear()
    text = (seps[-1] if leading else "") + "".join(t + s for t, s in zip(tokens, seps))
    view.ids.addresses.text = text
    press(view.transport_buttons[transport])
    run_check(view)
    try:
        expected = velmora.base.expect_addresses(tokens) or None
    except ValueError:  # a malformed address (a bad '#N', range or port) ends the run before check()
        assert checker.calls == [] and view.status != "completed"
        return
    (call,) = checker.calls
    assert call["address"] == expected
    assert call["select"] == TRANSPORTS[transport][1]
    assert call["auto"] is False and call["gui"] is True and call["verbose"] == 2
    assert callable(call["printFnc"])
    # One transport at a time.
    assert [b.state for b in view.transport_buttons].count("down") == 1


@pytest.mark.parametrize("answer, auto", [("Activate ports", True), ("Cancel", False)])
def test_activating_ports_asks_first(make_view, answer, auto):
    view, checker = recording_view(make_view)
    press(view.ids.auto)
    pump(2)
    (dialog,) = dialogs()
    texts = [w.text for w in dialog.walk() if hasattr(w, "text")]
    assert AUTO_CAUTION in texts
    assert view.ids.auto.active is False          # not before the answer
    press(button(dialog, answer))
    wait_for(lambda: dialogs() == [], "the dialog to close")
    assert view.ids.auto.active is auto
    run_check(view)
    assert checker.calls[0]["auto"] is auto
    # Unticking needs no confirmation; ticking again asks again.
    view.ids.auto.active = False
    press(view.ids.auto)
    assert len(dialogs()) == 1 and view.ids.auto.active is False


# --- a run against the stand-in --------------------------------------------------------

def colour_pixels(image, colour, tolerance=40):
    r0, g0, b0 = colour
    return sum(n for n, (r, g, b) in image.getcolors(maxcolors=1 << 24)
               if abs(r - r0) + abs(g - g0) + abs(b - b0) <= tolerance)


def screenshot(tmp_path):
    pump(3)
    path = Window.screenshot(name=str(tmp_path / "shot.png"))
    return Image.open(path).convert("RGB")


def pane_of(view, image):
    """The report pane's part of a screenshot (the plant view above it has
    red cells of its own)."""
    pane = view.ids.pane
    x, y = pane.to_window(*pane.pos)
    top = image.height - (y + pane.height)
    return image.crop((int(x), int(top), int(x + pane.width), int(top + pane.height)))


EVIL = "[color=#ff0000][b]RED[/b][/color]"


def test_labels_in_their_colours_and_markup_in_data_shown_literally(view, installation, tmp_path):
    installation({"masters": [{
        "transport": "IP", "address": "192.0.2.7",
        "identity": {"name": EVIL, "vendor": "[color=#ff0000]", "productName": "x[/color]"},
        "ports": [{"mode": "IOLINK", "device": {
            "vendorId": 1, "deviceId": 2,
            "identification": {"vendorName": EVIL, "productName": "[i]RED[/i]",
                               "applicationSpecificTag": "[size=40]&bl;[/size]"}}}],
    }]})
    outcome = run_check(view)
    assert outcome.completed
    shown = rows(view)
    master_row = next(r for r in shown if "Master 192.0.2.7" in r)
    assert master_row.startswith("[color=#4699ff][b]Master 192.0.2.7[/b][/color]")
    assert "&bl;color=#ff0000&br;&bl;b&br;RED" in master_row
    assert any(r.startswith("[color=#72ff00]  * Device port 1:[/color]") for r in shown)
    assert "&amp;bl;" in "".join(shown)
    image = pane_of(view, screenshot(tmp_path))
    assert colour_pixels(image, BLUE) > 30
    assert colour_pixels(image, GREEN) > 30
    assert colour_pixels(image, RED, tolerance=120) == 0
    # The saved text is the plain report, mark-up in the data included.
    assert without_note(view.report()) == plain_check()  # the library's warnings are in the pane too
    assert EVIL in view.report()


def test_demo_report_is_the_plain_report_and_can_be_copied_and_saved(view, tmp_path):
    outcome = run_check(view)
    assert outcome.completed and view.status == "completed"
    assert without_note(view.report()) == plain_check()
    assert not view.ids.copy_button.disabled and not view.ids.save_button.disabled
    press(view.ids.copy_button)
    assert Clipboard.paste() == view.report()
    target = tmp_path / "report.txt"
    view.write_report(str(target))
    assert target.read_text(encoding="utf-8") == view.report()


def test_save_dialog_writes_and_asks_before_replacing(view, tmp_path):
    run_check(view)
    view._last_folder = str(tmp_path)
    (tmp_path / "old.txt").write_text("keep me")

    def save_as(name, answer=None):
        view.save_dialog()
        pump(2)
        (dialog,) = dialogs()
        field = next(w for w in dialog.walk() if getattr(w, "multiline", True) is False)
        field.text = name
        press(button(dialog, "Save"))
        if answer:
            wait_for(lambda: len(dialogs()) == 1, "the save dialog to close")
            (confirm,) = dialogs()
            press(button(confirm, answer))
        # A dismissed dialog stays on the window until its closing animation ends.
        wait_for(lambda: dialogs() == [], "the dialogs to close")

    save_as("new.txt")
    assert (tmp_path / "new.txt").read_text(encoding="utf-8") == view.report()
    save_as("old.txt", "Cancel")
    assert (tmp_path / "old.txt").read_text() == "keep me"
    save_as("old.txt", "Replace")
    assert (tmp_path / "old.txt").read_text(encoding="utf-8") == view.report()


def test_save_inventory_writes_the_document_of_the_report(view, tmp_path):
    assert view.ids.save_inventory_button.disabled
    run_check(view)
    view._last_folder = str(tmp_path)
    press(view.ids.save_inventory_button)
    pump(2)
    (dialog,) = dialogs()
    press(button(dialog, "Save"))
    wait_for(lambda: dialogs() == [], "the dialog to close")
    assert [p.name for p in tmp_path.iterdir()] == ["tessadyn-inventory.json"]  # no temporary left
    document = valid(json.loads((tmp_path / "tessadyn-inventory.json").read_text()))
    assert document == view.outcome.inventory and document["complete"]
    assert "".join(t + "\n" for t in report_texts(document, report_text.PLAIN)) in view.report()


@pytest.mark.parametrize("write", ["write_report", "write_inventory"])
def test_save_failure_is_shown(view, tmp_path, write):
    run_check(view)
    getattr(view, write)(str(tmp_path))          # a folder
    pump(2)
    (dialog,) = dialogs()
    assert isinstance(dialog, ErrorDialog) and str(tmp_path) in dialog.message


SLOW = [ip_master("192.0.2.1", devices=2, delay=1.0), ip_master("192.0.2.2")]


def connects(address):
    return [e for e in sim.events(address=address) if e.kind in ("base-connect", "master-connect")]


def wait_for_master(view, address):
    wait_for(lambda: any(f"Master {address}" in r for r in rows(view)), f"master {address}")


def test_abort_stops_a_slow_run(view, installation):
    installation({"masters": SLOW})
    assert view.start_check()
    wait_for_master(view, "192.0.2.1")
    pump()
    # Running: busy shown, Check off, and a second check cannot start.
    assert view.busy and view.ids.busy.opacity == 1
    assert view.ids.check_button.disabled and not view.ids.abort_button.disabled
    assert view.ids.save_button.disabled and view.ids.copy_button.disabled
    assert view.start_check() is False
    press(view.ids.abort_button)
    assert view.ids.abort_button.disabled
    wait_for(lambda: view.outcome is not None, "the aborted run")
    pump(3)
    assert view.outcome.aborted and view.status == "aborted"
    assert view.outcome.inventory["complete"] is False
    assert not any("found" in r for r in rows(view))
    assert connects("192.0.2.2") == []
    assert sim.open_master_drivers() == [] and sim.open_base_drivers() == []
    assert TessadynChecker.isRunning() is False
    assert not view.busy and view.ids.busy.opacity == 0
    assert not view.ids.check_button.disabled and view.ids.abort_button.disabled


def test_abort_right_after_check_still_stops_the_run(view, installation):
    installation({"masters": SLOW})
    assert view.start_check()
    view.abort_check()
    wait_for(lambda: view.outcome is not None, "the aborted run")
    assert view.outcome.aborted
    assert connects("192.0.2.2") == [] and sim.open_master_drivers() == []
    assert not any("found" in r for r in rows(view))


def test_check_is_refused_while_another_check_of_the_process_runs(view):
    entered, release = threading.Event(), threading.Event()

    def hold(text=""):
        entered.set()
        release.wait(30)

    other = threading.Thread(target=TessadynChecker.check, kwargs={"printFnc": hold})
    other.start()
    try:
        entered.wait(30)
        run_check_once = view.start_check()
        pump(2)
        assert run_check_once is False and view.busy and view.ids.check_button.disabled
    finally:
        TessadynChecker.abort()
        release.set()
        other.join(30)
    wait_for(lambda: not view.busy, "the other check's end")
    assert not view.ids.check_button.disabled


# --- errors ---------------------------------------------------------------------

def test_error_is_one_red_line_and_a_dialog_and_the_window_recovers(view, installation, tmp_path):
    installation({"masters": [ip_master("192.0.2.9", fault="fail-get-devices"),
                              ip_master("192.0.2.10")]})
    outcome = run_check(view)
    assert outcome.failure is not None and not outcome.completed and outcome.inventory is None
    assert view.ids.save_inventory_button.disabled
    last = rows(view)[-1]
    assert last.startswith("[color=#ff5a5a]Error: ") and "192.0.2.9" in last
    (dialog,) = dialogs()
    assert isinstance(dialog, ErrorDialog)
    assert dialog.message == outcome.failure.message and "\n" not in dialog.message
    assert dialog.details.height == 0 and dialog.details.opacity == 0
    dialog.toggle.state = "down"
    assert dialog.details.height > 0 and "Traceback" in dialog.details.text
    image = screenshot(tmp_path)
    assert colour_pixels(image, (0xFF, 0x5A, 0x5A), tolerance=30) > 30
    dialog.toggle.state = "normal"
    assert dialog.details.height == 0
    press(button(dialog, "Close"))
    wait_for(lambda: dialogs() == [], "the dialog to close")
    assert sim.open_master_drivers() == []
    assert view.report().endswith(f"Error: {outcome.failure.message}\n")
    # Usable again.
    sim.use_installation(None)
    assert run_check(view).completed
    assert not any("Error" in r for r in rows(view))


@pytest.mark.parametrize("exc, message", [
    (ImportError("No module named 'velmora.base'"),
     "cannot load the checker: No module named 'velmora.base'"),
    (RuntimeError("[color=#ff0000]x[/color]\nforged line"),
     "RuntimeError: [color=#ff0000]x[/color] forged line"),
])
def test_load_and_odd_errors_stay_one_literal_line(make_view, exc, message):
    from kivy.clock import Clock
    from kivy.utils import escape_markup

    def load():
        raise exc

    if isinstance(exc, ImportError):
        worker = Worker(lambda fn: Clock.schedule_once(lambda dt: fn()), escape_markup, load)
    else:
        checker = RecordingChecker()

        def check(**kwargs):
            raise exc

        checker.check = check
        worker = Worker(lambda fn: Clock.schedule_once(lambda dt: fn()), escape_markup,
                        lambda: checker)
    view = make_view(worker=worker)
    outcome = run_check(view)
    assert outcome.failure.message == message
    assert rows(view) == [f"[color=#ff5a5a]{escape_markup('Error: ' + message)}[/color]"]
    assert dialogs()[0].message == message


# --- closing ----------------------------------------------------------------------

def test_shutdown_during_a_run_aborts_and_joins(view, installation):
    installation({"masters": SLOW})
    assert view.start_check()
    wait_for_master(view, "192.0.2.1")
    assert view.shutdown() is True
    assert not view.worker.alive() and TessadynChecker.isRunning() is False
    assert sim.open_master_drivers() == [] and sim.open_base_drivers() == []
    assert connects("192.0.2.2") == []


def test_the_pane_follows_a_long_report_and_keeps_a_short_one_at_its_top(view, installation):
    wide = "W" * 300
    installation({"masters": [
        ip_master(f"192.0.2.{i}", devices=3) for i in range(1, 30)] + [{
            "transport": "IP", "address": "192.0.2.200", "identity": {"name": wide},
            "ports": [{"mode": "DI"}]}]})
    assert run_check(view).completed
    pane = view.ids.pane
    assert len(pane.data) * view.line_height > pane.height
    assert pane.scroll_y == 0                    # the summary in sight
    # Wide lines make the pane scroll sideways instead of being cut.
    assert view.content_width > len(wide) * view._char_width > pane.width
    sim.use_installation({"masters": [ip_master("192.0.2.1")]})
    assert run_check(view).completed
    assert len(pane.data) * view.line_height < pane.height
    assert pane.scroll_y == 1                    # starts at the top
    assert rows(view)[0].startswith("Velmora Tessadyn Checker ")


def test_shutdown_waits_a_bounded_time_for_a_driver_call_in_progress(view, installation):
    installation({"masters": [ip_master("192.0.2.1", delay=1.5), ip_master("192.0.2.2")]})
    assert view.start_check()
    wait_for(lambda: any(e.kind == "discover" for e in sim.events()), "discovery")
    # The connect of the first master takes 1.5 s and cannot be interrupted.
    assert view.shutdown(timeout=0.2) is False
    assert view.worker.abort_requested
    assert view.worker.join(PATIENCE)
    assert sim.open_master_drivers() == [] and connects("192.0.2.2") == []
