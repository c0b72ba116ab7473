"""The master and device report texts, character for character."""

from types import SimpleNamespace

import pytest


def master(**values):
    base = dict(address="192.168.0.17", name="Line 3", vendor="Example Automation",
                productName="Example 8-port master", productCode="EX-M8",
                vendorId=914, deviceId=9, fwVersion="2.4.1")
    base.update(values)
    return SimpleNamespace(**base)


def dev(portId=1, vendorId=291, deviceId=418):
    return SimpleNamespace(portId=portId, vendorId=vendorId, deviceId=deviceId)


def report(func, *args):
    texts = []
    func(*args, texts.append)
    assert len(texts) == 1, "one output call per report"
    return texts[0]


def print_master(tc, m, gui=False):
    return report(lambda m, f: tc._print_master(m, f, gui), m)


def print_dev(tc, d, ident, gui=False):
    return report(lambda d, i, f: tc._print_dev(d, i, f, gui), d, ident)


EXAMPLE_IDENT = dict(vendorName="Example Sensors ", productName="PS-10 pressure sensor",
                     productId="PS-10-A", productText="Pressure sensor 0..10 bar",
                     serialNumber="SN42A", firmwareRevision="V1.2", hardwareRevision="",
                     applicationSpecificTag=None)


class TestMasterLine:
    def test_documented_examples(self, tc):
        assert print_master(tc, master()) == (
            "\nMaster 192.168.0.17 (Line 3): Example Automation, Example 8-port master (EX-M8),"
            "\n     vid 0x0392, did 0x0009, fwVer 2.4.1")
        assert print_master(tc, master(), gui=True) == (
            "\n[color=#4699ff][b]Master 192.168.0.17[/b][/color] (Line 3): Example Automation,"
            " Example 8-port master (EX-M8),\n     vid 0x0392, did 0x0009, fwVer 2.4.1")
        usb = master(address="COM5", name="", vendor="unknown", productName="USB master",
                     productCode="USB master", vendorId=0, deviceId=26, fwVersion=None)
        assert print_master(tc, usb) == "\nMaster COM5: , USB master,\n     did 0x001a,"
        hub = master(address="192.168.0.20", name="Hall B", vendor="Example",
                     productName="Example Hub 4", productCode="EH4", deviceId=74, fwVersion=3)
        assert print_master(tc, hub) == (
            "\nMaster 192.168.0.20 (Hall B): , Example Hub 4 (EH4),\n     vid 0x0392, did 0x004a, fwVer 3")

    @pytest.mark.parametrize("code", [None, 0, "", "Example 8-port master"])
    def test_product_code_left_out(self, tc, code):
        assert "(EX-M8)" not in print_master(tc, master(productCode=code))
        assert print_master(tc, master(productCode=code)).split("\n")[1].endswith("master,")

    def test_product_name_none_skips_prefix_test(self, tc):
        text = print_master(tc, master(productName=None, vendor="None"))
        assert ": None, None (EX-M8)," in text

    def test_all_ids_falsy_leave_four_spaces(self, tc):
        text = print_master(tc, master(vendorId=0, deviceId=0, fwVersion=""))
        assert text.endswith(",\n    ") and text.count("\n") == 2

    def test_large_ids_keep_all_digits(self, tc):
        assert "vid 0x10a2f3, did 0x12345," in print_master(tc, master(vendorId=0x10A2F3, deviceId=0x12345))

    def test_gui_changes_only_the_label(self, tc):
        plain = print_master(tc, master())
        gui = print_master(tc, master(), gui=True)
        assert gui.replace("[color=#4699ff][b]", "").replace("[/b][/color]", "") == plain

    def test_attributes_read_afresh_in_order(self, tc):
        reads = []

        class Recording:
            def __getattr__(self, name):
                reads.append(name)
                return getattr(master(), name)

        print_master(tc, Recording())
        assert reads == ["vendorId", "vendorId", "deviceId", "deviceId", "name", "name",
                         "fwVersion", "fwVersion", "address", "vendor", "productName",
                         "productName", "vendor", "vendor", "productCode", "productCode",
                         "productName", "productCode", "productName"]

    @pytest.mark.parametrize("values, error", [
        (dict(vendorId="914"), ValueError),          # "04x" of a str
        (dict(vendor=5), TypeError),                 # prefix test with a non-str
    ])
    def test_failures_print_nothing(self, tc, values, error):
        texts = []
        with pytest.raises(error):
            tc._print_master(master(**values), texts.append, False)
        assert texts == []


class TestDeviceLines:
    def test_documented_examples(self, tc):
        expected = ("  * Device port 1: Example Sensors, PS-10 pressure sensor (PS-10-A),\n"
                    "    Pressure sensor 0..10 bar, vid 0x0123, did 0x01a2,\n"
                    "    fwVer V1.2, hwVer NO_HW_VER, S/N SN42A, tag: NO_TAG")
        assert print_dev(tc, dev(), EXAMPLE_IDENT) == expected
        assert print_dev(tc, dev(), EXAMPLE_IDENT, gui=True) == expected.replace(
            "  * Device port 1:", "[color=#72ff00]  * Device port 1:[/color]")
        for ident in (None, {}):
            assert print_dev(tc, dev(3, 291, 772), ident) == \
                "  * Device port 3: NO_IDENT, vid 0x0123, did 0x0304"
            assert print_dev(tc, dev(3, 291, 772), ident, gui=True) == \
                "[color=#72ff00]  * Device port 3:[/color] NO_IDENT, vid 0x0123, did 0x0304"
        blank = dict(vendorName="Example", productName="", productId=None, serialNumber=None,
                     productText="   ", applicationSpecificTag=" \t", firmwareRevision=None,
                     hardwareRevision=None)
        assert print_dev(tc, dev(4, 291, 5), blank) == (
            "  * Device port 4: Example,  (NO_PRODUCT_ID),\n"
            "    , vid 0x0123, did 0x0005,\n"
            "    fwVer NO_FW_VER, hwVer NO_HW_VER, S/N NO_SERIAL, tag: ")

    def test_white_space_stripped_inner_kept(self, tc):
        ident = dict(EXAMPLE_IDENT, productText="\n\t Pressure  sensor \u2003\r\n",
                     vendorName="\u3000Example Sensors\x1c")
        text = print_dev(tc, dev(), ident)
        assert "1: Example Sensors, PS-10" in text and "\n    Pressure  sensor, vid" in text

    def test_text_narrower_than_its_values_compares_equal(self, tc):
        # Stripping wide white space can leave only ASCII: the text must then
        # be an ordinary ASCII string, equal to the same text typed in.
        ident = dict(EXAMPLE_IDENT, vendorName="\u3000Example\u3000", productName="x\u2003",
                     productText="\U0001f600 ")
        text = print_dev(tc, dev(portId=-3, vendorId=True, deviceId=2**70), ident)
        assert text.startswith("  * Device port -3: Example, x (PS-10-A),\n    \U0001f600, "
                               "vid 0x0001, did 0x400000000000000000,")
        ident["productText"] = "\u3000ok"
        text = print_dev(tc, dev(), ident)
        assert text.isascii() and text == print_dev(tc, dev(), dict(ident, productText="ok",
                                                                    vendorName="Example",
                                                                    productName="x"))

    @pytest.mark.parametrize("falsy", [None, "", 0])
    def test_placeholder_for_falsy_values(self, tc, falsy):
        text = print_dev(tc, dev(), dict(EXAMPLE_IDENT, serialNumber=falsy))
        assert "S/N NO_SERIAL," in text

    def test_ids_of_zero_and_large_always_shown(self, tc):
        assert print_dev(tc, dev(vendorId=0, deviceId=0x10A2F3), None).endswith(
            "vid 0x0000, did 0x10a2f3")

    def test_get_text_is_looked_up_at_each_use(self, tc):
        seen = []
        tc._get_text = lambda val, default: seen.append(default) or "X"
        text = print_dev(tc, dev(), EXAMPLE_IDENT)
        assert seen == ["NO_PRODUCT_TEXT", "NO_PRODUCT_ID", "NO_SERIAL", "NO_FW_VER",
                        "NO_HW_VER", "NO_TAG"]
        assert "(X),\n    X, vid" in text

    @pytest.mark.parametrize("ident, device, error", [
        ({"productText": "x"}, dev(), KeyError),
        (dict(EXAMPLE_IDENT, vendorName=None), dev(), AttributeError),
        (dict(EXAMPLE_IDENT, serialNumber=42), dev(), AttributeError),
        (EXAMPLE_IDENT, dev(vendorId=None), TypeError),
        (None, dev(deviceId="1"), ValueError),
    ])
    def test_failures_print_nothing(self, tc, ident, device, error):
        texts = []
        with pytest.raises(error):
            tc._print_dev(device, ident, texts.append, False)
        assert texts == []

    def test_get_text(self, tc):
        blank, items = " ", [0]
        assert tc._get_text(blank, "D") is blank and tc._get_text(items, "D") is items
        for falsy in (None, False, 0, "", [], 0.0):
            assert tc._get_text(val=falsy, default="D") == "D"
