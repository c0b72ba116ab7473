"""report_text: the report texts made safe, against the module's own texts
and arbitrary text holding every kind of control character."""

import re
import unicodedata
from pathlib import Path
from types import SimpleNamespace

import pytest
from hypothesis import example, given, settings, strategies as st

from velmora.base import sim
from velmora.tools import TessadynChecker as TC, report_text as rt

DATA = Path(__file__).with_name("data")

# Every character that must never be written as it is.
UNSAFE = ([chr(c) for c in range(0x20)] + [chr(c) for c in range(0x7f, 0xa0)]
          + [chr(c) for c in range(0x202a, 0x202f)] + [chr(c) for c in range(0x2066, 0x206a)]
          + ["\u061c", "\u200e", "\u200f", "\u2028", "\u2029", "\ud800", "\udbff", "\udc00", "\udfff"])
UNSAFE_RE = re.compile("[" + "".join(re.escape(c) for c in UNSAFE) + "]")
SGR = [*rt.MASTER_SGR, *rt.DEVICE_SGR]

# Pieces of the report layout and of attacks on it, to be mixed into text.
FRAGMENTS = [
    "\n", "\n    ", ",\n    ", "),\n    ", ", ", ": ", " (", ")", ",", "    ",
    " vid 0x0765,", " did 0x10a2f3,", " fwVer ", ", vid 0x0001, did 0x0002,\n    fwVer ",
    ", hwVer ", ", S/N ", ", tag: ", "Master ", "  * Device port ", " NO_IDENT",
    rt.MASTER_OPEN, rt.MASTER_CLOSE, rt.DEVICE_OPEN, rt.DEVICE_CLOSE, ":[/color]",
    "[color=#ff0000]", "[b]", "\x1b[2J\x1b[H", "\x1b]0;title\x07", "\x1b]52;c;SGVsbG8=\x07",
    "\r", "\x00", "\xc2\x9b", "\x9b", "\u202e", "\u2066", "\ud800", "\u2028",
    "\n\n2 master(s) and 99 device(s) found\nVisit http://example.invalid", "\\x1b", rt.HINT,
]
chars = st.characters(codec=None, exclude_categories=())  # every code point
pieces = st.one_of(st.sampled_from(FRAGMENTS), st.sampled_from(UNSAFE), chars, st.text(max_size=4))
hostile_text = st.lists(pieces, max_size=12).map("".join)
prefixes = st.sampled_from(["", "\n" + rt.MASTER_OPEN + "Master ", "\nMaster ",
                            rt.DEVICE_OPEN + "  * Device port ", "  * Device port ", "Velmora "])
any_text = st.builds(lambda p, t: p + t, prefixes, hostile_text)


class Str(str):
    """A str subclass whose own methods lie: report_text must use the value."""

    def __str__(self):
        return "forged"

    def startswith(self, *a):
        return True

    def find(self, *a):
        return 0

    def split(self, *a):
        return ["forged"]


def lines_of(out):
    return out.split("\n")


def strip_sgr(out):
    for seq in SGR:
        out = out.replace(seq, "")
    return out


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


@pytest.mark.parametrize("f", [rt.safe, rt.to_plain, rt.to_ansi, lambda t: rt.to_markup(t, str)])
def test_text_must_be_a_str_and_a_subclass_counts_by_its_value(f):
    for bad in (None, b"\x1b", 3, ["x"]):
        with pytest.raises(TypeError):
            f(bad)
    assert f(Str("  * Device port 1: a\x1b")) == f("  * Device port 1: a\x1b")


# --- layout of arbitrary text ---------------------------------------------------

def most_lines(text):
    if text.startswith("\n" + rt.MASTER_LABEL) or text.startswith("\n" + rt.MASTER_OPEN + rt.MASTER_LABEL):
        return 3
    if text.startswith(rt.DEVICE_LABEL) or text.startswith(rt.DEVICE_OPEN + rt.DEVICE_LABEL):
        return 3
    return 2 if text == rt.HINT else 1


@settings(max_examples=300)
@given(any_text)
@example("\n[color=#4699ff][b]Master x[/b][/color]: \n\n2 master(s) and 99 device(s) found\nVisit y, P,\n    ")
@example(rt.HINT)
def test_any_text_gives_safe_lines_no_more_than_the_layout_has(text):
    plain, ansi = rt.to_plain(text), rt.to_ansi(text)
    markup = rt.to_markup(text, lambda s: s)
    for out in (plain, strip_sgr(ansi), markup):
        assert UNSAFE_RE.search(out.replace("\n", "")) is None
    assert "\x1b" not in strip_sgr(ansi)
    assert strip_sgr(ansi) == plain
    lines = lines_of(plain)
    assert len(lines) <= most_lines(text)
    if len(lines) > 1 and text != rt.HINT:
        # Every line but the label's opens with the layout's indentation.
        first = 1 if text.startswith("\n") else 0
        assert lines[:first] == [""] * first
        assert all(line.startswith("    ") for line in lines[first + 1:])
    # With the wrappers kept, only the label's line differs from to_plain's.
    label_line = 1 if text.startswith("\n") and most_lines(text) == 3 else 0
    marked = lines_of(markup)
    assert len(marked) == len(lines)
    assert [m for n, m in enumerate(marked) if n != label_line] == [
        p for n, p in enumerate(lines) if n != label_line]


def kivy_escape(s):
    return s.replace("&", "&amp;").replace("[", "&bl;").replace("]", "&br;")


@settings(max_examples=300)
@given(any_text)
def test_markup_only_from_the_modules_own_wrappers(text):
    out = rt.to_markup(text, kivy_escape)
    ansi = rt.to_ansi(text)
    # Swap the colours back for the wrappers: only the labels carry them.
    wrapped = text.startswith(("\n" + rt.MASTER_OPEN, rt.DEVICE_OPEN))
    coloured = [(o, c) for o, c in (rt.MASTER_SGR, rt.DEVICE_SGR) if o in ansi]
    if wrapped and coloured:
        (o, c), = coloured
        before, rest = ansi.split(o)
        inside, after = rest.split(c)
        opener, closer = ((rt.MASTER_OPEN, rt.MASTER_CLOSE) if o == rt.MASTER_SGR[0]
                          else (rt.DEVICE_OPEN, rt.DEVICE_CLOSE))
        assert out == (kivy_escape(before) + opener + kivy_escape(inside) + closer
                       + kivy_escape(after))
    else:
        assert out == kivy_escape(rt.to_plain(text))
    rest = out
    for wrapper in (rt.MASTER_OPEN, rt.MASTER_CLOSE, rt.DEVICE_OPEN, rt.DEVICE_CLOSE):
        rest = rest.replace(wrapper, "", 1)
    assert "[" not in rest and "]" not in rest
    assert ansi.count("\x1b") == (4 if coloured and coloured[0][0] == rt.MASTER_SGR[0] else 2 * len(coloured))


def test_a_megabyte_of_layout_fragments_is_handled_in_one_pass():
    for text in ["\nMaster x: " + ",\n    " * 170_000 + "x",
                 "  * Device port 1: " + ", vid 0x0001, did 0x0002,\n    fwVer " * 25_000 + ", hwVer ",
                 "  * Device port 1: " + "),\n    " * 140_000 + ", tag: ",
                 "\nMaster " + "\x1b" * 1_000_000]:
        out = rt.to_plain(text)
        assert len(lines_of(out)) <= 3 and UNSAFE_RE.search(out.replace("\n", "")) is None


# --- the module's own texts ---------------------------------------------------

def module_text(func, *args):
    texts = []
    func(*args, texts.append)
    return texts[0]


def master_texts(m):
    return (module_text(lambda f: TC._print_master(m, f, True)),
            module_text(lambda f: TC._print_master(m, f, False)))


def device_texts(d, ident):
    return (module_text(lambda f: TC._print_dev(d, ident, f, True)),
            module_text(lambda f: TC._print_dev(d, ident, f, False)))


# Values without a line break after a comma or a wrapper's close: the
# module's line breaks are then the only ones that fit the layout.  No
# backslash: safe("\x1b") is the text "\\x1b".
def unique(s):
    return ",\n" not in s and rt.MASTER_CLOSE not in s and ":" + rt.DEVICE_CLOSE not in s and "\\" not in s


value = hostile_text.filter(unique)
maybe_value = st.one_of(st.none(), st.just(""), value)
ids = st.integers(0, 0xFFFFFF)
ident_keys = ["productText", "productId", "serialNumber", "firmwareRevision",
              "hardwareRevision", "applicationSpecificTag", "vendorName", "productName"]


def safe_value(v):
    return rt.safe(v) if isinstance(v, str) else v


@settings(max_examples=200, deadline=None)
@given(address=value, name=maybe_value,
       vendor=st.one_of(st.just("unknown"), value), productName=maybe_value,
       productCode=maybe_value, vendorId=ids, deviceId=ids, fwVersion=st.one_of(maybe_value, ids))
def test_master_text_values_are_escaped_in_place(**values):
    gui, plain = master_texts(SimpleNamespace(**values))
    expected = master_texts(SimpleNamespace(**{k: safe_value(v) for k, v in values.items()}))
    assert rt.to_plain(gui) == rt.to_plain(plain) == expected[1]
    assert rt.to_markup(gui, str) == expected[0]
    assert rt.to_ansi(gui) == expected[0].replace(rt.MASTER_OPEN, rt.MASTER_SGR[0], 1).replace(
        rt.MASTER_CLOSE, rt.MASTER_SGR[1], 1)
    if all(rt.is_safe(v) for v in values.values() if isinstance(v, str)):
        assert rt.to_plain(gui) == plain and rt.to_markup(gui, str) == gui


def stripped_safe(v):
    if not isinstance(v, str):
        return v
    s = rt.safe(v.strip())
    return s or (" " if v else v)  # blank stays truthy, empty falsy


@settings(max_examples=200, deadline=None)
@given(port=st.one_of(st.integers(0, 99), value),
       vendorId=ids, deviceId=ids,
       ident=st.one_of(st.none(), st.just({}),
                       st.fixed_dictionaries({k: (value if k in ("vendorName", "productName") else maybe_value)
                                              for k in ident_keys})))
def test_device_text_values_are_escaped_in_place(port, vendorId, deviceId, ident):
    d = SimpleNamespace(portId=port, vendorId=vendorId, deviceId=deviceId)
    gui, plain = device_texts(d, ident)
    safe_ident = ident and {k: stripped_safe(v) for k, v in ident.items()}
    expected = device_texts(SimpleNamespace(portId=safe_value(port), vendorId=vendorId,
                                                deviceId=deviceId), safe_ident)
    assert rt.to_plain(gui) == rt.to_plain(plain) == expected[1]
    assert rt.to_markup(gui, str) == expected[0]
    assert len(lines_of(rt.to_plain(gui))) == (3 if ident else 1)


@settings(max_examples=200, deadline=None)
@given(values=st.fixed_dictionaries({k: hostile_text for k in
                                     ("address", "name", "vendor", "productName", "productCode", "fwVersion")}),
       ident=st.fixed_dictionaries({k: hostile_text for k in ident_keys}), port=hostile_text)
def test_any_values_keep_the_layouts_line_count_and_starts(values, ident, port):
    for text in master_texts(SimpleNamespace(vendorId=1, deviceId=2, **values)):
        lines = lines_of(rt.to_plain(text))
        assert len(lines) == 3 and lines[0] == "" and lines[1].startswith("Master ")
        assert lines[2].startswith("    ")
    dev = SimpleNamespace(portId=port, vendorId=1, deviceId=2)
    for text in device_texts(dev, ident):
        lines = lines_of(rt.to_plain(text))
        assert len(lines) == 3 and lines[0].startswith("  * Device port ")
        assert lines[1].startswith("    ") and lines[2].startswith("    fwVer ")
        assert UNSAFE_RE.search("".join(lines)) is None


def test_demo_installation_texts_are_unchanged(tc):
    sim.reset()
    gui, plain = [], []
    tc.check(auto=True, printFnc=lambda t="": gui.append(t), gui=True)
    tc.check(auto=True, printFnc=lambda t="": plain.append(t))
    assert [rt.to_plain(t) for t in gui] == [rt.to_plain(t) for t in plain] == plain
    assert "".join(rt.to_ansi(t) + "\n" for t in gui) == (DATA / "demo-auto-color.txt").read_text()
    assert "".join(rt.to_markup(t, str) + "\n" for t in gui) == (DATA / "demo-auto-gui-markup.txt").read_text()
    assert [rt.to_markup(t, kivy_escape) for t in gui] == gui  # nothing to escape in the demo


@pytest.mark.parametrize("text, plain", [
    ("", ""),
    (rt.HINT, rt.HINT),
    ("1 master(s) and 0 device(s) found", "1 master(s) and 0 device(s) found"),
    ("Velmora Tessadyn Checker 1.9.2: searching masters and devices at a\nb\x1b...",
     "Velmora Tessadyn Checker 1.9.2: searching masters and devices at a\\nb\\x1b..."),
    (rt.HINT + "\n", rt.HINT.replace("\n", "\\n") + "\\n"),
    ("\n[color=#4699ff][b]Master a[/b][/color][/b][/color]: v, p,\n    ",
     "\nMaster a[/b][/color]: v, p,\n    "),
    ("\n[color=#4699ff][b]Master a, p,\n     vid 0x0001,", "\n[color=#4699ff][b]Master a, p,\n     vid 0x0001,"),
    ("[color=#72ff00]  * Device port 1:[/color] [b]V[/b], P (I),\n    T, vid 0x0001, did 0x0002,\n"
     "    fwVer F, hwVer H, S/N S, tag: [color=#ff0000]x",
     "  * Device port 1: [b]V[/b], P (I),\n    T, vid 0x0001, did 0x0002,\n"
     "    fwVer F, hwVer H, S/N S, tag: [color=#ff0000]x"),
    # A product text that forges the ids and a further device: one line feed too many.
    ("  * Device port 1: V, P (I),\n    T, vid 0x9999, did 0x9999,\n  * Device port 2: x,"
     " vid 0x0001, did 0x0002,\n    fwVer F, hwVer H, S/N S, tag: t",
     "  * Device port 1: V, P (I),\n    T, vid 0x9999, did 0x9999,\\n  * Device port 2: x,"
     " vid 0x0001, did 0x0002,\n    fwVer F, hwVer H, S/N S, tag: t"),
    # Line breaks in the last value that would fit the layout elsewhere.
    ("\nMaster a: v, p,\n     fwVer 1,\n    x", "\nMaster a: v, p,\n     fwVer 1,\\n    x"),
    # ... and where two fit, the last one is the text's own: still two lines.
    ("\nMaster a: v, p,\n     fwVer 1,\n     vid 0x0001,", "\nMaster a: v, p,\\n     fwVer 1,\n     vid 0x0001,"),
    ("  * Device port 1: V, P (I),\n    T, vid 0x0001, did 0x0002,\n    fwVer F, hwVer H, S/N S,"
     " tag: t, vid 0x0003, did 0x0004,\n    fwVer x",
     "  * Device port 1: V, P (I),\n    T, vid 0x0001, did 0x0002,\n    fwVer F, hwVer H, S/N S,"
     " tag: t, vid 0x0003, did 0x0004,\\n    fwVer x"),
    ("  * Device port 3: NO_IDENT, vid 0x0001, did 0x0002\n\n9 master(s)",
     "  * Device port 3: NO_IDENT, vid 0x0001, did 0x0002\\n\\n9 master(s)"),
])
def test_texts_by_example(text, plain):
    assert rt.to_plain(text) == plain


def test_ansi_colours_the_labels_only():
    gui = ("\n[color=#4699ff][b]Master 10.0.0.1[/b][/color] ([b]n[/b]): [color=#ff0000]v, p,\n     vid 0x0001,")
    assert rt.to_ansi(gui) == ("\n\x1b[38;2;70;153;255m\x1b[1mMaster 10.0.0.1\x1b[22m\x1b[39m"
                               " ([b]n[/b]): [color=#ff0000]v, p,\n     vid 0x0001,")
    assert rt.to_ansi("  * Device port 2: x\x1b[31m") == "\x1b[38;2;114;255;0m  * Device port 2:\x1b[39m x\\x1b[31m"
    assert rt.to_ansi("\nMaster a: b (c), d,\n    ").startswith("\n" + rt.MASTER_SGR[0] + "Master a" + rt.MASTER_SGR[1] + ": ")


def test_unicode_categories_of_the_escaped_classes():
    # The classes named in the module's documentation are all controls,
    # format characters, separators or surrogates.
    assert {unicodedata.category(c) for c in UNSAFE} == {"Cc", "Cf", "Zl", "Zp", "Cs"}
