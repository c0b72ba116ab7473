"""tessadyn-check against hostile IO-Link masters: small REST servers on
loopback whose texts, HTTP reason phrases and API error messages are made to
control the terminal or to forge report lines."""

import json
import re
import signal
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from test_cli import CLI, clean_env, read_until

from velmora.tools import report_text as rt

API = "/iolink/v1"
MB = 1_000_000

ATTACKS = {
    "clear": "\x1b[2J\x1b[H",
    "title": "\x1b]0;pwned\x07",
    "clipboard": "\x1b]52;c;cm0gLXJmIH4K\x07",
    "overwrite": "tag: \rFAKE LINE",
    "nul": "a\x00b",
    "c1": "\xc2\x9b31m\x9b2J\x85",
    "bidi": "abc\u202edcba\u2066x\u2069\u200f",
    "separators": "a\u2028b\u2029c",
    "surrogate": "\ud800x",
    "markup": "[color=#ff0000][b]red[/b][/color]",
    "summary": "\n\n2 master(s) and 99 device(s) found\nVisit http://evil.invalid for more informations",
}
ALL = "".join(ATTACKS.values())
# A device line forged from inside a value, ids and all.
FORGED_DEVICE = ",\n    T, vid 0x9999, did 0x9999,\n  * Device port 7: Forged, F (F),\n    "

# Bytes of a status line's reason phrase (http.client reads it as Latin-1).
HOSTILE_REASON = b"Fail \x1b[2J\x1b]0;t\x07 \rFAKE \x00 \xc2\x9b \x9b \x85 \x7f [color=#ff0000]x"
HOSTILE_MESSAGE = ALL + FORGED_DEVICE


def ident(**values):
    names = ("vendorName", "vendorText", "productName", "productId", "productText",
             "serialNumber", "hardwareRevision", "firmwareRevision", "applicationSpecificTag")
    return {"vendorId": 1893, "deviceId": 4660, **{n: values.get(n) for n in names}}


def long_field(filler, size=1000):
    """A field of size characters with filler repeated through it."""
    block = "X" * 100 + filler
    return (block * (size // len(block) + 1))[:size]


HOSTILE_DEVICES = {
    "d1": ident(vendorName=ATTACKS["markup"] + " Evil", productName="P" + ATTACKS["clear"],
                productId=ATTACKS["nul"] + "\x07", productText="line" + FORGED_DEVICE + "x",
                serialNumber=ATTACKS["c1"], hardwareRevision=ATTACKS["bidi"],
                firmwareRevision="1" + ATTACKS["summary"], applicationSpecificTag=ATTACKS["overwrite"]),
    "d2": ident(vendorName="Big", productName="big", productText=long_field("\x1b[2J\n\r\u202e")),
    "d3": ident(vendorName="Big", productName="big",
                serialNumber=long_field(ATTACKS["clipboard"] + "\n    fwVer " + ATTACKS["title"] + "\x9b"),
                applicationSpecificTag=ATTACKS["title"]),
}


def hostile_master():
    """Answers for a master whose every text attacks."""
    master_ident = {
        "vendorName": ATTACKS["summary"], "productName": "Hub" + ATTACKS["clipboard"] + FORGED_DEVICE,
        "firmwareRevision": "1.0\r\n" + ATTACKS["title"], "orderCode": ATTACKS["markup"],
        "vendorId": 1893, "masterId": 3, "locationTag": "hall" + ATTACKS["bidi"],
    }
    answers = {
        "/gateway/identification": {"vendorName": "gw", "productName": "gw"},
        "/masters": [{"masterNumber": 1}],
        "/masters/1/identification": master_ident,
        "/masters/1/capabilities": {"numberOfPorts": 3},
        "/devices": [{"deviceAlias": alias, "masterNumber": 1, "portNumber": n}
                     for n, alias in enumerate(HOSTILE_DEVICES, start=1)],
    }
    for port in (1, 2, 3):
        answers[f"/masters/1/ports/{port}/configuration"] = {"mode": "IOLINK_AUTOSTART"}
    for alias, values in HOSTILE_DEVICES.items():
        answers[f"/devices/{alias}/identification"] = values
    return answers


def failing(answers, path, code):
    """The same master, with path answered by an API error."""
    return {**answers, path: (500, HOSTILE_REASON, {"code": code, "message": HOSTILE_MESSAGE})}


class Master:
    """One REST master on loopback answering from a table: a value is
    served as JSON with 200 OK, a tuple (status, reason bytes, body) as is;
    delay holds each answer to /devices back."""

    def __init__(self, answers, delay=0.0):
        answers = {API + path: answer for path, answer in answers.items()}

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                answer = answers.get(self.path, (404, b"Not Found", {"code": 304, "message": "not found"}))
                status, reason, body = answer if isinstance(answer, tuple) else (200, b"OK", answer)
                data = json.dumps(body).encode()
                if self.path.endswith("/devices"):
                    time.sleep(delay)
                self.wfile.write(b"HTTP/1.1 %d %s\r\nContent-Type: application/json\r\n"
                                 b"Content-Length: %d\r\nConnection: close\r\n\r\n"
                                 % (status, reason, len(data)) + data)
                self.close_connection = True

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.address = f"127.0.0.1:{self.server.server_address[1]}"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def masters():
    started = []

    def start(answers, delay=0.0):
        started.append(Master(answers, delay))
        return started[-1].address

    yield start
    for m in started:
        m.close()


@pytest.fixture
def empty_plant(tmp_path):
    path = tmp_path / "plant.json"
    path.write_text('{"masters": []}')
    return str(path)


def run(*args, **env):
    return subprocess.run([*CLI, *args], capture_output=True, env=clean_env(**env), timeout=120)


BIDI = set("\u061c\u200e\u200f\u2028\u2029") | {chr(c) for c in range(0x202a, 0x202f)} | {
    chr(c) for c in range(0x2066, 0x206a)}


def assert_clean(raw, sgr=False):
    """Only printable text and line feeds (and, with sgr, the labels' SGR
    sequences) in raw output bytes."""
    text = raw.decode("utf-8")  # strict: no lone surrogate got through either
    if sgr:
        for seq in (*rt.MASTER_LABEL.sgr, *rt.DEVICE_LABEL.sgr):
            text = text.replace(seq, "")
    bad = sorted({c for c in text if (c < " " and c != "\n") or "\x7f" <= c <= "\x9f" or c in BIDI
                  or "\ud800" <= c <= "\udfff"})
    assert not bad, f"control characters written: {bad!r}"
    for byte in (b"\x1b", b"\x07", b"\r", b"\x00", b"\xc2\x9b", b"\xe2\x80\xae"):
        assert byte not in (raw if not sgr else text.encode())
    return text


SUMMARY = re.compile(r"\d+ master\(s\) and \d+ device\(s\) found")
CLOSING = "Visit https://www.velmora.com for more informations"


def assert_report_lines(stdout, masters, devices):
    """The report's lines are the checker's own: the real summary once,
    each master in a blank line and two lines, each device in three."""
    lines = stdout.split("\n")
    assert lines[-1] == "" and lines[0].startswith("Velmora Tessadyn Checker ")
    assert [line for line in lines if SUMMARY.fullmatch(line)] == [
        f"{masters} master(s) and {devices} device(s) found"]
    assert [line for line in lines if line.startswith("Visit")] == [CLOSING]
    assert lines[-2] == CLOSING
    body = lines[1:-3]
    assert body[-1] == ""
    body = body[:-1]
    n_masters = n_devices = 0
    i = 0
    while i < len(body):
        if body[i] == "":
            assert body[i + 1].startswith("Master ") and body[i + 2].startswith("    ")
            n_masters += 1
            i += 3
        else:
            assert body[i].startswith("  * Device port ")
            assert body[i + 1].startswith("    ") and body[i + 2].startswith("    fwVer ")
            n_devices += 1
            i += 3
    assert (n_masters, n_devices) == (masters, devices)


def test_hostile_texts_are_escaped_and_forge_no_line(masters):
    address = masters(hostile_master())
    r = run("-a", address)
    assert (r.returncode, r.stderr) == (0, b"")
    out = assert_clean(r.stdout)
    assert_report_lines(out, masters=1, devices=3)
    # The values are there, escaped where they hold controls.
    assert f"Master {address} (hall{rt.safe(ATTACKS['bidi'])}):" in out
    assert "\\n\\n2 master(s) and 99 device(s) found\\nVisit http://evil.invalid" in out
    assert "tag: tag: \\rFAKE LINE\n" in out
    assert "[color=#ff0000][b]red[/b][/color] Evil" in out  # literal, not rendered
    assert "\\x1b]52;c;cm0gLXJmIH4K\\x07" in out and "\\u202e" in out and "\\x9b" in out
    assert "  * Device port 7" not in out.replace("\\n  * Device port 7", "")
    # The long fields are all there.
    for alias, key in (("d2", "productText"), ("d3", "serialNumber")):
        assert rt.safe(HOSTILE_DEVICES[alias][key].strip()) in out


def test_megabyte_fields_leave_the_device_without_identification(masters):
    # A master that answers a megabyte per text: the device is listed without
    # identification, and the warning naming master and port is as clean as
    # the report.
    answers = hostile_master()
    answers["/devices/d2/identification"] = ident(
        vendorName="Big", productName="big", productText=long_field("\x1b[2J\n\r\u202e", MB))
    answers["/devices/d3/identification"] = ident(
        vendorName="Big", productName="big", serialNumber=long_field(ATTACKS["clipboard"] + "\x9b", MB))
    address = masters(answers)
    r = run("-a", address)
    assert r.returncode == 0
    out = assert_clean(r.stdout)
    for port in (2, 3):
        assert f"\n  * Device port {port}: NO_IDENT, vid 0x0000, did 0x0000\n" in out  # ids unread
    assert [line for line in out.split("\n") if SUMMARY.fullmatch(line)] == ["1 master(s) and 3 device(s) found"]
    warnings = assert_clean(r.stderr).splitlines()
    assert [w.split(": device listed")[0] for w in warnings] == [
        f"WARNING: velmora.base: Master {address} port {port}" for port in (2, 3)]
    assert all(w.endswith("answer larger than 1 MiB") for w in warnings)


def test_with_color_only_the_labels_are_coloured(masters):
    address = masters(hostile_master())
    r = run("-a", address, "--color", "always")
    assert (r.returncode, r.stderr) == (0, b"")
    text = r.stdout.decode()
    assert re.findall(r"\x1b\[[0-9;]*m", text) == (
        ["\x1b[38;2;70;153;255m", "\x1b[1m", "\x1b[22m", "\x1b[39m"] + ["\x1b[38;2;114;255;0m", "\x1b[39m"] * 3)
    assert f"\n{rt.MASTER_LABEL.sgr[0]}Master {address}{rt.MASTER_LABEL.sgr[1]} (hall" in text
    for port in (1, 2, 3):
        assert f"\n{rt.DEVICE_LABEL.sgr[0]}  * Device port {port}:{rt.DEVICE_LABEL.sgr[1]} " in text
    plain = assert_clean(r.stdout, sgr=True)
    assert plain == run("-a", address, "--color", "never").stdout.decode()
    assert_report_lines(plain, masters=1, devices=3)


def test_gui_markup_passes_the_checkers_markup_on_safely(masters):
    address = masters(hostile_master())
    r = run("-a", address, "--gui-markup")
    out = assert_clean(r.stdout)
    assert f"\n[color=#4699ff][b]Master {address}[/b][/color] (hall" in out
    assert "\n[color=#72ff00]  * Device port 1:[/color] [color=#ff0000][b]red[/b][/color] Evil" in out
    assert [line for line in out.split("\n") if SUMMARY.fullmatch(line)] == ["1 master(s) and 3 device(s) found"]
    assert len(out.split("\n")) == 1 + 3 + 3 * 3 + 4


def test_reason_phrases_and_api_messages_in_warnings_and_errors(masters, empty_plant):
    good = masters(hostile_master())
    unreachable = masters(failing(hostile_master(), "/gateway/identification", 102))
    broken = masters(failing(hostile_master(), "/devices", 101))
    # A master that does not answer like one: a warning, and the run goes on.
    r = run(VELMORA_BASE_INSTALLATION=empty_plant, VELMORA_BASE_REST_HOSTS=f"{unreachable},{good}")
    assert r.returncode == 0
    assert_report_lines(assert_clean(r.stdout), masters=1, devices=3)
    err = assert_clean(r.stderr)
    assert err.count("\n") == 1 and err.startswith("WARNING: velmora.base: IP discovery: no master found:")
    assert "HTTP 500 Fail \\x1b[2J\\x1b]0;t\\x07 \\rFAKE \\x00 Â\\x9b \\x9b \\x85 \\x7f [color=#ff0000]x: [102] " in err
    assert rt.safe(HOSTILE_MESSAGE) in err
    # A master that fails while its devices are read ends the run: one error line.
    for debug in ((), ("--debug",)):
        r = run("-a", broken, *debug)
        assert r.returncode == 1
        assert_clean(r.stdout)
        err = assert_clean(r.stderr)
        last = f"tessadyn-check: error: Master {broken}: GET /iolink/v1/devices: HTTP 500 Fail "
        assert err.split("\n")[-2].startswith(last) and err.endswith(rt.safe(HOSTILE_MESSAGE.rstrip()) + "\n")
        assert err.count("\n") == 1 or (debug and err.startswith("Traceback (most recent call last):"))


def test_driver_library_log_records_go_through_the_same_step(masters):
    # A master that fails to connect is skipped; the driver library's debug
    # line says why, in the master's own words.
    address = masters(failing(hostile_master(), "/masters/1/capabilities", 102))
    r = run("-v", "3", "-a", address)
    assert r.returncode == 0
    out = assert_clean(r.stdout)
    assert out.endswith(f"\n\n1 master(s) and 0 device(s) found\n{rt.HINT}\n{CLOSING}\n")
    err = assert_clean(r.stderr)
    failed = [line for line in err.split("\n") if "connect(" in line and "failed" in line]
    assert failed and all(line.startswith("DEBUG: velmora.base: ") for line in failed)
    assert all(line.endswith(rt.safe(HOSTILE_MESSAGE)) for line in failed)


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
@pytest.mark.parametrize("gap", [0.0, 0.05, 0.3])
def test_second_interrupt_during_a_request_ends_quietly(masters, gap):
    address = masters(hostile_master(), delay=20)
    proc = subprocess.Popen([*CLI, "-a", address], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=clean_env(VELMORA_BASE_REST_READ_TIMEOUT="60",
                                                     VELMORA_BASE_REST_REQUEST_TIMEOUT="60",
                                                     VELMORA_BASE_REST_WORKERS="0"))
    watchdog = threading.Timer(30, proc.kill)
    watchdog.start()
    try:
        read_until(proc.stdout, "Master ")  # now reading /devices, held back 20 s
        proc.send_signal(signal.SIGINT)
        read_until(proc.stderr, "aborting...")
        time.sleep(gap)
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=30)
    finally:
        watchdog.cancel()
    assert proc.returncode == 130
    assert err == ""  # nothing after the "aborting..." line: no "Exception ignored ..."


# Sockets' file objects built and dropped as fast as possible while two
# SIGINTs come: an exception raised by the second one inside their
# constructors or finalisers used to print "Exception ignored in ...
# SocketIO ..." or be swallowed, leaving the process running.
SOCKET_LOOP = """\
import os, signal, socket, sys, threading, time
from velmora.tools.tessadyn_check import EXIT_INTERRUPTED, _Interrupts

class Checker:
    class _state:
        abort = False
    def abort(self):
        self._state.abort = True

a, b = socket.socketpair()
def interrupt_twice():
    for _ in range(2):
        time.sleep(0.2)
        os.kill(os.getpid(), signal.SIGINT)
    time.sleep(5)
    os._exit(99)  # the second interrupt was lost
threading.Thread(target=interrupt_twice, daemon=True).start()
try:
    with _Interrupts(Checker()):
        while True:
            a.makefile("rb")
except KeyboardInterrupt:
    sys.exit(EXIT_INTERRUPTED)
"""


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
def test_second_interrupt_inside_socket_code_ends_quietly():
    for _ in range(4):
        r = subprocess.run([sys.executable, "-c", SOCKET_LOOP], capture_output=True, text=True,
                           env=clean_env(), timeout=60)
        assert (r.returncode, r.stdout, r.stderr) == (
            130, "", "aborting... (press Ctrl-C again to quit at once)\n")


def test_addresses_and_arguments_given_are_echoed_safely():
    r = run("-a", "x\x1b[2J\u202e\n2 master(s) and 99 device(s) found")
    assert r.returncode == 0
    out = assert_clean(r.stdout)
    assert out.split("\n")[0].endswith(" at x\\x1b[2J\\u202e\\n2 master(s) and 99 device(s) found...")
    assert [line for line in out.split("\n") if SUMMARY.fullmatch(line)] == ["0 master(s) and 0 device(s) found"]
    r = run("\x1b]0;t\x07\r\x9b2J")  # argparse echoes unknown arguments as they are
    assert r.returncode == 2
    err = assert_clean(r.stderr)
    assert err.startswith("usage: tessadyn-check ")
    assert err.endswith("error: unrecognized arguments: \\x1b]0;t\\x07\\r\\x9b2J\n")


# A driver library that also reports through Python's logging and warnings
# (as a vendor's may): each of its log calls passes a master's text on.
LOUD_LIBRARY = """\
import logging, warnings
from velmora.base import _IoddDrv

def _log(message, _text={text!r}):
    logging.getLogger("velmora.base").warning("log record: %s", _text)
    warnings.warn("warning: " + _text, RuntimeWarning, stacklevel=2)

_IoddDrv._log = _log
"""


def test_logging_records_and_python_warnings_are_made_safe(tmp_path):
    (tmp_path / "sitecustomize.py").write_text(LOUD_LIBRARY.format(text=ALL + FORGED_DEVICE))
    r = run("-s", "usb", PYTHONPATH=str(tmp_path))
    assert r.returncode == 0
    assert_clean(r.stdout)
    err = assert_clean(r.stderr).split("\n")
    records = [line for line in err if line.startswith("log record: ")]
    warned = [line for line in err if "RuntimeWarning: warning: " in line]
    assert records and warned
    assert all(line == "log record: " + rt.safe(ALL + FORGED_DEVICE) for line in records)
    assert not [line for line in err if line.startswith(("  * Device port", "2 master(s)", "Visit"))]
