"""Tests of the tessadyn-check command: the real command in subprocesses,
against the stand-in's demo installation or small installation files."""

import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from plants import ip_master, plant

CLI = [sys.executable, "-m", "velmora.tools"]
ANSI = re.compile(r"\x1b\[[0-9;]*m")
DEMO_MASTERS = ["192.168.10.21", "192.168.10.22", "COM5", "D4:36:39:8A:10:5C"]
# Standard error whenever the demo plant's emulated masters are checked.
DEMO_NOTE = ("WARNING: velmora.base: emulated masters: the masters of the demo plant built into the stand-in "
             "driver library are emulated, not real; to check real masters, give their IP addresses or an "
             "address range (10.0.0.5, 10.0.0.0/24) or set VELMORA_BASE_REST_HOSTS\n")
NOTE = re.compile(r"^WARNING: velmora\.base: emulated masters: .*\n", re.M)


def without_note(text):
    """Standard error without the note that emulated masters are checked."""
    return NOTE.sub("", text)


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("NO_COLOR", "TERM", "VELMORA_BASE_INSTALLATION", "PYTHONPATH",
                        "PYTHONUNBUFFERED")}
    env.update(extra)
    return env


def cli(*args, cmd=CLI, **env):
    """The command's run, its standard error without the note on emulated
    masters (tests/test_cli.py::test_demo_output_is_unchanged_byte_for_byte
    has it)."""
    r = subprocess.run([*cmd, *args], capture_output=True, text=True,
                       env=clean_env(**env), timeout=60)
    r.stderr = without_note(r.stderr)
    return r


def masters_listed(stdout):
    return re.findall(r"^Master (\S+?):? ", stdout, re.M)


# --- report and options -----------------------------------------------------

IP_MASTERS = ["192.168.10.21", "192.168.10.22"]


@pytest.mark.parametrize("args, banner_end, masters, summary", [
    ([], "devices...", DEMO_MASTERS, "4 master(s) and 6 device(s) found\nVisit"),
    (["-a", "COM5"], "at COM5...", ["COM5"], "1 master(s) and 1 device(s)"),
    (["--address", "192.168.10.22", "-a", "COM5"], "at specified addresses...",
     ["192.168.10.22", "COM5"], "2 master(s) and 1 device(s)"),
    (["-s", "USB"], "devices...", ["COM5"], "1 master(s)"),
    (["--select", "Ethernet"], "devices...", IP_MASTERS, "2 master(s)"),
    (["-s", "bLe"], "devices...", ["D4:36:39:8A:10:5C"], "1 master(s)"),
    (["-a", "192.168.10.22"], "22...", ["192.168.10.22"], "and 0 device(s) found\nHint"),
    (["--auto", "-a", "192.168.10.22"], "22...", ["192.168.10.22"], "and 2 device(s) found\nVisit"),
])
def test_options_reach_the_check(args, banner_end, masters, summary):
    r = cli(*args)
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout.splitlines()[0].endswith(banner_end)
    assert masters_listed(r.stdout) == masters
    assert summary in r.stdout


def test_plain_report_on_a_pipe_is_the_checkers_own_output():
    own = subprocess.run([sys.executable, "-c",
                          "from velmora.tools.TessadynChecker import check; check()"],
                         capture_output=True, text=True, env=clean_env(), check=True)
    assert cli().stdout == own.stdout


def test_verbose_reaches_the_driver_library_logger():
    assert "DEBUG: velmora.base: BLE base driver opened" in cli("-v", "3", "-s", "ble").stderr


def test_version_from_the_installed_script_and_help():
    script = Path(sys.executable).with_name("tessadyn-check")
    r = cli("--version", cmd=[str(script)])
    assert (r.returncode, r.stdout) == (0, "tessadyn-check 1.9.2 (driver library velmora.base 0.9.0)\n")
    r = cli("--help")
    assert r.returncode == 0 and r.stdout.startswith("usage: tessadyn-check ")
    assert "examples:" in r.stdout and "tessadyn-check -a 10.0.0.5 " in r.stdout


# --- colour -----------------------------------------------------------------

def test_color_always_renders_the_markup_and_gui_markup_keeps_it():
    r = cli("--color", "always")
    assert "\x1b[38;2;70;153;255m\x1b[1mMaster 192.168.10.21\x1b[22m\x1b[39m (IOLM-8" in r.stdout
    assert "\x1b[38;2;114;255;0m  * Device port 1:\x1b[39m Velmora" in r.stdout
    assert ANSI.sub("", r.stdout) == cli("--color", "never").stdout
    raw = cli("--gui-markup", "--color", "always", "-s", "usb").stdout
    assert "[color=#4699ff][b]Master COM5[/b][/color]" in raw and "\x1b" not in raw


@pytest.mark.parametrize("args, golden", [
    (["--auto"], "demo-auto-plain.txt"),
    (["--color", "always"], "demo-color.txt"),
    (["--color", "always", "--auto"], "demo-auto-color.txt"),
    (["--color", "always", "-a", "192.168.10.22"], "demo-hint-color.txt"),
    (["--gui-markup", "--auto"], "demo-auto-gui-markup.txt"),
])
def test_demo_output_is_unchanged_byte_for_byte(args, golden):
    r = subprocess.run([*CLI, *args], capture_output=True, env=clean_env(), timeout=60)
    assert (r.returncode, r.stderr) == (0, DEMO_NOTE.encode())
    assert r.stdout == (Path(__file__).with_name("data") / golden).read_bytes()


def run_on_tty(*args, **env):
    import pty
    master, slave = pty.openpty()
    proc = subprocess.Popen([*CLI, *args], stdout=slave, env=clean_env(**env))
    os.close(slave)
    chunks = [b"-"]
    while chunks[-1]:
        try:
            chunks.append(os.read(master, 65536))
        except OSError:  # EIO: the child closed the terminal
            break
    os.close(master)
    assert proc.wait(timeout=60) == 0
    return b"".join(chunks[1:]).decode()


@pytest.mark.skipif(sys.platform == "win32", reason="needs a pty")
def test_color_auto_follows_the_terminal_and_no_color():
    assert "\x1b[38;2;70;153;255m" in run_on_tty("-s", "usb")
    assert "\x1b" not in run_on_tty("-s", "usb", NO_COLOR="1")
    assert "\x1b" not in cli("-s", "usb").stdout  # a pipe


# --- usage errors -----------------------------------------------------------

@pytest.mark.parametrize("args, message", [
    (["-v", "10"], "argument -v/--verbose: level 10 out of range (expected 0..9)"),
    (["--verbose=-1"], "argument -v/--verbose: level -1 out of range"),
    (["-v", "two"], "argument -v/--verbose: invalid level 'two'"),
    (["-s", "wifi"], "argument -s/--select: invalid choice: 'wifi'"),
    (["--color", "sometimes"], "argument --color: invalid choice: 'sometimes'"),
])
def test_usage_errors_exit_2_before_any_check(args, message):
    r = cli(*args)
    assert (r.returncode, r.stdout) == (2, "")
    assert r.stderr.startswith("usage: tessadyn-check")
    assert f"tessadyn-check: error: {message}" in r.stderr


# --- errors -----------------------------------------------------------------

def test_driver_error_gives_one_line_and_exit_1(tmp_path):
    path = plant(tmp_path, ip_master("10.0.0.1", fault="fail-get-devices"))
    r = cli(VELMORA_BASE_INSTALLATION=path)
    assert r.returncode == 1 and masters_listed(r.stdout) == ["10.0.0.1"]
    assert r.stderr == ("tessadyn-check: error: Master 10.0.0.1: "
                        "connection lost while reading the device table\n")
    debug = cli("--debug", VELMORA_BASE_INSTALLATION=path)
    assert debug.returncode == 1
    assert debug.stderr.startswith("Traceback (most recent call last):")
    assert debug.stderr.endswith(r.stderr)


HIDER = """\
import os, sys
class _Hide:
    def find_spec(self, name, path=None, target=None):
        if name == os.environ["HIDE_MODULE"]:
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
sys.meta_path.insert(0, _Hide())
"""


@pytest.mark.parametrize("hide, problem", [
    ("velmora.base", "No module named 'velmora.base'"),
    ("dict2obj", "No module named 'dict2obj'"),
    (None, "cannot import name '_IoddDrv' from 'velmora.base'"),  # a package without it
])
def test_missing_or_broken_driver_library_names_the_module(tmp_path, hide, problem):
    (tmp_path / "sitecustomize.py").write_text(HIDER)
    if hide is None:
        (tmp_path / "velmora" / "base").mkdir(parents=True)
        (tmp_path / "velmora" / "base" / "__init__.py").write_text("")
    r = cli("-s", "usb", PYTHONPATH=str(tmp_path), HIDE_MODULE=str(hide))
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr.startswith(f"tessadyn-check: error: cannot load the checker: {problem}")
    assert r.stderr.count("\n") == 1


# --- Ctrl-C -----------------------------------------------------------------

# Runs the command's main() and then reports, from the same process, what
# the stand-in saw and which SIGINT handler is in place.
WRAPPER = """\
import json, os, signal, sys
from velmora.base import sim
from velmora.tools.tessadyn_check import main

def before(signum, frame):
    pass

signal.signal(signal.SIGINT, before)
status = main(sys.argv[1:])
with open(os.environ["CLI_STATE"], "w") as f:
    json.dump({"handler_restored": signal.getsignal(signal.SIGINT) is before,
               "open_masters": len(sim.open_master_drivers()),
               "open_bases": len(sim.open_base_drivers()),
               "disconnected": [e.address for e in sim.events("master-disconnect")]}, f)
sys.exit(status)
"""


def start(cmd, **env):
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=clean_env(**env))
    watchdog = threading.Timer(30, proc.kill)  # a hang ends the test instead of blocking it
    watchdog.start()
    return proc, watchdog


def read_until(stream, text):
    seen = []
    for line in stream:
        seen.append(line)
        if text in line:
            return seen
    raise AssertionError(f"{text!r} never came, got {seen}")


def test_interrupt_aborts_the_run_and_disconnects_the_master(tmp_path):
    (tmp_path / "wrapper.py").write_text(WRAPPER)
    state = tmp_path / "state.json"
    path = plant(tmp_path, ip_master("10.0.0.1", devices=2, delay=0.3), ip_master("10.0.0.2"))
    proc, watchdog = start([sys.executable, str(tmp_path / "wrapper.py")],
                           VELMORA_BASE_INSTALLATION=path, CLI_STATE=str(state))
    try:
        read_until(proc.stdout, "Master 10.0.0.1")  # only flushed output shows up here
        proc.send_signal(signal.SIGINT)
        rest, err = proc.communicate(timeout=30)
    finally:
        watchdog.cancel()
    assert proc.returncode == 130
    assert without_note(err).startswith("aborting...") and "Traceback" not in err
    assert "10.0.0.2" not in rest and "found" not in rest
    assert json.loads(state.read_text()) == {
        "handler_restored": True, "open_masters": 0, "open_bases": 0,
        "disconnected": ["10.0.0.1"]}


def test_second_interrupt_ends_at_once(tmp_path):
    path = plant(tmp_path, ip_master("10.0.0.1", devices=0), ip_master("10.0.0.2", delay=30))
    proc, watchdog = start(CLI, VELMORA_BASE_INSTALLATION=path)
    try:
        read_until(proc.stdout, "Master 10.0.0.1")
        time.sleep(0.2)  # now inside the 30 s connect of 10.0.0.2
        proc.send_signal(signal.SIGINT)
        read_until(proc.stderr, "aborting...")
        time.sleep(0.2)
        assert proc.poll() is None  # the abort waits for the connect
        began = time.monotonic()
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=30)
        assert time.monotonic() - began < 5
    finally:
        watchdog.cancel()
    assert proc.returncode == 130


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="counts descriptors in /proc")
def test_a_reader_gone_leaves_no_descriptor_open(tmp_path):
    from velmora.tools.tessadyn_check import _write

    class Gone:
        def __init__(self, fd):
            self.fd = fd

        def fileno(self):
            return self.fd

        def write(self, text):
            raise BrokenPipeError

    with open(tmp_path / "out", "w") as target:
        before = len(os.listdir("/proc/self/fd"))
        for _ in range(3):
            _write(Gone(target.fileno()), "x")
        assert len(os.listdir("/proc/self/fd")) == before
