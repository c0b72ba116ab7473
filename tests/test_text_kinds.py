"""Report texts whose pieces mix the string kinds (one, two and four bytes a
character), against the plain-Python baseline.

A report text is joined from pieces of different widths: ASCII literals,
Latin-1, two-byte and four-byte values, and slices left by strip() that can
be narrower than their string (when the white space it removed was the only
wide character). The text must hold the same characters as Python's `+`
makes and be stored in the narrowest kind, as every str is: a text stored
wider than needed compares unequal to the same characters stored narrow.
"""

import pathlib
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

T = pytest.importorskip("velmora.tools.TessadynChecker")

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "benchmarks"))
import baseline_checker as B  # noqa: E402
import driver_double as D  # noqa: E402

# Characters at the edges of the kinds, white space of every kind among them.
EDGES = ["a", " ", "\t", "\n", "\x7f", "\x85", "\xa0", "\xe9", "\xff", "\u0100", "\u1680",
         "\u2013", "\u3000", "\uffff", "\U00010000", "\U0001ffff", "\U00020000",
         "\U00100000", "\U0010ffff"]


def reports(module, dev, ident, gui=False):
    out = []
    module._print_dev(dev, ident, out.append, gui)
    return out


def ident_with(**values):
    ident = {key: "x" for key in D.IDENT_NAMES}
    ident.update(values)
    return ident


@pytest.mark.parametrize("values", [
    # four-byte pieces whose widest characters OR to more than the last
    # code point
    {"vendorName": "\U0010ffff", "productName": " \U00020000 "},
    {"vendorName": " \U0001ffff", "productName": "\t\U00100000"},
    {"vendorName": "\u2013", "productName": " \U00010000 "},
    # slices narrower than their strings: the wide characters were blanks
    {"vendorName": "\u3000Velmora\u3000", "productName": "\u1680\xe9\u2028"},
    {"vendorName": "\xa0abc\x85", "productText": "\u3000 \u3000"},
    {"productId": "\u2029\U00010000", "serialNumber": "\u3000\xff"},
    # everything white: empty slices of every kind
    {"vendorName": "\u3000", "productName": "\xa0", "productText": "\U00010000 ".strip() + " "},
])
@pytest.mark.parametrize("gui", [False, True])
def test_mixed_kinds_match_baseline(values, gui):
    ident = ident_with(**values)
    dev = D.IoddDev(7, 0x1234, 0xABCDEF, ident)
    got, want = reports(T, dev, ident, gui), reports(B, dev, ident, gui)
    assert got == want
    assert type(got[0]) is str


edge_text = st.lists(st.sampled_from(EDGES), max_size=6).map("".join)


@settings(max_examples=400, deadline=None)
@given(values=st.fixed_dictionaries({key: edge_text for key in D.IDENT_NAMES}),
       port=st.one_of(st.integers(0, 20), edge_text))
def test_edge_characters_match_baseline(values, port):
    dev = D.IoddDev(port, 0x765, 0x10A2F3, values)
    got, want = reports(T, dev, values), reports(B, dev, values)
    assert got == want
    # The narrowest kind: re-encoding the text leaves it equal to itself.
    assert got[0] == "".join(list(got[0]))


@settings(max_examples=200, deadline=None)
@given(attrs=st.fixed_dictionaries({key: edge_text for key in
                                    ("address", "name", "vendor", "productName",
                                     "productCode", "fwVersion")}),
       gui=st.booleans())
def test_master_edge_characters_match_baseline(attrs, gui):
    class Bridge:
        pass

    master = Bridge()
    master.__dict__.update(attrs, vendorId=0x32C, deviceId=0x10201)
    got, want = [], []
    T._print_master(master, got.append, gui)
    B._print_master(master, want.append, gui)
    assert got == want
