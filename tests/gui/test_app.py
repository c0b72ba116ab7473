"""tessadyn-check-gui as a program, each run in a process of its own, with no
display: snapshot mode, usage errors, closing the window during a run."""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from PIL import Image

from plants import ip_master, plant
from test_cli import without_note

SCRIPT = Path(sys.executable).with_name("tessadyn-check-gui")
BLUE = (0x46, 0x99, 0xFF)
GREEN = (0x72, 0xFF, 0x00)
DEMO_MASTERS = ["192.168.10.21", "192.168.10.22", "COM5", "D4:36:39:8A:10:5C"]


def env(tmp_path, **extra):
    clean = {k: v for k, v in os.environ.items()
             if k not in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER",
                          "VELMORA_BASE_INSTALLATION", "PYTHONPATH")}
    clean["KIVY_HOME"] = str(tmp_path / "kivy-home")
    clean.update(extra)
    return clean


def run(cmd, tmp_path, **extra):
    return subprocess.run(cmd, capture_output=True, text=True, env=env(tmp_path, **extra),
                          timeout=120)


def pixels(image, colour, tolerance=40):
    r0, g0, b0 = colour
    return sum(n for n, (r, g, b) in image.convert("RGB").getcolors(maxcolors=1 << 24)
               if abs(r - r0) + abs(g - g0) + abs(b - b0) <= tolerance)


def blue_rows(image):
    """Rows of the picture with master-label blue in them."""
    rgb = image.convert("RGB")
    width, height = rgb.size
    data = rgb.load()
    return [y for y in range(height)
            if any(sum(abs(a - b) for a, b in zip(data[x, y], BLUE)) <= 20
                   for x in range(0, min(width, 140)))]


def runs_of(rows):
    """First rows of the runs of consecutive rows."""
    return [y for y in rows if y - 1 not in rows]


def test_snapshot_of_the_demo_shows_the_four_masters_and_exits_0(tmp_path):
    shot = tmp_path / "shot.png"
    # Tall enough for the plant view and the whole report below it.
    r = run([str(SCRIPT), "--snapshot", str(shot), "--size", "1000x1100"], tmp_path)
    assert r.returncode == 0, r.stderr
    image = Image.open(shot)
    assert image.size == (1000, 1100)
    assert pixels(image, BLUE) > 100 and pixels(image, GREEN) > 100
    # Four separate runs of blue label rows: the four master lines.
    assert len(runs_of(blue_rows(image))) == len(DEMO_MASTERS)
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".snapshot")] == []


@pytest.mark.parametrize("args, masters, devices", [
    (["-a", "COM5", "-s", "USB"], 1, True),
    (["-s", "Ethernet"], 2, True),
    (["-s", "ble"], 1, True),
    (["-a", "192.168.10.22"], 1, False),          # its ports are all off
    (["-a", "192.168.10.22", "--auto"], 1, True),
])
def test_snapshot_options_reach_the_check(tmp_path, args, masters, devices):
    shot = tmp_path / "shot.png"
    r = run([sys.executable, "-m", "velmora.tools.gui", "--snapshot", str(shot), *args],
            tmp_path)
    assert r.returncode == 0, r.stderr
    image = Image.open(shot)
    assert len(runs_of(blue_rows(image))) == masters
    assert (pixels(image, GREEN) > 30) is devices


def test_snapshot_of_a_failing_run_exits_1_with_one_error_line(tmp_path):
    shot = tmp_path / "fail.png"
    installation = plant(tmp_path, ip_master("192.0.2.9", fault="fail-get-devices"))
    r = run([str(SCRIPT), "--snapshot", str(shot)], tmp_path,
            VELMORA_BASE_INSTALLATION=installation)
    assert r.returncode == 1
    errors = [line for line in r.stderr.splitlines() if line.startswith("tessadyn-check-gui: error:")]
    assert len(errors) == 1 and "192.0.2.9" in errors[0]
    assert pixels(Image.open(shot), (0xFF, 0x5A, 0x5A), tolerance=30) > 30


@pytest.mark.parametrize("args, message", [
    (["-s", "wifi"], "invalid choice: 'wifi'"),
    (["--size", "10x10"], "out of range"),
    (["--snapshot"], "expected one argument"),
])
def test_usage_errors_exit_2(tmp_path, args, message):
    r = run([str(SCRIPT), *args], tmp_path)
    assert r.returncode == 2 and message in r.stderr


def test_without_a_display_only_snapshot_mode_starts(tmp_path):
    r = run([str(SCRIPT), "-a", "COM5"], tmp_path)
    assert r.returncode == 1
    assert r.stderr == ("tessadyn-check-gui: error: no display (DISPLAY or WAYLAND_DISPLAY is "
                        "not set); --snapshot FILE.png works without one\n")


def test_start_is_quiet_without_optional_providers(tmp_path):
    # No xclip or xsel on PATH (nor, where libmtdev1 is missing, multitouch):
    # Kivy's probes of them print nothing.
    r = run([str(SCRIPT), "--snapshot", str(tmp_path / "shot.png"), "-s", "usb"], tmp_path,
            PATH=str(tmp_path))
    assert (r.returncode, without_note(r.stderr)) == (0, "")


def test_snapshot_into_a_missing_folder_exits_1(tmp_path):
    r = run([str(SCRIPT), "--snapshot", str(tmp_path / "no" / "shot.png")], tmp_path)
    assert r.returncode == 1 and "no folder" in r.stderr


CLOSE_DURING_RUN = textwrap.dedent("""
    import json, sys
    from velmora.tools.gui import configure_kivy
    configure_kivy((800, 600), headless=True)
    from kivy.clock import Clock
    from kivy.core.window import Window
    from velmora.base import sim
    from velmora.tools import TessadynChecker
    from velmora.tools.gui_app import CheckerApp
    from velmora.tools.gui_run import Options

    watch = sys.argv[1:] == ["watch"]
    app = CheckerApp(options=Options(), start=not watch)
    if watch:  # the run is the watch's first round
        Clock.schedule_once(lambda dt: app.view.set_watch(True))
    seen = {}

    def poll(dt):
        view = app.view
        if any("Master 192.0.2.1" in line.plain for line in view.lines):
            seen["kept_open"] = Window.dispatch("on_request_close")
            seen["alive_after_request"] = view.worker.alive()
            return False

    Clock.schedule_interval(poll, 0.02)
    app.run()
    print(json.dumps({
        **seen,
        "alive": app.view.worker.alive(),
        "running": TessadynChecker.isRunning(),
        "aborted": app.view.outcome.aborted,
        "watching": app.view.watching,
        "open_masters": len(sim.open_master_drivers()),
        "open_bases": len(sim.open_base_drivers()),
        "second_master": [e.kind for e in sim.events(address="192.0.2.2")
                          if e.kind in ("base-connect", "master-connect")],
    }))
""")


@pytest.mark.parametrize("how", ["check", "watch"])
def test_closing_the_window_during_a_run_aborts_and_joins(tmp_path, how):
    installation = plant(tmp_path, ip_master("192.0.2.1", devices=2, delay=1.0),
                         ip_master("192.0.2.2"))
    r = run([sys.executable, "-c", CLOSE_DURING_RUN, how], tmp_path,
            VELMORA_BASE_INSTALLATION=installation)
    assert r.returncode == 0, r.stderr
    result = json.loads(r.stdout.splitlines()[-1])
    assert result == {
        "kept_open": True,            # the window waits for the worker
        "alive_after_request": True,
        "alive": False,
        "running": False,
        "aborted": True,
        "watching": False,            # and the watch ended
        "open_masters": 0,
        "open_bases": 0,
        "second_master": [],
    }
