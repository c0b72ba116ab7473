"""Tests of the velmora.base stand-in (standin/): the driver objects the
checker relies on, the demo installation, the installation file loader and
the test hooks."""

import json
import subprocess
import sys
import time

import pytest

import velmora.base
from velmora.base import IoddUtility, sim
from velmora.base._IoddDrv import IoddBaseDriver, IoddError, IoddMasterDriver, driverlist
from velmora.base.IoddUtility import IoddDev

MANAGER = IoddBaseDriver.commonDrivers
AUTO = {"activatePorts": "auto"}
OFF = {"activatePorts": "off"}
IDENT_NAMES = [
    "vendorName", "vendorText", "productName", "productId", "productText",
    "serialNumber", "hardwareRevision", "firmwareRevision", "applicationSpecificTag",
]


@pytest.fixture(autouse=True)
def fresh(monkeypatch):
    monkeypatch.delenv(sim.ENV_VAR, raising=False)
    sim.use_installation(None)
    yield
    sim.use_installation(None)
    IoddUtility.CommonDriverManager.iodd = None


def base_type(transport):
    return {e.driverName().rsplit("-", 1)[1]: e.getBaseDriverType() for e in driverlist}[transport]


def master(transport="IP", address="192.168.0.30", ports=None, **extra):
    ports = [{"mode": "IOLINK", "device": {"vendorId": 1, "deviceId": 2}}] if ports is None else ports
    return {"transport": transport, "address": address, "ports": ports, **extra}


def connect(transport, address, opt=OFF):
    base = base_type(transport)()
    bridge = base.discover(address)
    assert bridge is not None
    return base, base.connect(bridge, {base.driverName(): opt})


def write(tmp_path, text, name="plant.json"):
    path = tmp_path / name
    path.write_text(text if isinstance(text, str) else json.dumps(text, indent=2))
    return path


def load_error(doc):
    with pytest.raises(sim.InstallationError) as info:
        sim.load_installation(doc)
    return str(info.value)


# ---------------------------------------------------------------- package


def test_package_init_does_not_import_the_driver_modules():
    code = (
        "import sys, velmora.base as b; "
        "print(b.__version__, any(m.startswith('velmora.base.') and m != 'velmora.base._netguard' for m in sys.modules))"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["0.9.0", "False"]


def test_velmora_is_a_namespace_package():
    assert velmora.base.__version__ == "0.9.0"
    assert getattr(sys.modules["velmora"], "__file__", None) is None


# ---------------------------------------------------------------- driver list


def test_driverlist_order_and_names():
    suffixes = ["IOL-IP", "IOL-USB", "IOL-BLE", "IOL-SIM"]
    assert len(driverlist) == 4
    assert all(e.driverName().endswith(s) for e, s in zip(driverlist, suffixes))
    assert [e.getBaseDriverType().driverName() for e in driverlist] == ["IP", "USB", "BLE", "Sim"]


def test_exist_reports_transport_availability():
    for entry in driverlist:
        assert entry.getBaseDriverType().exist()[0]
    sim.use_installation({"transports": {"BLE": {"available": False}}, "masters": []})
    ok, reason = base_type("BLE").exist()
    assert not ok and reason == "no BLE adapter"
    assert base_type("IP").exist() == (True, "")
    with pytest.raises(IoddError, match="BLE: transport not available: no BLE adapter"):
        base_type("BLE")()


def test_ident_names():
    assert list(IoddMasterDriver._identNames) == IDENT_NAMES


def test_sim_transport_finds_nothing():
    base = driverlist[3].getBaseDriverType()()
    assert base.driverName() == "Sim"
    assert base.discover() == []
    base.close()


# ---------------------------------------------------------------- driver manager


def test_base_driver_registration_follows_create_and_close():
    ip = base_type("IP")
    assert not MANAGER.checkBaseDriverActive(ip)
    assert MANAGER.getBaseDriver(ip) is None
    first = ip()
    assert MANAGER.checkBaseDriverActive(ip) and MANAGER.getBaseDriver(ip) is first
    assert not MANAGER.checkBaseDriverActive(base_type("USB"))
    second = ip()
    assert MANAGER.getBaseDriver(ip) is second
    first.close()  # the older one must not unregister the newer
    assert MANAGER.getBaseDriver(ip) is second
    second.close()
    assert not MANAGER.checkBaseDriverActive(ip)
    with pytest.raises(IoddError, match="closed"):
        second.discover()


def test_master_driver_registration_and_activity():
    base, md = connect("IP", "192.168.10.21")
    assert md.driverName() == "IOL-IP" and md.connected()
    assert MANAGER.checkActiveMasterDriver("192.168.10.21")
    assert MANAGER.getActiveMasterDriver("192.168.10.21") is md
    md.disconnect()
    assert not md.connected()
    assert not MANAGER.checkActiveMasterDriver("192.168.10.21")
    assert MANAGER.checkMasterDriver("192.168.10.21") and MANAGER.getMasterDriver("192.168.10.21") is md
    md.connect(OFF)  # a registered driver can be reconnected
    assert MANAGER.checkActiveMasterDriver("192.168.10.21")
    md.disconnect()
    base.close()
    assert not MANAGER.checkMasterDriver("192.168.10.99")


def test_installation_can_preload_manager_drivers():
    sim.use_installation({
        "transports": {"IP": {"activeBaseDriver": True}},
        "masters": [
            master(address="192.168.0.1", managerDriver="active"),
            master(address="192.168.0.2", managerDriver="registered"),
            master(address="192.168.0.3"),
        ],
    })
    held = MANAGER.getBaseDriver(base_type("IP"))
    assert held is not None
    active = MANAGER.getActiveMasterDriver("192.168.0.1")
    assert active is not None and active.getDevices(options=OFF) == [(1, 1, 2, None)]
    assert MANAGER.checkMasterDriver("192.168.0.2") and not MANAGER.checkActiveMasterDriver("192.168.0.2")
    assert not MANAGER.checkMasterDriver("192.168.0.3")
    with pytest.raises(IoddError, match="not connected"):
        MANAGER.getMasterDriver("192.168.0.2").getDevices(options=OFF)
    # Preloaded drivers are not the caller's to clean up ...
    assert sim.open_base_drivers() == [] and sim.open_master_drivers() == []
    # ... until the caller connects one.
    registered = MANAGER.getMasterDriver("192.168.0.2")
    registered.connect(OFF)
    assert sim.open_master_drivers() == [registered]
    registered.disconnect()
    sim.reset()
    assert MANAGER.getBaseDriver(base_type("IP")) is not held
    assert MANAGER.checkActiveMasterDriver("192.168.0.1")


# ---------------------------------------------------------------- discovery


def test_discover_all_and_by_address():
    sim.use_installation({"masters": [
        master(address="192.168.0.1"),
        master(address="192.168.0.2", present=False),
        master(address="192.168.0.3"),
        master("USB", "COM3"),
    ]})
    base = base_type("IP")()
    assert [b.address for b in base.discover()] == ["192.168.0.1", "192.168.0.3"]
    assert base.discover("192.168.0.3").address == "192.168.0.3"
    assert base.discover("192.168.0.2") is None  # not answering
    assert base.discover("COM3") is None  # another transport's master
    base.close()


def test_bridge_attributes():
    sim.use_installation({"masters": [
        master(address="192.168.0.1", identity={
            "vendorId": 0x1234, "deviceId": 0x123456, "name": "n", "fwVersion": None,
            "vendor": "", "productName": "P", "productCode": "unknown"}),
        master(address="192.168.0.2", supported=False),
    ]})
    base = base_type("IP")()
    one, two = base.discover()
    assert (one.vendorId, one.deviceId, one.name, one.fwVersion, one.vendor, one.productName, one.productCode) == (
        0x1234, 0x123456, "n", None, "", "P", "unknown")
    assert one._base is base and one._master.driverName().endswith("-IP")
    assert one._master.getBaseDriverType() is base_type("IP")
    assert two._master is None and (two.vendorId, two.productName) == (0, None)
    with pytest.raises(IoddError, match="192.168.0.2: no master driver"):
        base.connect(two, {"IP": OFF})
    base.close()


def test_same_address_on_two_transports():
    sim.use_installation({"masters": [master("USB", "X1"), master("BLE", "X1", ports=[])]})
    usb, ble = base_type("USB")(), base_type("BLE")()
    assert usb.discover("X1")._master.driverName() == "IOL-USB"
    assert ble.discover("X1")._master.driverName() == "IOL-BLE"
    usb.close(), ble.close()


# ---------------------------------------------------------------- connect


def test_connect_validates_driver_options():
    base = base_type("IP")()
    bridge = base.discover("192.168.10.21")
    for bad in (OFF, {"USB": OFF}, {"IP": OFF, "USB": OFF}, {"IP": {"activatePorts": "on"}}, {"IP": {"activate": "off"}}):
        with pytest.raises((ValueError, TypeError)):
            base.connect(bridge, bad)
    usb = base_type("USB")()
    with pytest.raises(ValueError, match="discovered by the IP base driver"):
        usb.connect(bridge, {"USB": OFF})
    usb.close(), base.close()
    assert sim.open_master_drivers() == []


def test_refused_connection():
    sim.use_installation({"masters": [master(fault="refuse")]})
    base = base_type("IP")()
    with pytest.raises(IoddError, match=r"^Master 192\.168\.0\.30: connection refused$"):
        base.connect(base.discover("192.168.0.30"), {"IP": OFF})
    assert not MANAGER.checkMasterDriver("192.168.0.30")
    [event] = sim.events("base-connect")
    assert event.detail["ok"] is False and "refused" in event.detail["error"]
    base.close()


def test_fail_after_connect():
    sim.use_installation({"masters": [master(fault="fail-after-connect")]})
    base, md = connect("IP", "192.168.0.30")
    assert MANAGER.checkMasterDriver("192.168.0.30") and not md.connected()
    assert not MANAGER.checkActiveMasterDriver("192.168.0.30")
    with pytest.raises(IoddError, match="connection lost"):
        md.getDevices(options=OFF)
    with pytest.raises(IoddError, match="connection lost right after connect"):
        md.connect(OFF)
    assert sim.open_master_drivers() == []
    md.disconnect()
    base.close()


def test_fail_get_devices():
    sim.use_installation({"masters": [master(fault="fail-get-devices")]})
    base, md = connect("IP", "192.168.0.30")
    assert len(md.getPortModes()) == 1
    with pytest.raises(IoddError, match="while reading the device table"):
        md.getDevices(options=OFF)
    assert not md.connected()
    assert sim.open_master_drivers() == [md]
    md.disconnect()
    assert sim.open_master_drivers() == []
    md.connect(OFF)  # the link comes back on reconnect
    assert md.connected() and len(md.getPortModes()) == 1
    md.disconnect()
    base.close()


def test_delay_slows_connect_and_get_devices():
    sim.use_installation({"masters": [master(delay=0.15)]})
    base = base_type("IP")()
    bridge = base.discover("192.168.0.30")
    start = time.monotonic()
    md = base.connect(bridge, {"IP": OFF})
    assert time.monotonic() - start >= 0.15
    start = time.monotonic()
    md.getDevices(options=OFF)
    assert time.monotonic() - start >= 0.15
    md.disconnect(), base.close()


# ---------------------------------------------------------------- ports and devices


ALL_DEACTIVATED = [
    {"mode": "DEACTIVATED", "device": {"vendorId": 5, "deviceId": 6}},
    {"mode": "DEACTIVATED"},
]


def test_auto_activates_a_master_whose_ports_are_all_deactivated():
    sim.use_installation({"masters": [master(ports=ALL_DEACTIVATED)]})
    base, md = connect("IP", "192.168.0.30", AUTO)
    assert [p.activated() for p in md.getPortModes()] == [False, False]
    assert md.getDevices(options=AUTO) == [(1, 5, 6, None)]
    assert [p.activated() for p in md.getPortModes()] == [True, True]
    assert sim.port_modes("192.168.0.30") == ["IOLINK", "IOLINK"]
    [event] = sim.events("ports-activated")
    assert event.detail["ports"] == [1, 2]
    md.disconnect(), base.close()
    # The change persists in the installation for the rest of the process ...
    base, md = connect("IP", "192.168.0.30")
    assert md.getDevices(options=OFF) == [(1, 5, 6, None)]
    md.disconnect(), base.close()
    # ... until reset.
    sim.reset()
    assert sim.port_modes("192.168.0.30") == ["DEACTIVATED", "DEACTIVATED"]


def test_off_never_changes_anything():
    sim.use_installation({"masters": [master(ports=ALL_DEACTIVATED)]})
    base, md = connect("IP", "192.168.0.30")
    assert md.getDevices(options=OFF) == []
    assert md.getDevices() == []  # no options counts as "off"
    assert sim.port_modes("192.168.0.30") == ["DEACTIVATED", "DEACTIVATED"]
    assert sim.counts()["ports-activated"] == 0
    md.disconnect(), base.close()


def test_auto_leaves_partly_activated_masters_alone():
    ports = [{"mode": "DEACTIVATED", "device": {"vendorId": 5, "deviceId": 6}}, {"mode": "DI"}]
    sim.use_installation({"masters": [master(ports=ports)]})
    base, md = connect("IP", "192.168.0.30")
    assert md.getDevices(options=AUTO) == []
    assert sim.port_modes("192.168.0.30") == ["DEACTIVATED", "DI"]
    md.disconnect(), base.close()


def test_only_iolink_ports_report_devices():
    dev = {"vendorId": 7, "deviceId": 8}
    ports = [{"mode": m, "device": dev} for m in ("DI", "DO", "DEACTIVATED", "IOLINK")] + [{"mode": "IOLINK"}]
    sim.use_installation({"masters": [master(ports=ports)]})
    base, md = connect("IP", "192.168.0.30")
    assert md.getDevices(options=AUTO) == [(4, 7, 8, None)]
    md.disconnect(), base.close()


def test_device_entries_fit_ioddev_and_identification_is_complete():
    ident = {"vendorName": "V", "serialNumber": "  "}
    sim.use_installation({"masters": [master(ports=[
        {"mode": "IOLINK", "device": {"vendorId": 1, "deviceId": 0x10000, "identification": ident}}])]})
    base, md = connect("IP", "192.168.0.30")
    [entry] = md.getDevices(options=OFF)
    dev = IoddDev(*entry)
    assert (dev.portId, dev.vendorId, dev.deviceId) == (1, 1, 0x10000)
    assert list(dev.deviceIdentifier) == IDENT_NAMES
    assert dev.deviceIdentifier["serialNumber"] == "  " and dev.deviceIdentifier["productName"] is None
    dev.deviceIdentifier["vendorName"] = "changed"  # callers get copies
    assert md.getDevices(options=OFF)[0][3]["vendorName"] == "V"
    md.disconnect(), base.close()


def test_ioddev_signature():
    assert IoddDev(1, 2, 3).deviceIdentifier is None
    with pytest.raises(TypeError):
        IoddDev(1, 2)
    with pytest.raises(TypeError):
        IoddDev(1, 2, 3, None, 5)


def test_master_driver_requires_a_session():
    base, md = connect("IP", "192.168.10.21")
    md.disableEventChecking()
    md.disconnect()
    md.disconnect()  # twice is harmless
    for call in (md.getPortModes, lambda: md.getDevices(options=OFF)):
        with pytest.raises(IoddError, match="not connected"):
            call()
    assert sim.counts()["master-disconnect"] == 1
    base.close()


# ---------------------------------------------------------------- demo installation


def demo_run(opt):
    """Connect every master of the demo; {(transport, address): (bridge, entries)}."""
    found = {}
    for entry in driverlist[:3]:
        base = entry.getBaseDriverType()()
        for bridge in base.discover():
            md = base.connect(bridge, {base.driverName(): opt})
            found[base.driverName(), bridge.address] = (bridge, md.getDevices(options=opt))
            md.disconnect()
        base.close()
    return found


def test_demo_installation_shape():
    found = demo_run(AUTO)
    assert sorted(t for t, _ in found) == ["BLE", "IP", "IP", "USB"]
    assert sim.open_base_drivers() == [] and sim.open_master_drivers() == []
    # one IP master has all ports deactivated, with devices that "auto" brings up
    [(transport, address)] = [(e.transport, e.address) for e in sim.events("ports-activated")]
    assert transport == "IP" and found["IP", address][1]
    # a typical USB master
    [(usb, _)] = [v for (t, _), v in found.items() if t == "USB"]
    assert (usb.vendor, usb.vendorId, usb.fwVersion, usb.productCode) == ("unknown", 0, None, usb.productName)
    # a master whose product name starts with its vendor name
    assert any(b.vendor and b.productName.startswith(b.vendor) for b, _ in found.values())
    idents = [e[3] for _, entries in found.values() for e in entries]
    assert None in idents
    assert any(i and all(v and v.strip() == v for v in i.values()) for i in idents)  # complete
    assert any(i and any(v is None or not v.strip() for v in i.values()) for i in idents)  # partial
    assert any(i and any(v and v != v.strip() for v in i.values()) for i in idents)  # white space
    ids = [x for _, entries in found.values() for e in entries for x in e[1:3]]
    assert max(ids) > 0xFFFF
    inst = sim.installation()
    assert any(p.mode == "DI" and p.device for m in inst.masters for p in m.ports)


def test_demo_without_auto_hides_the_deactivated_masters_devices():
    off, auto = demo_run(OFF), None
    sim.reset()
    auto = demo_run(AUTO)
    diff = [k for k in auto if auto[k][1] != off[k][1]]
    assert len(diff) == 1 and off[diff[0]][1] == []


def test_demo_document_is_a_valid_copy():
    doc = sim.demo_installation()
    doc["masters"].pop()
    assert len(sim.load_installation(doc).masters) == len(sim.installation().masters) - 1


# ---------------------------------------------------------------- installation files


def test_json_syntax_error_names_file_line_and_column(tmp_path):
    path = write(tmp_path, '{\n  "masters": [\n    {"transport": "IP"\n     "address": "x"}\n  ]\n}\n')
    with pytest.raises(sim.InstallationError) as info:
        sim.load_installation(path)
    assert str(info.value) == f"{path}: line 4, column 6: Expecting ',' delimiter"
    assert isinstance(info.value, IoddError) and isinstance(info.value, ValueError)


def test_unreadable_file(tmp_path):
    with pytest.raises(sim.InstallationError, match=r"missing\.json: cannot read the file"):
        sim.load_installation(tmp_path / "missing.json")


def test_schema_error_names_file_and_path(tmp_path):
    doc = {"masters": [master(), master(address="b"), master(address="c", ports=[{"mode": "FOO"}])]}
    path = write(tmp_path, doc)
    with pytest.raises(sim.InstallationError) as info:
        sim.load_installation(path)
    assert str(info.value) == (
        f"{path}: masters[2].ports[0].mode: unknown mode 'FOO' (expected IOLINK, DI, DO or DEACTIVATED)"
    )


@pytest.mark.parametrize("doc, expected", [
    ({}, "top level: missing required key 'masters'"),
    ({"masters": {}}, "masters: expected an array, got an object"),
    ({"masters": [master(adress="x")]}, "masters[0]: unknown key 'adress' (did you mean 'address'?"),
    ({"masters": [master(delay="2")]}, "masters[0].delay: expected a number of seconds, got a string '2'"),
    ({"masters": [master(delay=-1)]}, "masters[0].delay: -1 is out of range"),
    ({"masters": [master(present="yes")]}, "masters[0].present: expected true or false, got a string 'yes'"),
    ({"masters": [master(transport="CAN")]}, "masters[0].transport: unknown transport 'CAN'"),
    ({"masters": [master(address="  ")]}, "masters[0].address: must not be empty"),
    ({"masters": [master(fault="sometimes")]}, "masters[0].fault: unknown fault 'sometimes'"),
    ({"masters": [master(identity={"vendorId": True})]}, "masters[0].identity.vendorId: expected an integer, got a boolean"),
    ({"masters": [master(identity={"name": 5})]}, "masters[0].identity.name: expected a string or null, got an integer 5"),
    ({"masters": [{"transport": "IP", "ports": []}]}, "masters[0]: missing required key 'address'"),
    ({"masters": [master(ports=[{"mode": "IOLINK", "device": {"vendorId": 1}}])]},
     "masters[0].ports[0].device: missing required key 'deviceId'"),
    ({"masters": [master(ports=[{"mode": "IOLINK", "device": {"vendorId": -1, "deviceId": 1}}])]},
     "masters[0].ports[0].device.vendorId: -1 is out of range"),
    ({"masters": [master(ports=[{"mode": "IOLINK", "device": {"vendorId": 1, "deviceId": 1,
                                                           "identification": {"serial": "x"}}}])]},
     "masters[0].ports[0].device.identification: unknown key 'serial'"),
    ({"masters": [master(ports=[{"mode": "IOLINK", "device": {"vendorId": 1, "deviceId": 1,
                                                           "identification": {"vendorName": 3}}}])]},
     "masters[0].ports[0].device.identification.vendorName: expected a string or null"),
    ({"masters": [master(), master()]},
     "masters[1].address: duplicate address '192.168.0.30' on transport IP (already used by masters[0])"),
    ({"transports": {"WIFI": {}}, "masters": []}, "transports: unknown key 'WIFI'"),
    ({"transports": {"BLE": {"available": False, "activeBaseDriver": True}}, "masters": []},
     "transports.BLE.activeBaseDriver: an unavailable transport cannot have an active base driver"),
    ({"masters": [master(supported=False, managerDriver="active")]}, "masters[0].managerDriver: the driver manager cannot"),
    ({"masters": [], "rest": {"host": []}}, "rest: unknown key 'host' (did you mean 'hosts'?"),
    ({"masters": [], "rest": {"hosts": "10.0.0.5"}}, "rest.hosts: expected an array, got a string '10.0.0.5'"),
    ({"masters": [], "rest": {"hosts": ["10.0.0.5", 80]}}, "rest.hosts[1]: expected a string, got an integer 80"),
    ({"masters": [], "rest": {"hosts": ["10.0.0.5:80", "10.0.0.5:80"]}}, "rest.hosts[1]: duplicate host '10.0.0.5:80'"),
    ({"masters": [], "rest": {"readTimeout": 0}}, "rest.readTimeout: 0 is out of range"),
    ({"masters": [], "rest": {"connectTimeout": "1"}}, "rest.connectTimeout: expected a number of seconds, got a string '1'"),
    ({"masters": [master(events={})]}, "masters[0].events: expected an array, got an object"),
    ({"masters": [master(events=[{"severity": "FATAL", "text": "x"}])]}, "masters[0].events[0].severity: unknown severity"),
    ({"masters": [master(events=[{"severity": "ERROR", "text": "x", "code": 65536}])]},
     "masters[0].events[0].code: expected an integer in 0..65535, got an integer 65536"),
    ({"masters": [master(ports=[{"mode": "IOLINK", "device": {"vendorId": 1, "deviceId": 1, "events": [
        {"severity": "ERROR", "text": "x", "mode": "OFTEN"}]}}])]}, "masters[0].ports[0].device.events[0].mode: unknown mode"),
    ({"masters": [master(ports=[{"mode": "IOLINK", "communication": {"transmissionRate": "COM4"}}])]},
     "masters[0].ports[0].communication.transmissionRate: unknown transmission rate 'COM4'"),
    ({"masters": [master(ports=[{"mode": "IOLINK", "communication": {"cycleTime": 0}}])]},
     "masters[0].ports[0].communication.cycleTime: expected milliseconds"),
])
def test_validation_errors(doc, expected):
    message = load_error(doc)
    assert message.startswith("<installation dict>: ")
    assert expected in message


def test_top_level_must_be_an_object(tmp_path):
    path = write(tmp_path, "[]")
    with pytest.raises(sim.InstallationError, match=r": top level: expected an object, got an array$"):
        sim.load_installation(path)


def test_duplicate_json_key_is_rejected(tmp_path):
    path = write(tmp_path, '{"masters": [{"transport": "IP", "address": "a", "address": "b", "ports": []}]}')
    with pytest.raises(sim.InstallationError, match=r"masters\[0\]: duplicate key 'address'"):
        sim.load_installation(path)


def test_minimal_master_gets_defaults():
    [m] = sim.load_installation({"masters": [master(ports=[{"mode": "IOLINK", "device": {
        "vendorId": 1, "deviceId": 2, "identification": {"productName": "P"}}}])]}).masters
    assert (m.present, m.supported, m.fault, m.delay, m.manager_driver) == (True, True, "none", 0.0, "none")
    assert m.identity == {"vendorId": 0, "deviceId": 0, "name": None, "fwVersion": None, "vendor": None,
                          "productName": None, "productCode": None}
    assert m.ports[0].device.identification == {n: ("P" if n == "productName" else None) for n in IDENT_NAMES}


def test_env_var_replaces_demo_lazily(tmp_path, monkeypatch):
    path = write(tmp_path, {"masters": [master("USB", "/dev/ttyUSB0")]})
    monkeypatch.setenv(sim.ENV_VAR, str(path))
    sim.use_installation(None)
    assert sim.installation().source == str(path)
    base = base_type("USB")()
    assert [b.address for b in base.discover()] == ["/dev/ttyUSB0"]
    base.close()


def test_malformed_env_file_fails_at_first_use_not_at_import(tmp_path, monkeypatch):
    path = write(tmp_path, '{"masters": [}')
    monkeypatch.setenv(sim.ENV_VAR, str(path))
    code = "import velmora.base._IoddDrv, velmora.base.sim; print('imported')"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.stdout.strip() == "imported"
    sim.use_installation(None)
    with pytest.raises(sim.InstallationError, match=rf"^{path}: line 1, column 14: Expecting value$"):
        base_type("IP").exist()
    with pytest.raises(sim.InstallationError):  # every use fails the same way, not just the first
        MANAGER.checkBaseDriverActive(base_type("IP"))


# ---------------------------------------------------------------- test hooks


def test_event_log_and_options_received():
    base, md = connect("IP", "192.168.10.22", AUTO)
    md.connect(AUTO)
    md.getDevices(options=AUTO)
    md.disconnect()
    base.close()
    assert sim.options_received("192.168.10.22") == [
        ("base-connect", {"IP": AUTO}), ("master-connect", AUTO), ("get-devices", AUTO)]
    c = sim.counts()
    assert (c["base-created"], c["base-closed"], c["base-connect"], c["master-disconnect"]) == (1, 1, 1, 1)
    sim.reset()
    assert sim.events() == [] and sim.port_modes("192.168.10.22") == ["DEACTIVATED"] * 4


def test_open_driver_tracking():
    base, md = connect("USB", "COM5")
    assert sim.open_base_drivers() == [base] and sim.open_master_drivers() == [md]
    md.disconnect()
    base.close()
    assert sim.open_base_drivers() == [] and sim.open_master_drivers() == []


def test_reset_forgets_registrations():
    base, md = connect("USB", "COM5")
    sim.reset()
    assert not MANAGER.checkBaseDriverActive(base_type("USB")) and not MANAGER.checkMasterDriver("COM5")
    assert sim.open_base_drivers() == [] and sim.open_master_drivers() == []


def test_use_installation_validates_at_once():
    with pytest.raises(sim.InstallationError):
        sim.use_installation({"masters": [{"transport": "IP"}]})


# ---------------------------------------------------------------- IoddUtility


def test_logger_levels(capsys):
    for verbose, shown in ((0, []), (1, []), (2, ["WARNING", "ERROR"]), (3, ["DEBUG", "INFO", "WARNING", "ERROR"])):
        log = IoddUtility.Logger(verbose)
        assert log.verbose == verbose
        log.debug("d"), log.info("i"), log.warning("w"), log.error("e")
        captured = capsys.readouterr()
        assert captured.out == ""
        assert [line.split(":")[0] for line in captured.err.splitlines()] == shown


def test_drivers_log_through_the_application_logger(capsys):
    assert IoddUtility.CommonDriverManager.iodd is None
    base_type("IP")().close()
    assert capsys.readouterr().err == ""

    class App:
        _logger = IoddUtility.Logger(3)
        _getIndexVar = None

    IoddUtility.CommonDriverManager.iodd = App()
    base_type("IP")().close()
    assert "DEBUG: velmora.base: IP base driver opened" in capsys.readouterr().err
