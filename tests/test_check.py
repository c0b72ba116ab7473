"""A check run: run state, banner, selection, configuration, the walk over
drivers and masters, clean-up and the summary lines."""

import sys

import pytest

from doubles import Injected, ident

BANNER = "Velmora Tessadyn Checker 1.9.2: searching masters and devices"
CLOSING = "Visit https://www.velmora.com for more informations"
HINT = ("Hint: All ports are inactive. Consider using --auto to activate ports. Use with caution\n"
        "      in productive systems!")


@pytest.fixture
def plant(lib, tc):
    """IP with two masters (one with a device), USB with one, BLE unusable,
    and the simulator; base version equal to ours."""
    tc.__baseversion__ = tc.__version__
    ip = lib.transport("IP")
    ip.master("10.0.0.1", devices=[(1, 291, 418, ident())])
    ip.master("10.0.0.2", ports=[False, False])
    lib.transport("USB").master("COM5", devices=[(1, 1, 2, None)])
    lib.transport("BLE", usable=False)
    lib.transport("SIM", base_name="Sim")
    return lib


def lines(out):
    return [c for c in out.calls if c is None or not c.startswith(("\n", "  * ", "[color"))]


class TestRunState:
    def test_flags_around_a_normal_run(self, tc, plant, out):
        seen = []
        tc.abort()
        assert tc._state.abort is True and tc.isRunning() is False
        tc.check(printFnc=lambda *a: seen.append(tc.isRunning()))
        assert set(seen) == {True}
        assert tc.isRunning() is False and tc._state.abort is False

    @pytest.mark.parametrize("verbose", [10, 10.5, 99])
    def test_invalid_verbosity_changes_nothing(self, tc, plant, out, verbose):
        tc._state.abort = "sentinel"
        with pytest.raises(ValueError, match="^Invalid verbosity$"):
            tc.check(printFnc=out, verbose=verbose)
        assert out.calls == [] and plant.log == []
        assert tc._state.abort == "sentinel" and tc._state.isRuning is False

    def test_incomparable_verbosity_is_a_type_error(self, tc, plant, out):
        with pytest.raises(TypeError):
            tc.check(printFnc=out, verbose="3")
        assert out.calls == [] and tc._state.isRuning is False

    @pytest.mark.parametrize("verbose", [9, 0, -1])
    def test_accepted_verbosity(self, tc, plant, out, verbose):
        tc.check(printFnc=out, verbose=verbose)
        assert out.calls[-1] == CLOSING

    def test_exception_resets_running_and_closes_base(self, tc, plant, out):
        plant.transports["IP"].masters[0].devices = [(1,)]   # IoddDev() needs more
        with pytest.raises(TypeError):
            tc.check(printFnc=out)
        assert tc.isRunning() is False
        assert [b.closed for b in plant.bases] == [1]
        assert plant.master_drivers[0].disconnects == 1

    def test_missing_state_is_a_name_error(self, tc):
        del tc._state
        for func in (tc.abort, tc.isRunning):
            with pytest.raises(NameError, match="name '_state' is not defined"):
                func()

    def test_control_functions_take_no_arguments(self, tc):
        with pytest.raises(TypeError):
            tc.abort(1)
        with pytest.raises(TypeError):
            tc.isRunning(x=1)
        assert tc._state.abort is False


class TestOutput:
    def test_complete_run(self, tc, plant, out):
        tc.check(printFnc=out)
        assert lines(out) == [BANNER + "...", None, "3 master(s) and 2 device(s) found", CLOSING]
        assert out.calls[1].startswith("\nMaster 10.0.0.1 (Line 3)")

    def test_masters_without_devices_get_the_hint_even_with_auto(self, tc, plant, out):
        plant.transports["IP"].masters[0].devices = []
        plant.transports["USB"].masters[0].devices = []
        tc.check(printFnc=out, auto=True)
        assert lines(out)[1:] == [None, "3 master(s) and 0 device(s) found", HINT, CLOSING]

    def test_nothing_found(self, tc, lib, out):
        tc.__baseversion__ = tc.__version__
        lib.transport("IP")
        tc.check(printFnc=out)
        assert out.calls == [BANNER + "...", "0 master(s) and 0 device(s) found", CLOSING]

    @pytest.mark.parametrize("address, part", [
        ("192.0.2.10", " at 192.0.2.10"), (["a"], " at a"), (["a", "b"], " at specified addresses"),
        ([], ""), ("", ""), (None, "")])
    def test_banner_address_part(self, tc, plant, out, address, part):
        tc.check(address, printFnc=out)
        assert out.calls[0] == BANNER + part + "..."

    @pytest.mark.parametrize("base, shown", [
        ("0.9.0", " (base 0.9.0)"), (7, " (base 7)"), ("", ""), (None, ""), ("1.9.2", "")])
    def test_banner_base_version(self, tc, plant, out, base, shown):
        tc.__baseversion__ = base
        tc.check(printFnc=out)
        assert out.calls[0] == f"Velmora Tessadyn Checker 1.9.2{shown}: searching masters and devices..."

    def test_single_address_must_be_text(self, tc, plant, out):
        with pytest.raises(TypeError):
            tc.check(5, printFnc=out)
        assert out.calls == [] and tc.isRunning() is False

    def test_print_without_argument_is_required(self, tc, plant):
        texts = []
        with pytest.raises(TypeError):
            tc.check(printFnc=texts.append)
        assert texts[-1].startswith("  * Device port 1") and tc.isRunning() is False

    def test_default_output_is_print_fetched_at_load(self, tc, plant, capsys, monkeypatch):
        import builtins
        monkeypatch.setattr(builtins, "print", lambda *a: pytest.fail("rebound print used"))
        tc.check()
        assert capsys.readouterr().out.endswith(CLOSING + "\n")


class TestSelection:
    @pytest.mark.parametrize("select, used", [
        ("ETH", ["IP"]), ("Ethernet", ["IP"]), ("usb", ["USB"]), ("BLE", []),
        ("WiFi", ["IP", "USB"]), ("", ["IP", "USB"]), (None, ["IP", "USB"])])
    def test_suffixes(self, tc, plant, out, select, used):
        tc.check(printFnc=out, select=select)
        assert [e[1] for e in plant.ops("discover")] == used

    def test_select_without_lower_fails_after_banner(self, tc, plant, out):
        with pytest.raises(AttributeError):
            tc.check(printFnc=out, select=5)
        assert out.calls == [BANNER + "..."] and tc.isRunning() is False

    def test_unusable_and_simulator_types_never_used(self, tc, plant, out):
        tc.check(printFnc=out)
        assert ("type.driverName", "BLE") not in plant.log
        assert ("type.driverName", "SIM") in plant.log
        assert [e[1] for e in plant.ops("newBase")] == ["IP", "USB"]


class TestConfiguration:
    def test_set_once_with_first_verbosity(self, tc, plant, out):
        tc.check(printFnc=out, verbose=3)
        iodd = plant.utility.CommonDriverManager.iodd
        tc.check(printFnc=out, verbose=1)
        assert plant.utility.CommonDriverManager.iodd is iodd
        assert plant.ops("Logger") == [("Logger", 3)]
        assert iodd._logger.verbose == 3

    def test_index_names(self, tc, plant, out):
        tc.check(printFnc=out)
        index = plant.utility.CommonDriverManager.iodd._getIndexVar
        assert index(16) == "vendorName" and index(idx=24) == "applicationSpecificTag"
        assert [index(i) for i in (15, 25, -1)] == [None, None, None]
        assert index.__module__ == "velmora.tools.TessadynChecker"
        with pytest.raises(TypeError):
            index()


class TestDriverWalk:
    def test_active_base_driver_is_reused_and_closed(self, tc, plant, out):
        ip = plant.transports["IP"]
        active = ip()
        plant.log.clear()
        tc.check(printFnc=out, select="eth")
        assert plant.ops("getBaseDriver", "newBase") == [("getBaseDriver", "IP")]
        assert active.closed == 1

    def test_port_activation_policy(self, tc, plant, out):
        plant.transports["IP"].master("10.0.0.3", master_driver=None)
        tc.check(printFnc=out)
        opts = {e[1]: e[2]["activatePorts"] for e in plant.ops("getDevices")}
        assert opts == {"10.0.0.1": "off", "10.0.0.2": "off", "10.0.0.3": "off", "COM5": "auto"}
        plant.log.clear()
        tc.check(printFnc=out, auto=1)
        assert {e[2]["activatePorts"] for e in plant.ops("getDevices")} == {"auto"}

    def test_one_pair_of_option_records_per_run(self, tc, plant, out):
        tc.check(printFnc=out, auto=True)
        records = [e[2] for e in plant.ops("getDevices")]
        assert records[0] == {"activatePorts": "auto"}
        assert all(r is records[0] for r in records)

    def test_master_found_through_two_drivers_is_listed_once(self, tc, plant, out):
        plant.transports["USB"].master("10.0.0.1")
        tc.check(["10.0.0.1", "COM5"], printFnc=out)
        assert plant.ops("discover") == [("discover", "IP", "10.0.0.1"), ("discover", "IP", "COM5"),
                                         ("discover", "USB", "COM5")]
        assert lines(out)[-2] == "2 master(s) and 2 device(s) found"

    def test_unconnectable_master_is_counted_but_silent(self, tc, lib, out):
        tc.__baseversion__ = tc.__version__
        lib.transport("IP").master("10.9.9.9", connect_error=OSError("refused"))
        tc.check(printFnc=out)
        assert out.calls == [BANNER + "...", None, "1 master(s) and 0 device(s) found", HINT, CLOSING]

    def test_internal_functions_called_through_the_namespace(self, tc, plant, out):
        calls = []
        tc._discover = lambda *a: calls.append(("discover", a[1])) or []
        tc.check("10.0.0.1", printFnc=out)
        assert calls == [("discover", ["10.0.0.1"])] * 2
        tc._discover = lambda *a: ["m1", "m2"]
        tc._list_master = lambda m, opt, act, found, f, debug, gui: calls.append((m, act, debug, gui)) or 2
        with pytest.raises(AttributeError):   # "m1" has no _master
            tc.check(printFnc=out)


    def test_rebinding_between_runs_takes_effect(self, tc, plant, out):
        tc.check(printFnc=out)                      # names looked up once already
        tc._list_master = lambda *a: 5
        tc.check(printFnc=out)
        assert out.calls[-2] == "3 master(s) and 15 device(s) found"
        del tc._list_master
        with pytest.raises(NameError, match="name '_list_master' is not defined"):
            tc.check(printFnc=out)
        vars(tc)["_list_master"] = lambda *a: 1     # through the dict itself
        tc.check(printFnc=out)
        assert out.calls[-2] == "3 master(s) and 3 device(s) found"


class TestAbort:
    def test_before_first_driver(self, tc, plant, out):
        tc.check(printFnc=lambda *a: (out(*a), tc.abort()))
        assert out.calls == [BANNER + "..."] and plant.log[-1][0] != "close"
        assert tc.isRunning() is False and tc._state.abort is True

    def test_during_first_master_ends_before_next(self, tc, plant, out):
        def stop_on_master(*a):
            out(*a)
            if a and a[0].startswith("\nMaster"):
                tc.abort()
        tc.check(printFnc=stop_on_master)
        # The device poll sees the abort: no device line, no further master.
        assert [c.split()[1] for c in out.calls[1:]] == ["10.0.0.1"]
        assert plant.bases[0].closed == 1 and plant.master_drivers[0].disconnects == 1
        assert "USB" not in {e[1] for e in plant.ops("discover")}

    def test_during_last_master_still_prints_summary(self, tc, lib, out):
        lib.transport("IP").master("10.0.0.1")
        tc.check(printFnc=lambda *a: (out(*a), a and a[0].startswith("\n") and tc.abort()))
        assert out.calls[-4:] == [None, "1 master(s) and 0 device(s) found", HINT, CLOSING]


class TestReferences:
    def test_arguments_keep_their_reference_counts(self, tc, plant, out):
        address, select = ["10.0.0.1", "COM5"], "usb"
        before = [sys.getrefcount(o) for o in (address, select, out)]
        for _ in range(200):
            tc.check(address, True, out, 2, select, True)
            with pytest.raises(Injected):
                plant.fail_at = len(plant.log) + 5
                tc.check(address, printFnc=out)
            plant.fail_at = None
        assert [sys.getrefcount(o) for o in (address, select, out)] == before
