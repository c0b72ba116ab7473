"""python -m velmora.base.server --reload: the served plant follows its
installation file (a device plugged in, a fault), a malformed file leaves
the plant as it was, and --reload needs a file."""

import json
import subprocess
import sys
import threading
import urllib.error
import urllib.request

SERVER = [sys.executable, "-m", "velmora.base.server"]


def plant(**port2):
    return {"masters": [{"transport": "IP", "address": "192.168.10.50",
                         "identity": {"vendorId": 1893, "deviceId": 1, "vendor": "Velmora"}, "ports": [
        {"mode": "IOLINK", "device": {"vendorId": 1, "deviceId": 10}}, {"mode": "IOLINK", **port2}]}]}


def port2(place):
    """The device ID on port 2, or the error code the master answers."""
    try:
        with urllib.request.urlopen(f"http://{place}/iolink/v1/devices/master1port2/identification",
                                    timeout=10) as answer:
            return json.load(answer)["deviceId"]
    except urllib.error.HTTPError as exc:
        with exc:
            return json.load(exc)["code"]


def test_the_served_plant_follows_its_file(tmp_path):
    path = tmp_path / "plant.json"
    path.write_text(json.dumps(plant()))
    proc = subprocess.Popen([*SERVER, "--installation", str(path), "--reload", "--listen", "127.0.0.1:0"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    watchdog = threading.Timer(30, proc.kill)
    watchdog.start()
    try:
        place = proc.stdout.readline().split(" -> ")[1].strip()
        assert proc.stderr.readline().startswith("serving 1 emulated master(s)")
        assert port2(place) == 308  # no device there
        path.write_text(json.dumps(plant(device={"vendorId": 1, "deviceId": 20})))
        assert proc.stderr.readline() == f"reloaded {path}\n"
        assert port2(place) == 20
        path.write_text("{")
        assert "(still serving the plant as it was)" in proc.stderr.readline()
        assert port2(place) == 20
    finally:
        watchdog.cancel()
        proc.terminate()
        proc.communicate(timeout=10)


def test_reload_needs_an_installation_file():
    r = subprocess.run([*SERVER, "--reload"], capture_output=True, text=True, timeout=30)
    assert r.returncode == 2 and "--reload needs --installation FILE" in r.stderr
