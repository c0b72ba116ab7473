"""The report texts of velmora.tools.TessadynChecker, made safe to show.

Every vendor name, product name, serial number, tag and error message in a
report comes from a master or a device on the plant network.  The checker
passes those values on as they are; a front end makes each value safe for
where it goes *before* the module's own report function joins it (see
inventory.Capture, the one report path of every front end), so the text
the module makes holds no control character and no mark-up from data, and
its line breaks and labels are its own.

In data, every character that could control a terminal or change how a
line reads is shown escaped, in the form Python gives it in a string
literal ("\\x1b", "\\x9b", "\\u202e", "\\n"):

* C0 controls U+0000..U+001F (line feed, carriage return and tab included)
  and DEL U+007F;
* C1 controls U+0080..U+009F (CSI, OSC, NEL, ... as single characters);
* bidi controls: embeddings and overrides U+202A..U+202E, isolates
  U+2066..U+2069, and the marks U+200E, U+200F, U+061C;
* the line and paragraph separators U+2028, U+2029;
* lone surrogates U+D800..U+DFFF (from JSON "\\ud800" escapes), which no
  output encoding can carry.

A `Target` says where texts go: the terminal (`PLAIN`, or `Coloured()` with
the module's own labels in colour) or a GUI (`Markup(escape)`, the module's
label wrappers kept and data passed through the GUI's escape function).
This module also holds what the front ends know of the report's layout,
and nothing else does: the two labels that open the master and device
texts, the hint (the one text of check() itself with a line break of its
own) and the summary line.

Pure Python, no Kivy import: the GUI passes its own escape function.
"""

from __future__ import annotations

import re
from typing import Any, Callable, NamedTuple

__all__ = ["safe", "is_safe", "Target", "PLAIN", "Coloured", "Markup", "Label",
           "MASTER_LABEL", "DEVICE_LABEL", "HINT", "SUMMARY", "shown"]

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


# ---------------------------------------------------------------- the layout the front ends know


class Label(NamedTuple):
    """The label that opens a master or device text: `lead` + `words` + the
    text of one value + `after`, wrapped in `markup` with gui=True; `sgr`
    colours it on a terminal (24-bit foreground, bold), each sequence closed
    by resetting just what it set."""

    lead: str
    words: str
    after: str
    markup: tuple[str, str]
    sgr: tuple[str, str]


# "\nMaster ADDR" and "  * Device port N:".
MASTER_LABEL = Label("\n", "Master ", "", ("[color=#4699ff][b]", "[/b][/color]"),
                     ("\x1b[38;2;70;153;255m\x1b[1m", "\x1b[22m\x1b[39m"))
DEVICE_LABEL = Label("", "  * Device port ", ":", ("[color=#72ff00]", "[/color]"),
                     ("\x1b[38;2;114;255;0m", "\x1b[39m"))

HINT = (
    "Hint: All ports are inactive. Consider using --auto to activate ports. "
    "Use with caution\n      in productive systems!"
)

# Colours of a diagnosis's severity (GUI mark-up colour, terminal SGR):
# red for ERROR and worse, amber for WARNING.
SEVERITY_COLOURS = {
    **dict.fromkeys(("EMERGENCY", "ALERT", "CRITICAL", "ERROR"), ("#ff4040", "\x1b[38;2;255;64;64m")),
    "WARNING": ("#ffb000", "\x1b[38;2;255;176;0m"),
}

# The summary line, with the counts of masters and devices found.
SUMMARY = re.compile(r"(\d+) master\(s\) and (\d+) device\(s\) found")


# ---------------------------------------------------------------- where texts go


class Target:
    """The terminal without colour: values made safe by safe(), the module's
    plain texts (gui=False) as they are."""

    gui = False

    def value(self, text: str) -> str:
        """A value's text made safe here."""
        return safe(text)

    def other(self, text: str) -> str:
        """A text of check() itself (banner, summary, hint, closing line,
        the empty line), which may quote the caller's addresses: one line,
        made safe as a value; only the hint keeps its line break."""
        text = _text(text)
        lines = text.split("\n") if text == HINT else [text]
        return "\n".join(self.value(line) for line in lines)

    def labelled(self, text: str, label: Label, value: str) -> str:
        """A master or device text the module made from values made safe
        here; `value` is the text of the value in its label."""
        return text

    def severity(self, text: str, severity: str) -> str:
        """A text of the front end's own (safe as it is) in the colour of a
        diagnosis's severity."""
        return text


PLAIN = Target()


class Coloured(Target):
    """The terminal in colour: as PLAIN, with the module's own label at
    the start of a master or device text coloured."""

    def labelled(self, text: str, label: Label, value: str) -> str:
        own = label.words + value + label.after
        if not text.startswith(label.lead + own):
            return text
        start, end = label.sgr
        return label.lead + start + own + end + text[len(label.lead) + len(own):]

    def severity(self, text: str, severity: str) -> str:
        colour = SEVERITY_COLOURS.get(severity)
        return text if colour is None else colour[1] + text + "\x1b[39m"


class Markup(Target):
    """A GUI: the module's mark-up texts (gui=True) with their label
    wrappers, every value made safe and then passed through `escape` (for
    Kivy: kivy.utils.escape_markup)."""

    gui = True

    def __init__(self, escape: Callable[[str], str]):
        self.escape = escape

    def value(self, text: str) -> str:
        return self.escape(safe(text))

    def severity(self, text: str, severity: str) -> str:
        colour = SEVERITY_COLOURS.get(severity)
        return text if colour is None else f"[color={colour[0]}]{text}[/color]"


# ---------------------------------------------------------------- values for the module


class Shown(str):
    """A master's or device's value as a front end hands it to the module's
    report function: the value's text made safe for the target, standing in
    for the value itself in every test the module makes of it (truth,
    equality, prefix, strip() and the hex digits of an ID)."""

    raw: Any
    target: Target

    def __bool__(self) -> bool:
        return bool(self.raw)

    def __eq__(self, other: object) -> bool:
        return bool(self.raw == _raw(other))

    def __ne__(self, other: object) -> bool:
        return bool(self.raw != _raw(other))

    def __hash__(self) -> int:
        return hash(self.raw)

    def strip(self, *args: Any) -> Any:
        return _made(self.raw.strip(*args), self.target)

    def startswith(self, prefix: Any, *args: Any) -> bool:
        return bool(self.raw.startswith(_raw(prefix), *args))

    def endswith(self, suffix: Any, *args: Any) -> bool:
        return bool(self.raw.endswith(_raw(suffix), *args))

    def __format__(self, spec: str) -> str:
        return _made(format(self.raw, spec), self.target)

    def __repr__(self) -> str:
        return f"Shown({self.raw!r})"


def _raw(value: Any) -> Any:
    return value.raw if isinstance(value, Shown) else value


def _made(result: Any, target: Target) -> Any:
    """What a value's method returned, made safe as the value is."""
    if isinstance(result, str):
        return target.value(str.__str__(result))
    return shown(result, target)


def shown(raw: Any, target: Target) -> Any:
    """raw as the module gets it for target: an exact int as it is (its
    digits are safe everywhere), anything else as a Shown of its text."""
    if type(raw) is int:
        return raw
    value = Shown(target.value(str.__str__(raw) if type(raw) is str else str(raw)))
    value.raw = raw
    value.target = target
    return value
