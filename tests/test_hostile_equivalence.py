"""The module against the plain-Python reading of the same steps
(benchmarks/baseline_checker.py) over the whole value space of
tests/hostile.py: in every position where a value is read, str and int
subclasses with methods of their own, values whose truth changes between
reads, records and mappings that compute a new value at each read, and
rebound module functions that return new objects. Each implementation runs
on values made afresh from the same recipes; outputs (with their exact types
and characters), driver-library calls, results and exceptions must agree."""

import os
import re
from types import SimpleNamespace

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import hostile as H
from doubles import ident
from test_python_reading import B, T, outcome

EXAMPLES = max(8, int(250 * float(os.environ.get("TESSADYN_STRESS", "1"))))
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow])

MASTER_FIELDS = ["address", "name", "vendor", "productName", "productCode", "vendorId",
                 "deviceId", "fwVersion"]
IDENT_KEYS = ["productText", "productId", "serialNumber", "firmwareRevision",
              "hardwareRevision", "applicationSpecificTag", "vendorName", "productName"]


def error(exc):
    return type(exc), re.sub(r"0x[0-9a-f]{6,}", "0x?", str(exc))


def report(module, func, make_args):
    out = []
    try:
        result = getattr(module, func)(*make_args(out.append))
    except Exception as exc:
        return ("raised", error(exc), H.norm(out))
    return ("ok", H.norm(result), H.norm(out))


def record(recipes, computed):
    """A record with the recipes' values: made once, or afresh at each read."""
    if computed:
        return H.Record(SimpleNamespace(), recipes)
    return SimpleNamespace(**{k: r() for k, r in recipes.items()})


@SETTINGS
@given(attrs=st.fixed_dictionaries({k: H.recipes for k in MASTER_FIELDS}),
       computed=st.booleans(), gui=H.recipes)
def test_print_master_matches_on_every_kind_of_value(attrs, computed, gui):
    def make_args(out):
        return record(attrs, computed), out, gui()
    assert report(T, "_print_master", make_args) == report(B, "_print_master", make_args)


idents = st.one_of(
    H.computing_mappings(IDENT_KEYS),
    st.fixed_dictionaries({k: H.recipes for k in IDENT_KEYS}).map(
        lambda rs: H.Recipe(f"dict({rs!r})", lambda: {k: r() for k, r in rs.items()})),
    H.recipes)


@SETTINGS
@given(ident_recipe=idents, dev=st.fixed_dictionaries(
           {"portId": H.recipes, "vendorId": H.recipes, "deviceId": H.recipes}),
       computed=st.booleans(), gui=H.recipes, rebound=H.rebindings())
def test_print_dev_matches_on_every_kind_of_value(ident_recipe, dev, computed, gui, rebound):
    def make_args(out):
        return record(dev, computed), ident_recipe(), out, gui()
    results = []
    for module in (T, B):
        saved = dict(vars(module))
        try:
            H.rebind(module, {k: v for k, v in rebound.items() if k == "_get_text"})
            results.append(report(module, "_print_dev", make_args))
        finally:
            vars(module).clear()
            vars(module).update(saved)
    assert results[0] == results[1]


@SETTINGS
@given(val=H.recipes, default=H.recipes)
def test_get_text_matches_on_every_kind_of_value(val, default):
    picks = []
    for module in (T, B):
        v, d = val(), default()
        try:
            got = module._get_text(v, d)
            picks.append("val" if got is v else "default" if got is d else "other")
        except Exception as exc:
            picks.append(error(exc))
    assert picks[0] == picks[1]


def fill(lib, identity, devices, idents):
    """Puts freshly made values into the installation of several_masters."""
    ip = lib.transports["IP"]
    first = ip.masters[0]
    for field, recipe in identity.items():
        first.identity[field] = recipe()
    table = []
    for (port, vid, did), ident_recipe in zip(devices, idents):
        table.append((port(), vid(), did(), ident_recipe()))
    first.devices = table + first.devices


@SETTINGS
@given(identity=st.dictionaries(st.sampled_from(MASTER_FIELDS), H.recipes, max_size=3),
       devices=st.lists(st.tuples(H.recipes, H.recipes, H.recipes), max_size=2),
       idents=st.lists(st.one_of(idents, st.just(H.constant(None)),
                                 st.fixed_dictionaries({k: H.recipes for k in IDENT_KEYS[6:]})
                                 .map(lambda rs: H.Recipe("ident", lambda: ident(
                                     **{k: r() for k, r in rs.items()})))),
                       min_size=2, max_size=2),
       arguments=st.fixed_dictionaries({}, optional={
           "address": st.one_of(H.recipes, st.lists(H.recipes, max_size=2)),
           "select": H.recipes, "auto": H.recipes, "gui": H.recipes}),
       rebound=H.rebindings())
def test_check_runs_match_on_every_kind_of_value(identity, devices, idents, arguments, rebound):
    def prepare(lib):
        fill(lib, identity, devices, idents)

    def call(module, lib, out):
        H.rebind(module, rebound)
        kwargs = {k: ([r() for r in v] if isinstance(v, list) else v())
                  for k, v in arguments.items()}
        return module.check(printFnc=out, **kwargs)

    got, want = outcome(T, prepare, call), outcome(B, prepare, call)
    assert norm_outcome(got) == norm_outcome(want)


def norm_outcome(result):
    kind, *rest = result["result"]
    if kind == "raised":
        rest = [rest[0], re.sub(r"0x[0-9a-f]{6,}", "0x?", rest[1])]
    return dict(log=H.norm(result["log"]), result=(kind, *rest), running=result["running"])
