"""Discovery, the connection policy and the listing of one master."""

import pytest

from doubles import Bridge, Injected, MasterDrv, ident

OFF = {"activatePorts": "off"}


@pytest.fixture
def ip(lib):
    return lib.transport("IP")


@pytest.fixture
def base(ip):
    return ip()


class TestDiscover:
    @pytest.mark.parametrize("address", [None, []])
    def test_search_all_returns_the_drivers_result(self, tc, lib, base, address):
        result = tc._discover(base, address, [])
        assert lib.ops("discover") == [("discover", "IP")] and result == []

    def test_per_address(self, tc, lib, ip, base):
        ip.master("b")
        found = tc._discover(base, ["a", "b", "c", "b"], found=["c"])
        assert [m.address for m in found] == ["b", "b"]
        assert lib.ops("discover") == [("discover", "IP", a) for a in "abb"]

    def test_abort_polled_before_each_address(self, tc, lib, base):
        tc.abort()
        assert tc._discover(base, ["a"], ["a"]) == [] and lib.ops("discover") == []
        tc._discover(base, None, [])
        assert lib.ops("discover") == [("discover", "IP")]


class TestGetMaster:
    def bridge(self, ip, base, **kw):
        return Bridge(base, ip.master("10.0.0.1", **kw))

    def test_active_driver_reused(self, tc, lib, ip, base):
        bridge = self.bridge(ip, base)
        drv = lib.active_masters["10.0.0.1"] = MasterDrv(lib, bridge.spec, "IOL-IP", is_connected=True)
        assert tc._get_master(bridge, OFF, print, 0) is drv
        assert [e[0] for e in lib.log[1:]] == ["checkActiveMasterDriver", "getActiveMasterDriver",
                                                "disableEventChecking", "connected"]

    def test_registered_driver_reused_and_connected(self, tc, lib, ip, base):
        bridge = self.bridge(ip, base)
        drv = lib.registered_masters["10.0.0.1"] = MasterDrv(lib, bridge.spec, "IOL-IP")
        assert tc._get_master(bridge, OFF, print, 0) is drv
        assert [e[0] for e in lib.log[1:]] == ["checkActiveMasterDriver", "checkMasterDriver",
                                                "getMasterDriver", "disableEventChecking",
                                                "connected", "drv.connect"]

    def test_new_connection_with_one_entry_options(self, tc, lib, ip, base):
        drv = tc._get_master(self.bridge(ip, base), OFF, print, 0)
        assert lib.ops("base.connect") == [("base.connect", "10.0.0.1", {"IP": OFF})]
        assert drv.is_connected and lib.log[-1] == ("drv.connect", "10.0.0.1", OFF)

    @pytest.mark.parametrize("error, line", [
        (OSError("refused"), "Error: refused"), (ValueError(5), "Error: 5"),
        (TimeoutError(), "Error: TimeoutError")])
    def test_failure_skips_master(self, tc, ip, base, out, error, line):
        bridge = self.bridge(ip, base, connect_error=error)
        assert tc._get_master(bridge, OFF, out, 0) is None and out.calls == []
        assert tc._get_master(bridge, OFF, out, True) is None and out.calls == [line]

    def test_interrupts_pass_through(self, tc, ip, base, out):
        bridge = self.bridge(ip, base, connect_error=KeyboardInterrupt())
        with pytest.raises(KeyboardInterrupt):
            tc._get_master(bridge, OFF, out, 1)

    def test_manager_failure_propagates(self, tc, lib, ip, base, out):
        lib.fail_at = len(lib.log) + 1
        with pytest.raises(Injected):
            tc._get_master(self.bridge(ip, base), OFF, out, 1)
        assert out.calls == []

    def test_error_line_failure_chains_the_connection_error(self, tc, ip, base):
        def broken(text):
            raise RuntimeError("output")
        bridge = self.bridge(ip, base, connect_error=OSError("refused"))
        with pytest.raises(RuntimeError) as info:
            tc._get_master(bridge, OFF, broken, 1)
        assert isinstance(info.value.__context__, OSError)


class TestListMaster:
    def listing(self, tc, lib, ip, base, out, **kw):
        bridge = Bridge(base, ip.master("10.0.0.1", **kw))
        found = []
        return tc._list_master(bridge, OFF, False, found, out, 0, False), found

    def test_devices_printed_and_counted(self, tc, lib, ip, base, out):
        devices = [(1, 1, 2, ident()), (2, 1, 3, None)]
        count, found = self.listing(tc, lib, ip, base, out, devices=devices)
        assert count == 2 and found == ["10.0.0.1"] and len(out.calls) == 3
        assert lib.ops("getDevices") == [("getDevices", "10.0.0.1", OFF)]
        assert lib.log[-1] == ("disconnect", "10.0.0.1")

    def test_port_scan_stops_at_first_activated(self, tc, lib, ip, base, out):
        self.listing(tc, lib, ip, base, out, ports=[False, True, False])
        assert lib.ops("activated") == [("activated", "10.0.0.1", 0), ("activated", "10.0.0.1", 1)]

    def test_unconnected_master_is_skipped(self, tc, lib, ip, base, out):
        count, found = self.listing(tc, lib, ip, base, out, connect_error=OSError("x"))
        assert (count, found, out.calls) == (0, [], []) and lib.ops("disconnect") == []

    def test_abort_while_first_device_printed(self, tc, lib, ip, base):
        texts = []
        devices = [(p, 1, 2, None) for p in (1, 2, 3)]
        bridge = Bridge(base, ip.master("10.0.0.1", devices=devices))
        count = tc._list_master(bridge, OFF, False, [], lambda t: (texts.append(t), "Device" in t and tc.abort()), 0, 0)
        assert count == 3 and len(texts) == 2 and lib.ops("disconnect") == [("disconnect", "10.0.0.1")]

    @pytest.mark.parametrize("failing, recorded", [
        ("getPortModes", True), ("getDevices", True), ("IoddDev", True)])
    def test_failure_disconnects_then_propagates(self, tc, lib, ip, base, out, failing, recorded):
        bridge = Bridge(base, ip.master("10.0.0.1", devices=[(1, 1, 2, None)]))
        lib.error = Injected(failing)
        lib.fail_at = None
        original = lib.event

        def event(*entry):
            original(*entry)
            if entry[0] == failing:
                raise lib.error
        lib.event = event
        found = []
        with pytest.raises(Injected):
            tc._list_master(bridge, OFF, False, found, out, 0, False)
        assert lib.log[-1] == ("disconnect", "10.0.0.1") and (found == ["10.0.0.1"]) == recorded

    def test_print_master_failure_leaves_found_alone(self, tc, lib, ip, base):
        def broken(text):
            raise OSError("closed")
        bridge = Bridge(base, ip.master("10.0.0.1"))
        found = []
        with pytest.raises(OSError):
            tc._list_master(bridge, OFF, False, found, broken, 0, False)
        assert found == [] and lib.log[-1] == ("disconnect", "10.0.0.1")

    def test_failing_disconnect_replaces_the_error_and_chains_it(self, tc, lib, ip, base, out,
                                                                  monkeypatch):
        bridge = Bridge(base, ip.master("10.0.0.1", devices=[(1,)]))
        def disconnect(self):
            raise OSError("link lost")
        monkeypatch.setattr(MasterDrv, "disconnect", disconnect)
        with pytest.raises(OSError) as info:
            tc._list_master(bridge, OFF, False, [], out, 0, False)
        assert isinstance(info.value.__context__, TypeError)

    def test_bad_table_entry(self, tc, lib, ip, base, out):
        bridge = Bridge(base, ip.master("10.0.0.1", devices=[(1, 1, 2, None), 7]))
        with pytest.raises(TypeError, match=r"IoddDev\(\) argument after \* must be an iterable, not int"):
            tc._list_master(bridge, OFF, False, [], out, 0, False)
        assert len(out.calls) == 2 and lib.log[-1][0] == "disconnect"
