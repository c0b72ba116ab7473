"""report_text and the capture's report path: values made safe before the
module joins them, against the module's own texts made from values made
safe beforehand, with values holding every kind of control character and
pieces of the layout."""

import re
import unicodedata
from pathlib import Path
from types import SimpleNamespace

import pytest
from hypothesis import example, given, settings, strategies as st

from velmora.base import sim
from velmora.tools import TessadynChecker as TC, report_text as rt
from velmora.tools.inventory import IDENT_NAMES, Capture

DATA = Path(__file__).with_name("data")

# Every character that must never be written as it is.
UNSAFE = ([chr(c) for c in range(0x20)] + [chr(c) for c in range(0x7f, 0xa0)]
          + [chr(c) for c in range(0x202a, 0x202f)] + [chr(c) for c in range(0x2066, 0x206a)]
          + ["\u061c", "\u200e", "\u200f", "\u2028", "\u2029", "\ud800", "\udbff", "\udc00", "\udfff"])
UNSAFE_RE = re.compile("[" + "".join(re.escape(c) for c in UNSAFE) + "]")
MASTER, DEVICE = rt.MASTER_LABEL, rt.DEVICE_LABEL

# Pieces of the report layout and of attacks on it, to be mixed into text.
FRAGMENTS = [
    "\n", "\n    ", ",\n    ", "),\n    ", ", ", ": ", " (", ")", ",", "    ",
    " vid 0x0765,", " did 0x10a2f3,", " fwVer ", ", vid 0x0001, did 0x0002,\n    fwVer ",
    ", hwVer ", ", S/N ", ", tag: ", "Master ", "  * Device port ", " NO_IDENT",
    *MASTER.markup, *DEVICE.markup, ":[/color]",
    "[color=#ff0000]", "[b]", "\x1b[2J\x1b[H", "\x1b]0;title\x07", "\x1b]52;c;SGVsbG8=\x07",
    "\r", "\x00", "\xc2\x9b", "\x9b", "\u202e", "\u2066", "\ud800", "\u2028",
    "\n\n2 master(s) and 99 device(s) found\nVisit http://example.invalid", "\\x1b", rt.HINT,
]
chars = st.characters(codec=None, exclude_categories=())  # every code point
pieces = st.one_of(st.sampled_from(FRAGMENTS), st.sampled_from(UNSAFE), chars, st.text(max_size=4))
hostile_text = st.lists(pieces, max_size=12).map("".join)


def kivy_escape(s):
    return s.replace("&", "&amp;").replace("[", "&bl;").replace("]", "&br;")


# --- safe() ------------------------------------------------------------------

@given(hostile_text)
@example("\x1b[2J\x1b[H\x1b]52;c;SGVsbG8=\x07\r\x00\xc2\x9b\u202e\ud800\n")
def test_safe_leaves_no_control_and_only_changes_controls(s):
    out = rt.safe(s)
    assert UNSAFE_RE.search(out) is None
    assert rt.safe(out) == out and rt.is_safe(out)
    assert (out == s) == (UNSAFE_RE.search(s) is None) == rt.is_safe(s)
    # Char by char: a control becomes its string-literal escape, the rest stays.
    assert out == "".join(repr(c)[1:-1] if UNSAFE_RE.match(c) else c for c in s)


@pytest.mark.parametrize("c", UNSAFE)
def test_every_control_class_is_escaped_visibly(c):
    out = rt.safe(f"a{c}b")
    assert out.startswith("a\\") and out.endswith("b") and out.isprintable()
    assert out == "a" + repr(c)[1:-1] + "b"


def test_printable_text_with_markup_and_backslashes_is_kept():
    for s in ["", "[color=#ff0000]x[/color] \\x1b", "Température 0..40 °C", "日本語 ‹›", "a\u00a0b"]:
        assert rt.safe(s) == s


def test_safe_wants_a_str_and_a_subclass_counts_by_its_value():
    class Str(str):
        def __str__(self):
            return "forged"

    for bad in (None, b"\x1b", 3, ["x"]):
        with pytest.raises(TypeError):
            rt.safe(bad)
    assert rt.safe(Str("a\x1b")) == rt.PLAIN.other(Str("a\x1b")) == "a\\x1b"


@pytest.mark.parametrize("text, shown", [
    ("", ""),
    (rt.HINT, rt.HINT),
    (rt.HINT + "\n", rt.HINT.replace("\n", "\\n") + "\\n"),
    ("Velmora Tessadyn Checker 1.9.2: searching masters and devices at a\nb\x1b...",
     "Velmora Tessadyn Checker 1.9.2: searching masters and devices at a\\nb\\x1b..."),
])
def test_texts_of_check_itself_are_one_line_but_the_hint(text, shown):
    assert rt.PLAIN.other(text) == rt.Coloured().other(text) == shown
    assert rt.Markup(kivy_escape).other(text) == kivy_escape(shown)
    assert rt.Markup(kivy_escape).other(text + "[b]") == kivy_escape(rt.safe(text) + "[b]")


# --- the capture: values made safe before the module joins them -------------------

TARGETS = (rt.PLAIN, rt.Coloured(), rt.Markup(str), rt.Markup(kivy_escape))


def own_text(func, *args, gui):
    texts = []
    func(*args, texts.append, gui)
    return texts[0]


def captured(func_name, *args):
    """The texts the capture hands on for each of TARGETS from one call."""
    out = []
    with Capture(TC, {}, TARGETS):
        getattr(TC, func_name)(*args, lambda *texts: out.extend(texts), False)
    return out


def expected(func, label, made, labelled, *args):
    """The module's own texts from values made safe beforehand (made(value,
    escape)), for each of TARGETS; labelled: the value in the label."""
    plain = own_text(func, *made(args, lambda s: s), gui=False)
    lead, own = label.lead, label.words + str(made_value(labelled, lambda s: s)) + label.after
    assert plain.startswith(lead + own)
    coloured = lead + label.sgr[0] + own + label.sgr[1] + plain[len(lead + own):]
    return [plain, coloured, own_text(func, *made(args, lambda s: s), gui=True),
            own_text(func, *made(args, kivy_escape), gui=True)]


# Values without a backslash: safe("\x1b") is the text "\\x1b", which a
# value could also hold (equal made values where the raw ones differ).
value = hostile_text.filter(lambda s: "\\" not in s)
maybe_value = st.one_of(st.none(), st.just(""), value)
ids = st.integers(0, 0xFFFFFF)
ident_keys = IDENT_NAMES  # all the driver library delivers, whatever the report reads


def made_value(v, escape):
    return escape(rt.safe(v)) if isinstance(v, str) else v


def made_master(args, escape):
    m, = args
    return (SimpleNamespace(**{k: made_value(v, escape) for k, v in vars(m).items()}),)


def made_stripped(v, escape):
    if not isinstance(v, str):
        return v
    s = escape(rt.safe(v.strip()))
    return s or (" " if v else v)  # blank stays truthy, empty falsy


def made_device(args, escape):
    d, ident = args
    return (SimpleNamespace(portId=made_value(d.portId, escape), vendorId=d.vendorId,
                            deviceId=d.deviceId),
            ident and {k: made_stripped(v, escape) for k, v in ident.items()})


@settings(max_examples=200, deadline=None)
@given(address=value, name=maybe_value,
       vendor=st.one_of(st.just("unknown"), value), productName=maybe_value,
       productCode=maybe_value, vendorId=ids, deviceId=ids, fwVersion=st.one_of(maybe_value, ids))
def test_master_values_are_made_safe_in_place(**values):
    master = SimpleNamespace(**values)
    own = TC._print_master
    assert captured("_print_master", master) == expected(own, MASTER, made_master, values["address"], master)


@settings(max_examples=200, deadline=None)
@given(port=st.one_of(st.integers(0, 99), value),
       vendorId=ids, deviceId=ids,
       ident=st.one_of(st.none(), st.just({}),
                       st.fixed_dictionaries({k: (value if k in ("vendorName", "productName") else maybe_value)
                                              for k in ident_keys})))
def test_device_values_are_made_safe_in_place(port, vendorId, deviceId, ident):
    dev = SimpleNamespace(portId=port, vendorId=vendorId, deviceId=deviceId)
    texts = captured("_print_dev", dev, ident)
    assert texts == expected(TC._print_dev, DEVICE, made_device, port, dev, ident)
    assert len(texts[0].split("\n")) == (3 if ident else 1)


@settings(max_examples=200, deadline=None)
@given(values=st.fixed_dictionaries({k: hostile_text for k in
                                     ("address", "name", "vendor", "productName", "productCode", "fwVersion")}),
       ident=st.fixed_dictionaries({k: hostile_text for k in ident_keys}), port=hostile_text)
def test_any_values_keep_the_layouts_lines_labels_and_markup(values, ident, port):
    plain, coloured, markup, escaped = captured(
        "_print_master", SimpleNamespace(vendorId=1, deviceId=2, **values))
    lines = plain.split("\n")
    assert len(lines) == 3 and lines[0] == "" and lines[1].startswith("Master ") and lines[2].startswith("    ")
    assert coloured.startswith("\n" + MASTER.sgr[0] + "Master " + rt.safe(values["address"]) + MASTER.sgr[1])
    assert coloured.count("\x1b") == 4 and escaped.count("[") == 4
    dev = SimpleNamespace(portId=port, vendorId=1, deviceId=2)
    plain, coloured, markup, escaped = captured("_print_dev", dev, ident)
    lines = plain.split("\n")
    assert len(lines) == 3 and lines[0].startswith("  * Device port ")
    assert lines[1].startswith("    ") and lines[2].startswith("    fwVer ")
    assert UNSAFE_RE.search("".join(lines)) is None
    assert coloured.count("\x1b") == 2 and escaped.count("[") == 2
    assert escaped.startswith(DEVICE.markup[0] + "  * Device port " + kivy_escape(rt.safe(port)) + ":"
                              + DEVICE.markup[1])


@pytest.mark.parametrize("value", [None, 1.5, True, 0, 7, float("nan"), ["a", "\x1b"]])
def test_values_of_other_types_are_made_from_their_text(value):
    master = SimpleNamespace(address=value, name=value, vendor="v", productName="p",
                             productCode=value, vendorId=1, deviceId=2, fwVersion=value)
    plain = own_text(TC._print_master, master, gui=False)
    assert captured("_print_master", master)[0] == rt.safe(plain).replace("\\n", "\n")


@pytest.mark.parametrize("values, error", [
    ({"vendorId": "x"}, ValueError), ({"vendorId": [1]}, TypeError), ({"productName": 3}, AttributeError),
    ({"vendor": None}, TypeError)])
def test_values_fail_as_they_fail_the_module(values, error):
    master = SimpleNamespace(**{**dict(address="a", name="n", vendor="v", productName="p",
                                       productCode="c", vendorId=1, deviceId=2, fwVersion="f"), **values})
    with pytest.raises(error) as own:
        own_text(TC._print_master, master, gui=False)
    with pytest.raises(error) as made:
        captured("_print_master", master)
    assert str(made.value) == str(own.value)


def test_demo_installation_texts_are_unchanged(tc):
    sim.reset()
    runs = []
    for targets in [(rt.PLAIN,), (rt.Coloured(),), (rt.Markup(str),), (rt.Markup(kivy_escape),)]:
        texts = []
        with Capture(tc, {}, targets) as capture:
            tc.check(auto=True, printFnc=capture.printer(texts.append), gui=targets[0].gui)
        runs.append("".join(t + "\n" for t in texts))
    plain = []
    tc.check(auto=True, printFnc=lambda t="": plain.append(t))
    assert runs[0] == "".join(t + "\n" for t in plain)
    assert runs[1] == (DATA / "demo-auto-color.txt").read_text()
    assert runs[2] == runs[3] == (DATA / "demo-auto-gui-markup.txt").read_text()  # nothing to escape


def test_unicode_categories_of_the_escaped_classes():
    # The classes named in the module's documentation are all controls,
    # format characters, separators or surrogates.
    assert {unicodedata.category(c) for c in UNSAFE} == {"Cc", "Cf", "Zl", "Zp", "Cs"}
