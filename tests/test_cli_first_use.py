"""The programs as a new user meets them: a reader that goes away, a SIGINT
ignored from the start, addresses in another case, one that matches
nothing, a master that cannot be connected, the window without Kivy."""

import json
import signal
import subprocess
import sys

import pytest

from plants import ip_master, plant
from test_cli import CLI, clean_env, cli, masters_listed, without_note

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX pipes and signals")

# main() in a process that then tells what the stand-in saw.
WRAPPER = """\
import json, os, sys
from velmora.base import sim
from velmora.tools.tessadyn_check import main

status = main(sys.argv[1:])
with open(os.environ["CLI_STATE"], "w") as f:
    json.dump({"status": status, "open_masters": len(sim.open_master_drivers()),
               "connected": [e.address for e in sim.events("base-connect")],
               "disconnected": [e.address for e in sim.events("master-disconnect")]}, f)
"""

SLOW = (ip_master("10.0.0.1", devices=2, delay=0.3), ip_master("10.0.0.2", delay=0.3))


@pytest.mark.parametrize("args, pipe, lines", [
    (["--version"], "stdout", 0),          # tessadyn-check --version | true
    ([], "stdout", 1),                     # tessadyn-check | head -1, in the middle of the plant
    (["-v", "3"], "both", 1),              # tessadyn-check -v 3 2>&1 | head -1
    (["-v", "3"], "stderr", 1),            # tessadyn-check -v 3 2>&1 >/dev/null | head -1
])
def test_a_reader_that_goes_away_ends_the_command_quietly(tmp_path, args, pipe, lines):
    (tmp_path / "wrapper.py").write_text(WRAPPER)
    state = tmp_path / "state.json"
    with subprocess.Popen(
            [sys.executable, str(tmp_path / "wrapper.py"), *args],
            stdout=subprocess.PIPE if pipe != "stderr" else subprocess.DEVNULL,
            stderr={"stdout": subprocess.PIPE, "both": subprocess.STDOUT, "stderr": subprocess.PIPE}[pipe],
            env=clean_env(VELMORA_BASE_INSTALLATION=plant(tmp_path, *SLOW), CLI_STATE=str(state))) as proc:
        reader = proc.stderr if pipe == "stderr" else proc.stdout
        for _ in range(lines):
            reader.readline()
        reader.close()
        other = proc.stderr.read() if pipe == "stdout" else b""
        assert proc.wait(timeout=60) == 0  # the wrapper ended normally...
    result = json.loads(state.read_text())
    assert result["status"] == 141 and without_note(other.decode()) == ""  # ...and quietly
    assert result["open_masters"] == 0
    assert result["disconnected"] == result["connected"][:1]  # the master of the moment, and no other


def test_a_sigint_ignored_from_the_start_stays_ignored(tmp_path):
    path = plant(tmp_path, *SLOW)
    with subprocess.Popen(["sh", "-c", 'trap "" INT; exec "$@"', "sh", *CLI], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, env=clean_env(VELMORA_BASE_INSTALLATION=path)) as proc:
        assert proc.stdout.readline().startswith("Velmora Tessadyn Checker")
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    assert (proc.returncode, without_note(err)) == (0, "")
    assert masters_listed(out) == ["10.0.0.1", "10.0.0.2"]


@pytest.mark.parametrize("args, masters, warning", [
    (["-a", "com5"], ["COM5"], ""),
    (["-a", "d4:36:39:8a:10:5c", "-s", "ble"], ["D4:36:39:8A:10:5C"], ""),
    (["-a", "com7"], [], "WARNING: velmora.base: no master at 'com7' (did you mean 'COM5'?)\n"),
    (["-a", "/dev/ttyUSB0"], [], "WARNING: velmora.base: no master at '/dev/ttyUSB0'\n"),
])
def test_addresses_in_any_case_and_one_warning_for_an_address_of_no_master(args, masters, warning):
    r = cli(*args)
    assert (r.returncode, r.stderr) == (0, warning)
    assert masters_listed(r.stdout) == masters


def test_an_empty_address_is_a_usage_error():
    r = cli("-a", "")
    assert (r.returncode, r.stdout) == (2, "")
    assert r.stderr.endswith("tessadyn-check: error: argument -a/--address: "
                             "empty address (leave out -a to check all masters)\n")


@pytest.mark.parametrize("address, why", [
    ("10.0.0.0/33", "prefix /33 out of range (0..32)"),
    ("10.0.0.9-10.0.0.1", "10.0.0.1 comes before 10.0.0.9"),
    ("10.0.0.0/16", "a range holds at most 1024 addresses, /16 holds 65534"),
    ("127.0.0.5:65536", "port 65536 out of range (1..65535)"),
])
def test_a_malformed_address_or_range_is_a_usage_error_before_any_master_is_asked(address, why):
    r = cli("-a", "COM5", "-a", address, "-v", "3")
    assert (r.returncode, r.stdout) == (2, "")
    assert r.stderr.startswith("usage: ") and "velmora.base" not in r.stderr
    assert r.stderr.endswith(f"tessadyn-check: error: argument -a/--address: '{address}': {why}\n")


def test_a_master_that_cannot_be_connected_is_counted_and_named(tmp_path):
    path = plant(tmp_path, ip_master("10.0.0.1"), ip_master("10.0.0.2", fault="refuse"))
    r = cli(VELMORA_BASE_INSTALLATION=path)
    assert r.returncode == 0 and masters_listed(r.stdout) == ["10.0.0.1"]
    assert "2 master(s) and 1 device(s) found" in r.stdout
    assert r.stderr == "WARNING: velmora.base: IP: master 10.0.0.2 not connected: connection refused\n"


# --- the window's program without Kivy, and its saved files -------------------

def test_the_window_without_kivy_says_in_one_line_what_to_install(monkeypatch, capsys):
    from velmora.tools import gui

    monkeypatch.setitem(sys.modules, "kivy", None)  # as if not installed
    assert gui.main(["-a", "COM5"]) == 1
    out, err = capsys.readouterr()
    assert out == "" and err.count("\n") == 1
    assert err.startswith('tessadyn-check-gui: error: the window needs Kivy, from the checker\'s extra "gui": '
                          'pip install "kivy')


@pytest.mark.parametrize("fails", [False, True])
def test_a_saved_file_is_written_whole_or_not_at_all(tmp_path, monkeypatch, fails):
    from velmora.tools import atomic_file

    (tmp_path / "report.txt").write_text("old report\n")
    (tmp_path / "report.txt").chmod(0o640)
    (tmp_path / "link.txt").symlink_to("report.txt")
    if fails:
        def no_space(*args):
            raise OSError(28, "No space left on device")
        monkeypatch.setattr(atomic_file.os, "fsync", no_space)
        with pytest.raises(OSError, match="No space"):
            atomic_file.write_text(tmp_path / "link.txt", "new report\n")
    else:
        atomic_file.write_text(tmp_path / "link.txt", "new report\n")
    assert (tmp_path / "report.txt").read_text() == ("old report\n" if fails else "new report\n")
    assert (tmp_path / "report.txt").stat().st_mode & 0o777 == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.txt", "report.txt"]
