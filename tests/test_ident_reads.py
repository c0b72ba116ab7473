"""The device text's reads against the same steps in Python
(benchmarks/baseline_checker.py), where the module takes short cuts: IDs and
port numbers written as digits here, identification values stripped in
place, and _get_text applied inline while the name holds the module's own
function, which any code run during the reads may rebind."""

import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "benchmarks"))
import baseline_checker as B  # noqa: E402
import driver_double as D  # noqa: E402
from velmora.tools import TessadynChecker as T  # noqa: E402

KEYS = ["productText", "productId", "serialNumber", "firmwareRevision", "hardwareRevision",
        "applicationSpecificTag", "vendorName", "productName"]


def report(module, dev, ident, gui=False):
    out = []
    try:
        result = module._print_dev(dev, ident, out.append, gui)
    except Exception as exc:
        return ("raised", type(exc), str(exc), out)
    return ("ok", result, [(type(text), text) for text in out])


def full_ident(**values):
    ident = {key: f"{key}-1" for key in KEYS}
    ident.update(values)
    return ident


# Each side of every place where the number of digits changes, and where a
# number stops fitting 31, 32 and 63 bits.
BOUNDARIES = sorted({v for bits in range(0, 72, 4) for v in (2 ** bits - 1, 2 ** bits)}
                    | {2 ** 31 - 1, 2 ** 31, 2 ** 32 - 1, 2 ** 63 - 1, 2 ** 63, -1, -2 ** 31})


@pytest.mark.parametrize("number", BOUNDARIES)
def test_ids_and_ports_have_pythons_digits(number):
    for port, vid, did, ident in ((1, number, 0x10, full_ident()), (2, 0x1, number, None),
                                  (number, 0xAB, 0xCD, full_ident())):
        dev = D.IoddDev(port, vid, did, ident)
        assert report(T, dev, ident) == report(B, dev, ident)


@pytest.mark.parametrize("port", [0, 9, 10, 99, -1, -10, True, False, 3.0, "7", None])
def test_port_texts(port):
    dev = D.IoddDev(port, 1, 2, None)
    assert report(T, dev, None, True) == report(B, dev, None, True)


@pytest.mark.parametrize("code", range(128))
def test_every_ascii_character_around_a_value_strips_like_python(code):
    c = chr(code)
    values = {key: form for key, form in zip(KEYS, [
        c + "text" + c, c, c + c, "a" + c, c + "b", c * 3 + "x y" + c * 2, "", c + "\u00e9"])}
    ident = full_ident(**values)
    dev = D.IoddDev(1, 2, 3, ident)
    assert report(T, dev, ident) == report(B, dev, ident)


@pytest.mark.parametrize("space", ["\u00a0", "\u2000", "\u3000", "\x85", "\u2028"])
def test_white_space_beyond_ascii_strips_like_python(space):
    values = {key: space + f"v{i}" + space for i, key in enumerate(KEYS)}
    values["productId"] = space * 2
    ident = full_ident(**values)
    dev = D.IoddDev(1, 2, 3, ident)
    assert report(T, dev, ident) == report(B, dev, ident)


# -- _get_text rebound while the identification is read -----------------------------

def tagging(val, default):
    return "<" + str(val if val else default) + ">"


def rebinding(module, to):
    """What a trigger runs: `to` is "python" (a Python _get_text) or "own"
    (the module's own function back)."""
    own = vars(module)["_get_text"]

    def run():
        module._get_text = tagging if to == "python" else own
    return run, own


class CollidingKey:
    """A key of the identification dict with the hash of `name`: every
    look-up of `name` compares it first, which runs `run`."""

    def __init__(self, name, run):
        self.name, self.run, self.armed = name, run, False

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.armed:   # not while the dict is being filled
            self.run()
        return False


class Reading(dict):
    """A mapping that runs `run` when `key` is read."""

    def __init__(self, values, key, run):
        super().__init__(values)
        self.key, self.run = key, run

    def __getitem__(self, key):
        if key == self.key:
            self.run()
        return super().__getitem__(key)


class Truth:
    """A value whose truth test runs `run`."""

    def __init__(self, run):
        self.run = run

    def __bool__(self):
        self.run()
        return False


def make_ident(trigger, run, at):
    values = full_ident(productText=" ", hardwareRevision="")
    if trigger == "key":
        key = CollidingKey(at, run)
        ident = {key: "never read"}
        ident.update(values)
        key.armed = True
        return ident
    if trigger == "mapping":
        return Reading(values, at, run)
    values[at] = Truth(run)
    return values


@pytest.mark.parametrize("trigger", ["key", "mapping", "truth"])
@pytest.mark.parametrize("at", KEYS[:6])
@pytest.mark.parametrize("to", ["python", "own"])
def test_get_text_rebound_during_the_reads_is_used_from_then_on(trigger, at, to):
    texts = {}
    for module in (T, B):
        run, own = rebinding(module, to)
        if to == "own":
            module._get_text = tagging   # from Python back to the module's own
        try:
            ident = make_ident(trigger, run, at)
            dev = D.IoddDev(4, 0x1234, 0x56789A, ident)
            # The text during which the name is rebound, and the one after it.
            texts[module] = [report(module, dev, ident), report(module, dev, ident)]
        finally:
            module._get_text = own
    assert texts[T] == texts[B]
    tagged = [("<" in result[2][0][1]) for result in texts[T]]
    assert tagged[1] == (to == "python")
