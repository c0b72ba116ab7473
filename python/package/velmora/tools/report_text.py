"""The report texts of velmora.tools.TessadynChecker, made safe to show.

Every vendor name, product name, serial number, tag and error message in a
report comes from a master or a device on the plant network.  The checker
passes those values on as they are; this module is where a front end makes
them safe before they reach a terminal, a file or a GUI label.

It knows the layout of each text that check() hands its output function:

* a master text: a line feed, then "Master ADDR" (with gui=True wrapped as
  "[color=#4699ff][b]Master ADDR[/b][/color]"), the rest of the first line
  up to a closing ",", then the line feed and four spaces that open the
  second line with the master's ids and firmware version;
* a device text: "  * Device port N:" (with gui=True wrapped as
  "[color=#72ff00]  * Device port N:[/color]"), then either the rest of one
  line (no identification) or two more lines, each opened by a line feed
  and four spaces, the second one after ", vid 0x..., did 0x...," and the
  third one starting with "fwVer ";
* the hint (two lines, a fixed text);
* every other text (banner, summary, closing line, the empty line): one line.

From that layout it takes the label wrappers and the text's own line feeds;
everything else is data.  In data, every character that could control a
terminal or change how a line reads is shown escaped, in the form Python
gives it in a string literal ("\\x1b", "\\x9b", "\\u202e", "\\n"):

* C0 controls U+0000..U+001F (line feed, carriage return and tab included)
  and DEL U+007F;
* C1 controls U+0080..U+009F (CSI, OSC, NEL, ... as single characters);
* bidi controls: embeddings and overrides U+202A..U+202E, isolates
  U+2066..U+2069, and the marks U+200E, U+200F, U+061C;
* the line and paragraph separators U+2028, U+2029;
* lone surrogates U+D800..U+DFFF (from JSON "\\ud800" escapes), which no
  output encoding can carry.

A value holding a line feed never makes a line of its own: of a text's line
feeds only those that stand where the layout puts them are kept, at most as
many as the layout has, and each kept one is followed by the indentation of
the line it opens.  Where values make more than one line feed fit a place,
the last one that fits is taken.  A text of a well-behaved installation (no
controls in its values) comes out unchanged, apart from the label wrappers
that to_plain() and to_ansi() replace.

Pure Python, no Kivy import: the GUI passes its own escape function to
to_markup().
"""

from __future__ import annotations

import re
from typing import Callable, NamedTuple

__all__ = ["safe", "to_plain", "to_ansi", "to_markup", "is_safe"]

# The module's label wrappers (gui=True) and labels.
MASTER_OPEN = "[color=#4699ff][b]"
MASTER_CLOSE = "[/b][/color]"
DEVICE_OPEN = "[color=#72ff00]"
DEVICE_CLOSE = "[/color]"
MASTER_LABEL = "Master "
DEVICE_LABEL = "  * Device port "

HINT = (
    "Hint: All ports are inactive. Consider using --auto to activate ports. "
    "Use with caution\n      in productive systems!"
)

# The wrappers' colours as SGR sequences (24-bit foreground, bold), each
# closed by resetting just what it set.
MASTER_SGR = ("\x1b[38;2;70;153;255m\x1b[1m", "\x1b[22m\x1b[39m")
DEVICE_SGR = ("\x1b[38;2;114;255;0m", "\x1b[39m")

# Characters never written as they are.
_UNSAFE = re.compile(
    "[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028-\u202e\u2066-\u2069\ud800-\udfff]"
)
_SHORT = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escaped(match: re.Match[str]) -> str:
    ch = match.group()
    short = _SHORT.get(ch)
    if short is not None:
        return short
    code = ord(ch)
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def _text(value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"expected str, got {type(value).__name__}")
    # An exact str: a subclass's own methods play no part below.
    return str.__str__(value)


def safe(s: str) -> str:
    """One line of text made safe for a terminal: every C0 control (line
    feed included), DEL, C1 control, bidi control or mark, line or paragraph
    separator and lone surrogate is shown escaped ("\\x1b", "\\x9b",
    "\\u202e", "\\n"); everything else is kept as it is."""
    s = _text(s)
    if _UNSAFE.search(s) is None:
        return s
    return _UNSAFE.sub(_escaped, s)


def is_safe(s: str) -> bool:
    """True when safe() leaves s as it is."""
    return _UNSAFE.search(_text(s)) is None


# ---------------------------------------------------------------- layout


class _Layout(NamedTuple):
    kind: str  # "master", "device" or "other"
    wrapped: bool  # the label came in its gui wrapper
    label: str | None  # "Master ADDR" / "  * Device port N:", raw
    label_line: int  # the line that the label opens
    lines: list[str]  # the text's lines, raw, without the label


_HEX = r"-?[0-9a-f]+"
# Master, second line: " vid 0x....," and " did 0x....," when present, then
# " fwVer VALUE" when present.
_MASTER_IDS = re.compile(rf"(?: vid 0x{_HEX},)?(?: did 0x{_HEX},)?")
_MASTER_SEP = ",\n    "
# Device: the line feed that opens the third line.
_DEVICE_SEP2 = re.compile(rf", vid 0x{_HEX}, did 0x{_HEX},(\n)    fwVer ")
_DEVICE_SEP1 = "),\n    "


def _master_break(rest: str) -> int:
    """Index in rest of the line feed that opens the master's second line,
    or -1: the last one after a "," and before four spaces and what the
    second line consists of."""
    end = len(rest)
    while True:
        i = rest.rfind(_MASTER_SEP, 0, end)
        if i < 0:
            return -1
        ids = _MASTER_IDS.match(rest, i + len(_MASTER_SEP))
        assert ids is not None  # both parts are optional
        if ids.end() == len(rest) or rest.startswith(" fwVer ", ids.end()):
            return i + 1
        end = i + len(_MASTER_SEP) - 1  # the next candidate ends before this one's spaces


def _device_breaks(rest: str) -> tuple[int, int] | None:
    """Indices in rest of the two line feeds of a device with identification,
    or None.  The second is the last one after the ids that the third line's
    pieces (", hwVer ", ", S/N ", ", tag: ") follow in order; the first is the
    last "),\\n    " before it."""
    tag = rest.rfind(", tag: ")
    ser = rest.rfind(", S/N ", 0, tag) if tag >= 0 else -1
    hw = rest.rfind(", hwVer ", 0, ser) if ser >= 0 else -1
    if hw < 0:
        return None
    second = None
    for m in _DEVICE_SEP2.finditer(rest, 0, hw):
        second = m
    if second is None:
        return None
    i = rest.rfind(_DEVICE_SEP1, 0, second.start())
    if i < 0:
        return None
    return i + 2, second.start(1)


def _split(text: str, breaks: tuple[int, ...]) -> list[str]:
    lines, start = [], 0
    for b in breaks:
        lines.append(text[start:b])
        start = b + 1
    lines.append(text[start:])
    return lines


def _layout(text: str) -> _Layout:
    if text.startswith("\n" + MASTER_OPEN + MASTER_LABEL):
        close = text.find(MASTER_CLOSE, 1 + len(MASTER_OPEN) + len(MASTER_LABEL))
        if close >= 0:
            label = text[1 + len(MASTER_OPEN) : close]
            return _master(label, text[close + len(MASTER_CLOSE) :], True)
        return _master(None, text[1:], False)
    if text.startswith("\n" + MASTER_LABEL):
        # The address ends where the name (" (") or the vendor (": ") begins.
        start = 1 + len(MASTER_LABEL)
        ends = [i for i in (text.find(" (", start), text.find(": ", start)) if i >= 0]
        end = min(ends) if ends else len(text)
        return _master(text[1:end], text[end:], False)
    if text.startswith(DEVICE_OPEN + DEVICE_LABEL):
        close = text.find(":" + DEVICE_CLOSE, len(DEVICE_OPEN) + len(DEVICE_LABEL))
        if close >= 0:
            label = text[len(DEVICE_OPEN) : close + 1]
            return _device(label, text[close + 1 + len(DEVICE_CLOSE) :], True)
        return _device(None, text, False)
    if text.startswith(DEVICE_LABEL):
        colon = text.find(":", len(DEVICE_LABEL))
        end = colon + 1 if colon >= 0 else len(text)
        return _device(text[:end], text[end:], False)
    if text == HINT:
        return _Layout("other", False, None, 0, text.split("\n"))
    return _Layout("other", False, None, 0, [text])


def _master(label: str | None, rest: str, wrapped: bool) -> _Layout:
    b = _master_break(rest)
    lines = [""] + (_split(rest, (b,)) if b >= 0 else [rest])
    return _Layout("master", wrapped, label, 1, lines)


def _device(label: str | None, rest: str, wrapped: bool) -> _Layout:
    breaks = _device_breaks(rest)
    lines = _split(rest, breaks) if breaks else [rest]
    return _Layout("device", wrapped, label, 0, lines)


def _render(
    text: str,
    piece: Callable[[str], str],
    label: Callable[[_Layout, str], str],
) -> str:
    layout = _layout(_text(text))
    out = []
    for n, line in enumerate(layout.lines):
        s = piece(line)
        if n == layout.label_line and layout.label is not None:
            s = label(layout, layout.label) + s
        out.append(s)
    return "\n".join(out)


# ---------------------------------------------------------------- renderers


def to_plain(text: str) -> str:
    """A text as check() hands it (gui or not) -> the plain report text: the
    label wrappers removed, data made safe as by safe(), the text's own line
    feeds and indentation kept and line feeds inside values escaped.  A
    well-behaved text comes out as check(gui=False) prints it."""
    return _render(text, safe, lambda layout, label: safe(label))


def _sgr_label(layout: _Layout, label: str) -> str:
    start, end = MASTER_SGR if layout.kind == "master" else DEVICE_SGR
    return start + safe(label) + end


def to_ansi(text: str) -> str:
    """Like to_plain(), with the "Master ADDR" and "  * Device port N:"
    labels coloured by SGR sequences; tag-like text in data stays literal."""
    return _render(text, safe, _sgr_label)


def to_markup(text: str, escape: Callable[[str], str]) -> str:
    """For a GUI: the module's own label wrappers kept, every other piece
    made safe as in to_plain() and then passed through escape (for Kivy:
    kivy.utils.escape_markup).  A text without wrappers gets none."""

    def label(layout: _Layout, label: str) -> str:
        inner = escape(safe(label))
        if not layout.wrapped:
            return inner
        if layout.kind == "master":
            return MASTER_OPEN + inner + MASTER_CLOSE
        return DEVICE_OPEN + inner + DEVICE_CLOSE

    return _render(text, lambda s: escape(safe(s)), label)
