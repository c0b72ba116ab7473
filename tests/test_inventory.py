"""The plant as data (velmora.tools.inventory): the document of one check is
schema-valid and gives the report's texts, hostile text stays inside JSON
strings, the capture leaves the run alone, and --compare finds each kind
of difference; tessadyn-check --json and --compare as commands."""

import copy
import json
import signal
import types

import pytest

from doubles import ident, several_masters
from hostile import Computing, Record
from plants import ip_master, plant, report_texts, valid
from test_cli import CLI, cli, read_until, start
from test_cli_hostile import HOSTILE_DEVICES, assert_clean, hostile_master, masters  # noqa: F401
from test_rest import fresh, serve  # noqa: F401
from velmora.base import sim
from velmora.tools import inventory, report_text
from velmora.tools.inventory import IDENT_NAMES, Capture

OPTIONS = {"address": None, "select": None, "auto": False, "verbose": 2}


def own_texts(calls):
    return [c for c in calls if c and c.startswith(("\nMaster ", "  * Device port "))]


def captured_check(checker, **kwargs):
    calls = []
    with Capture(checker, {**OPTIONS, **kwargs}) as capture:
        checker.check(printFnc=capture.printer(lambda *a: calls.append(a[0] if a else "")),
                      **kwargs)
    return valid(capture.document(completed=True)), calls


# --- the document of one check ------------------------------------------------------

def test_document_of_a_run_gives_its_report(tc, lib):
    document, calls = captured_check(tc, verbose=0)
    assert document["masters"] == []
    several_masters(lib)
    document, calls = captured_check(tc, verbose=0)
    assert report_texts(document) == own_texts(calls)
    assert [m["transport"] for m in document["masters"]] == ["IP", "IP", "USB"]
    # The summary counts the master that could not be connected too.
    assert (document["masterCount"], document["deviceCount"], document["complete"]) == (4, 4, True)
    assert "4 master(s) and 4 device(s) found" in calls


def test_values_are_read_once_so_document_and_report_agree(tc, lib):
    counter = iter(range(1000))
    master = Record(types.SimpleNamespace(
        address="A", vendor="V", productName="P", productCode="C", vendorId=1, deviceId=2,
        _base=None), {"name": lambda: f"n{next(counter)}", "fwVersion": lambda: next(counter)})
    dev = Record(types.SimpleNamespace(portId=1, vendorId=3), {"deviceId": lambda: next(counter)})
    changing = Computing({"serialNumber": lambda: f" s{next(counter)}"}, ident())
    calls = []
    with Capture(tc, OPTIONS) as capture:
        tc._print_master(master, calls.append, False)
        tc._print_dev(dev, changing, calls.append, True)
    document = valid(capture.document(completed=False))
    assert report_texts(document, report_text.PLAIN) == calls
    assert document["complete"] is False


def test_capture_restores_the_module_and_never_raises_into_the_run(tc, lib):
    originals = (tc._print_master, tc._print_dev)
    ip = several_masters(lib).transports["IP"]
    ip.masters[0].devices.append((3, 1, 2, {"vendorName": "no other keys"}))
    with pytest.raises(KeyError, match="productText"):  # the module's own error, as without
        captured_check(tc, verbose=0)
    assert (tc._print_master, tc._print_dev) == originals

    with Capture(tc, OPTIONS) as capture:  # a bridge without a base driver to name its transport
        tc._print_master(types.SimpleNamespace(**dict.fromkeys(inventory.MASTER_NAMES, 0)),
                         print, False)
    assert capture.masters[0].transport is None and not capture.lost
    first = iter([OSError("once")])

    def name():  # fails at the capture's read, not at the module's
        error = next(first, None)
        if error:
            raise error
        return "n"

    master = Record(types.SimpleNamespace(**dict.fromkeys(inventory.MASTER_NAMES, 0)), {"name": name})
    calls = []
    with Capture(tc, OPTIONS) as capture:
        tc._print_master(master, calls.append, False)
        tc._print_dev(types.SimpleNamespace(portId=1, vendorId=1, deviceId=2), None, calls.append, False)
    assert len(calls) == 2 and capture.masters == [] and capture.document(True)["complete"] is False
    bare = types.SimpleNamespace(check=lambda printFnc, **kw: printFnc("banner"))
    document, calls = captured_check(bare)
    assert (calls, document["masters"], document["complete"]) == (["banner"], [], False)


# --- the command ------------------------------------------------------------------------

def json_run(*args, **env):
    r = cli("--json", *args, **env)
    return r, valid(json.loads(r.stdout)) if r.stdout else None


@pytest.mark.parametrize("args", [[], ["--auto"], ["-a", "COM5", "-s", "usb"]])
def test_json_of_the_demo_plant_gives_its_report(args):
    r, document = json_run(*args)
    report = cli(*args).stdout
    assert (r.returncode, r.stderr, document["complete"]) == (0, "", True)
    body = "".join(t + "\n" for t in report_texts(document))
    summary = f"{document['masterCount']} master(s) and {document['deviceCount']} device(s) found"
    assert report.split("\n", 1)[1].startswith(body + "\n" + summary + "\n")
    assert document["options"] == {**OPTIONS, "auto": "--auto" in args,
                                   **({"address": ["COM5"], "select": "usb"} if "-a" in args else {})}


def test_hostile_rest_master_stays_inside_json_strings(masters):  # noqa: F811
    address = masters(hostile_master())
    r = cli("--json", "-a", address)
    assert r.returncode == 0 and r.stdout.isascii()
    assert_clean(r.stdout.encode())
    document = valid(json.loads(r.stdout))
    devices = document["masters"][0]["devices"]
    for device, values in zip(devices, HOSTILE_DEVICES.values()):
        assert device["identification"] == {n: values[n] for n in IDENT_NAMES}
    report = cli("-a", address).stdout
    assert "".join(t + "\n" for t in report_texts(document, report_text.PLAIN)) in report


def test_document_of_a_rest_plant_gives_its_report(tc, serve):  # noqa: F811
    servers = serve()
    document, calls = captured_check(tc, address=list(servers.addresses.values()), auto=True)
    assert report_texts(document) == own_texts(calls) and document["deviceCount"] == 6
    assert sim.open_master_drivers() == []


def test_interrupted_check_says_so(tmp_path):
    path = plant(tmp_path, ip_master("10.0.0.1", devices=2, delay=0.5), ip_master("10.0.0.2"))
    proc, watchdog = start([*CLI, "--json", "-v", "3"], VELMORA_BASE_INSTALLATION=path)
    try:
        read_until(proc.stderr, "10.0.0.1")
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=30)
    finally:
        watchdog.cancel()
    document = valid(json.loads(out))
    assert (proc.returncode, document["complete"]) == (130, False)
    assert "10.0.0.2" not in [m["address"] for m in document["masters"]]


# --- comparing -------------------------------------------------------------------------

@pytest.fixture(scope="module")
def saved():
    return json.loads(cli("--json", "--auto").stdout)


def conveyor(document, port):
    (master,) = [m for m in document["masters"] if m["address"] == "192.168.10.21"]
    return next(d for d in master["devices"] if d["port"] == port)


def set_ident(port, **values):
    return lambda doc: conveyor(doc, port)["identification"].update(values)


@pytest.mark.parametrize("change, kinds", [
    (lambda doc: None, []),
    (lambda doc: doc["masters"].pop(1), ["masterMissing"]),
    (lambda doc: doc["masters"].append({**doc["masters"][0], "address": "10.9.9.9"}), ["masterNew"]),
    (lambda doc: doc["masters"][0]["devices"].pop(0), ["deviceMissing"]),
    (lambda doc: doc["masters"][0]["devices"].append({**conveyor(doc, 1), "port": 5}), ["deviceNew"]),
    (set_ident(1, serialNumber="VM0"), ["deviceReplaced"]),
    (lambda doc: conveyor(doc, 3).update(deviceId=1), ["deviceReplaced"]),
    (set_ident(1, firmwareRevision="1.4.0", hardwareRevision="C"),
     ["firmwareRevisionChanged", "hardwareRevisionChanged"]),
    (set_ident(8, applicationSpecificTag="Sealer jaw left", productText="other"), ["tagChanged"]),
    (lambda doc: conveyor(doc, 1).update(identification=None), []),   # unknown, not different
    (set_ident(2, applicationSpecificTag=None), ["tagChanged"]),      # raw "" is not None
    (set_ident(8, applicationSpecificTag="x\x1b[2J\n\u202e\ud800"), ["tagChanged"]),  # shown safely
    (lambda doc: doc.update(options={**doc["options"], "select": "USB", "address": ["COM5", "X"]},
                            masters=doc["masters"][2:3]), []),       # what -s/-a left out
])
def test_each_kind_of_difference(saved, change, kinds):
    found = copy.deepcopy(saved)
    change(found)
    differences = inventory.compare(saved, found)
    assert [d.kind for d in differences] == kinds
    valid(inventory.differences_document(differences, "x", saved, found), inventory.DIFFERENCES_SCHEMA)
    assert all(line.isprintable() for line in (d.line() for d in differences))


def test_compare_prints_the_differences_and_exits_3(tmp_path):
    (tmp_path / "plant.json").write_text(cli("--json", "--auto").stdout)
    demo = sim.demo_installation()
    identification = demo["masters"][0]["ports"][0]["device"]["identification"]
    identification["serialNumber"] = "VM0"
    del demo["masters"][3]
    swapped = tmp_path / "swapped.json"
    swapped.write_text(json.dumps(demo))
    r = cli("--compare", str(tmp_path / "plant.json"), "--auto", VELMORA_BASE_INSTALLATION=str(swapped))
    assert (r.returncode, r.stderr) == (3, "")
    assert r.stdout == (
        'device replaced: 192.168.10.21 port 1: vid 0x0765, did 0x10a2f3, S/N "VM2311004217" '
        '-> vid 0x0765, did 0x10a2f3, S/N "VM0"\nmaster missing: D4:36:39:8A:10:5C\n')
    r = cli("--compare", str(tmp_path / "plant.json"), "--auto", "--json",
            VELMORA_BASE_INSTALLATION=str(swapped))
    document = valid(json.loads(r.stdout), inventory.DIFFERENCES_SCHEMA)
    assert (r.returncode, document["match"], len(document["differences"])) == (3, False, 2)
    r = cli("--compare", str(tmp_path / "plant.json"), "--auto")
    assert (r.returncode, r.stdout) == (0, "no differences\n")
    r = cli("--compare", str(tmp_path / "plant.json"))
    assert r.stdout.startswith("device missing: 192.168.10.22 port 1 (vid 0x032c, did 0x0803, S/N ")
    assert (r.returncode, r.stderr) == (3, f"tessadyn-check: warning: {tmp_path}/plant.json "
                                           "was saved by a check with --auto\n")


@pytest.mark.parametrize("content, problem", [
    (None, "cannot read the inventory: No such file or directory"),
    (b"\xff", "not an inventory: not UTF-8 text"),
    (b'{"format": 1, "masters": [', "not an inventory: not JSON (Expecting value, line 1)"),
    (b"[]", "not an inventory: not a JSON object"),
    (b'{"format": "1", "masters": []}', 'not an inventory: format "1" (expected 1)'),
    (b'{"format": 1, "masters": [{"address": "a", "devices": [{}]}]}',
     "not an inventory: masters[0].devices[0] has no port"),
])
def test_a_bad_inventory_is_one_error_before_any_master_is_asked(tmp_path, content, problem):
    path = tmp_path / "inv.json"
    if content is not None:
        path.write_bytes(content)
    r = cli("--compare", str(path), "-v", "3")
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == f"tessadyn-check: error: {path}: {problem}\n"

