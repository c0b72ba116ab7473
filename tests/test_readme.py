"""The README's examples work as written: every shell session in it (lines
after "$ ", with their output) runs against the demo installation and
prints what the README shows; the emulated server's session gets the ports
the server chose; the Python API snippet runs, and check(auto=True) prints
the output shown.

Not run here: `make ...` (the suite itself runs under make), `pip install`
and `pip wheel` (they build and install into the environment), the window
(tests/gui), the commands that reach masters beyond loopback (10.0.0.x,
VELMORA_BASE_REST_HOSTS), and the inventory's sessions (``console`` blocks:
their output holds the time of the check, and the comparison needs a plant
that changed; tests/test_inventory.py covers both)."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from test_cli import DEMO_NOTE, clean_env

README = (Path(__file__).parents[1] / "README.md").read_text(encoding="utf-8")
BIN = str(Path(sys.executable).parent)
pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="the README's sessions are POSIX shell")


def blocks(lang=""):
    """The README's code blocks of a language ("" none given), in order."""
    found = re.findall(r"^```(\w*)\n(.*?)^```$", README, re.M | re.S)
    return [text for language, text in found if language == lang]


def sessions():
    """(command, expected output) of every "$ " line of the README."""
    found = []
    for block in blocks():
        for part in re.split(r"^\$ ", block, flags=re.M)[1:]:
            command, _, output = part.partition("\n")
            found.append((command, output))
    return found


def shell(command, cwd=None, **extra):
    env = clean_env(PATH=BIN + os.pathsep + os.environ["PATH"], **extra)
    return subprocess.run(["sh", "-c", command + " 2>&1"], capture_output=True, text=True, env=env, timeout=60,
                          cwd=cwd)


SERVER = "python -m velmora.base.server"
LOCAL = [(c, o) for c, o in sessions() if not c.startswith(SERVER) and "127.0.0.1:4" not in c]


def test_the_readme_has_its_sessions():
    assert len(LOCAL) >= 3 and len(sessions()) == len(LOCAL) + 2


@pytest.mark.parametrize("command, output", LOCAL, ids=[c for c, _ in LOCAL])
def test_a_readme_session_prints_what_the_readme_shows(command, output, tmp_path):
    assert shell(command, cwd=tmp_path).stdout == output


def test_the_readme_server_session_serves_the_masters_it_checks():
    (serve, shown), (check, _) = [(c, o) for c, o in sessions() if c not in dict(LOCAL)]
    assert serve.startswith(SERVER)
    env = clean_env(PATH=BIN + os.pathsep + os.environ["PATH"])
    with subprocess.Popen(["sh", "-c", "exec " + serve], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          text=True, env=env) as server:
        try:
            lines = [server.stdout.readline() for _ in shown.splitlines()]
            assert [re.sub(r":\d+$", ":PORT", line) for line in lines] == \
                [re.sub(r":\d+$", ":PORT", line) for line in shown.splitlines(keepends=True)]
            ports = iter(line.rsplit(":", 1)[1].strip() for line in lines)
            r = shell(re.sub(r"127\.0\.0\.1:\d+", lambda m: f"127.0.0.1:{next(ports)}", check))
        finally:
            server.terminate()
            server.wait(timeout=30)
    assert r.returncode == 0
    assert "\n2 master(s) and 6 device(s) found\n" in r.stdout  # --auto: the second master's ports too


def test_the_python_api_snippet_runs_and_check_auto_prints_what_the_readme_shows():
    snippet = next(b for b in blocks("python") if "tc.check(" in b)
    r = subprocess.run([sys.executable, "-c", snippet], capture_output=True, text=True, env=clean_env(), timeout=60)
    assert (r.returncode, r.stderr) == (0, DEMO_NOTE)  # once for the process's five checks
    shown = re.search(r"Output of `check\(auto=True\)`.*?```\n(.*?)```", README, re.S)[1]
    r = subprocess.run([sys.executable, "-c", "from velmora.tools import TessadynChecker as tc; tc.check(auto=True)"],
                       capture_output=True, text=True, env=clean_env(), timeout=60)
    assert (r.returncode, r.stdout) == (0, shown)
