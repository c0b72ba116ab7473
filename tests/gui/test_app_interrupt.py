"""Ctrl-C in the terminal of tessadyn-check-gui closes the window as its
close button does: the run aborted, the worker joined, no traceback."""

import json
import sys

from plants import ip_master, plant
from test_app import CLOSE_DURING_RUN, run

CLOSE = 'seen["kept_open"] = Window.dispatch("on_request_close")'
INTERRUPT_DURING_RUN = (
    CLOSE_DURING_RUN.replace("import json, sys", "import json, os, signal, sys")
    .replace(CLOSE, 'os.kill(os.getpid(), signal.SIGINT); seen["kept_open"] = app.view is not None')
    + "sys.exit(app.exit_status)\n")


def test_ctrl_c_in_the_terminal_closes_the_window_like_its_close_button(tmp_path):
    assert CLOSE in CLOSE_DURING_RUN
    installation = plant(tmp_path, ip_master("192.0.2.1", devices=2, delay=1.0), ip_master("192.0.2.2"))
    r = run([sys.executable, "-c", INTERRUPT_DURING_RUN], tmp_path, VELMORA_BASE_INSTALLATION=installation)
    assert r.returncode == 130 and "KeyboardInterrupt" not in r.stderr  # Kivy logs start-up tracebacks of its own
    assert json.loads(r.stdout.splitlines()[-1]) == {
        "kept_open": True, "alive_after_request": True, "alive": False, "running": False,
        "aborted": True, "watching": False, "open_masters": 0, "open_bases": 0, "second_master": []}
