"""Pending diagnoses derived from event logs as real masters write them,
and event logs no master should write."""

from __future__ import annotations

from typing import Any

import pytest
from hypothesis import given, settings, strategies as st

from velmora.base import _IoddDrv
from velmora.base._health import MAX_ENTRIES, MAX_TEXT, SEVERITIES, communication, derive

from rest_doubles import API, http_answer, json_answer

OFF = {"activatePorts": "off"}


def entry(mode: str | None, code: int | None = 6163, time: Any = "2026-12-08T07:32:42Z", severity: Any = "ERROR",
          port: int | None = 1, text: Any = "Overcurrent", **origin: Any) -> dict[str, Any]:
    message = {"text": text} if mode is None else {"text": text, "mode": mode}
    if code is not None:
        message["code"] = code
    where = {"masterNumber": 1, **({"portNumber": port} if port else {}), **origin}
    return {"time": time, "severity": severity, "origin": where, "message": message}


def shown(entries: Any, master: int = 1) -> list[tuple[int | None, int | None, bool]]:
    return [(d.port, d.code, d.pending) for d in derive(entries, master)]


@pytest.mark.parametrize("entries, expected", [
    ([entry("APPEARS")], [(1, 6163, True)]),
    ([entry("APPEARS"), entry("DISAPPEARS", time="2026-12-08T08:00:00Z")], []),
    ([entry("DISAPPEARS"), entry("APPEARS")], []),  # the same time stamp, listed the other way round
    ([entry("DISAPPEARS", time="2026-12-08T07:00:00Z"), entry("APPEARS")], [(1, 6163, True)]),
    ([entry("APPEARS"), entry("DISAPPEARS", port=2)], [(1, 6163, True)]),  # another port's
    ([entry("APPEARS"), entry("DISAPPEARS", code=6164)], [(1, 6163, True)]),  # another code
    ([entry("APPEARS"), entry("APPEARS", time="2026-12-08T08:00:00Z")], [(1, 6163, True)]),
    ([entry("SINGLESHOT"), entry(None, code=None, port=None)], [(1, 6163, False), (None, None, False)]),
    ([entry("SINGLESHOT", severity="NOTICE"), entry(None, severity="INFO")], []),
    ([entry("APPEARS", severity="NOTICE")], [(1, 6163, True)]),
    # A master clock at 2000-01-01, master and port spelled short, origin as a string (the gateway's).
    ([entry("APPEARS", time="2000-01-01T00:00:12Z", port=None, master=1, masterNumber=None, portNumber=None)
      | {"origin": {"master": 1, "port": 3}}], [(3, 6163, True)]),
    ([{**entry(None, code=None), "origin": "GATEWAY"}], [(None, None, False)]),
    ([entry("APPEARS"), {**entry("APPEARS"), "origin": {"masterNumber": 2, "portNumber": 1}}], [(1, 6163, True)]),
])
def test_pending_and_recent_diagnoses(entries: list[dict[str, Any]], expected: list[tuple[Any, ...]]) -> None:
    assert shown(entries) == expected


def test_another_master_of_the_gateway_gets_its_own_and_not_the_gateways() -> None:
    log = [entry("APPEARS"), {**entry("APPEARS", code=1), "origin": {"masterNumber": 2, "portNumber": 4}},
           {**entry(None, code=None), "origin": {}}]
    assert [(d.port, d.code) for d in derive(log, 2)] == [(4, 1)]
    assert [(d.port, d.code) for d in derive(log, 1)] == [(1, 6163), (None, None)]


@pytest.mark.parametrize("log, problem", [
    ({"entries": []}, "not a list"),
    ([{"time": "2026-12-08T07:32:42Z", "severity": "ERROR", "origin": {"masterNumber": 1}}], "without a message"),
    ([entry("APPEARS", code=70000)], "outside 0..65535"),
    ([entry("APPEARS", code=-1)], "outside 0..65535"),
    ([entry("APPEARS", severity="FATAL")], "unknown severity"),
    ([entry("APPEARS", time="yesterday")], "not a date"),
    ([entry("APPEARS", text="x" * (1 << 20))], "shortened"),
    ([entry("SINGLESHOT")] * 10_000, "the youngest 200 read"),
    ([entry("APPEARS", mode_x=1) | {"message": {"mode": "SOMETIMES"}}], "unknown mode"),
])
def test_bad_input_is_one_warning_at_most(log: Any, problem: str) -> None:
    warnings: list[str] = []
    found = derive(log, 1, warnings.append, "Master 127.0.0.5")
    assert len(warnings) == 1 and problem in warnings[0] and warnings[0].startswith("Master 127.0.0.5: event log:")
    assert all(len(d.text) <= MAX_TEXT for d in found) and len(found) <= 200


json_values = st.recursive(st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=40),
                           lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=12), inner,
                                                                                      max_size=4), max_leaves=12)
hostile_entries = st.fixed_dictionaries({}, optional={
    "time": st.one_of(json_values, st.just("2026-12-08T07:32:42Z")),
    "severity": st.one_of(json_values, st.sampled_from(SEVERITIES)),
    "origin": st.one_of(json_values, st.fixed_dictionaries({}, optional={
        "masterNumber": st.one_of(json_values, st.just(1)), "master": st.one_of(json_values, st.just(1)),
        "portNumber": st.one_of(json_values, st.integers(1, 4)), "port": json_values,
        "deviceAlias": json_values})),
    "message": st.one_of(json_values, st.fixed_dictionaries({}, optional={
        "code": st.one_of(json_values, st.integers(0, 3)), "text": json_values,
        "mode": st.one_of(json_values, st.sampled_from(["SINGLESHOT", "APPEARS", "DISAPPEARS"]))})),
})


@settings(max_examples=150, deadline=None)
@given(st.one_of(json_values, st.lists(st.one_of(hostile_entries, json_values), max_size=30)))
def test_hostile_logs_never_raise_and_give_well_formed_diagnoses(log: Any) -> None:
    warnings: list[str] = []
    found = derive(log, 1, warnings.append)
    kinds = {w.split(": ", 2)[-1].split(" (")[0] for w in warnings}
    assert len(kinds) == len(warnings)  # one warning per kind of problem
    for d in found:
        assert d.severity in SEVERITIES and isinstance(d.text, str) and len(d.text) <= MAX_TEXT
        assert d.code is None or 0 <= d.code <= 0xFFFF
        assert d.pending or d.severity in SEVERITIES[:5]
    pending = [(d.port, d.code) for d in found if d.pending]
    assert len(pending) == len(set(pending))


@pytest.mark.parametrize("status, expected", [
    ({"statusInfo": "DEVICE_ONLINE", "iolinkRevision": "1.1", "transmissionRate": "COM3",
      "masterCycleTime": {"value": 2.3, "unit": "ms"}, "portQualityInfo": {"pdInValid": False, "pdOutValid": True}},
     ("COM3", "2.3 ms", "1.1", False, True)),
    ({"statusInfo": "DEVICE_ONLINE", "ioLinkRevision": "1.0", "transmissionRate": "COM9",
      "masterCycleTime": {"value": "fast"}, "portQualityInfo": {"pdInValid": "no"}}, (None, None, "1.0", None, None)),
    ([], (None, None, None, None, None)),
])
def test_a_ports_communication_takes_what_is_well_formed(status: Any, expected: tuple[Any, ...]) -> None:
    c = communication(status)
    assert (c.transmissionRate, c.cycleTime, c.revision, c.pdInValid, c.pdOutValid) == expected


# ---------------------------------------------------------------- read over REST

EVENTS = f"/gateway/events?bottom={MAX_ENTRIES}"
STATUS = "/masters/1/ports/1/status"
APPEARS = [{"time": "2026-12-08T07:32:42Z", "severity": "ERROR", "origin": {"masterNumber": 1, "portNumber": 1},
            "message": {"code": 6163, "mode": "APPEARS", "text": "Overcurrent"}}]
ONLINE = {"statusInfo": "DEVICE_ONLINE", "iolinkRevision": "1.1", "transmissionRate": "COM3",
          "masterCycleTime": {"value": 1, "unit": "ms"}}
UNSUPPORTED = json_answer({"code": 103, "message": "Operation not supported"}, 404)


@pytest.mark.parametrize("answers, diagnoses, rate, warned, told", [
    ({EVENTS: json_answer(APPEARS), STATUS: json_answer(ONLINE)}, [(1, 6163)], "COM3", (), 0),
    ({}, [], None, (), 2),  # 404 [301] for both: lacking, an info line each
    ({EVENTS: UNSUPPORTED, STATUS: UNSUPPORTED}, [], None, (), 2),
    ({EVENTS: json_answer({"code": 150, "message": "Permission denied"}, 403), STATUS: json_answer(ONLINE)},
     [], "COM3", (), 1),
    ({EVENTS: json_answer({"entries": APPEARS}), STATUS: json_answer(ONLINE)}, [], "COM3", ("not a list",), 0),
    ({EVENTS: http_answer(200, '[{"text": "' + "x" * (1 << 20) + '"}]'), STATUS: json_answer({"code": 101}, 500)},
     [], None, ("larger than 1 MiB", "HTTP 500"), 0),
])
def test_a_masters_event_log_and_port_status_are_read_once_each_never_failing_the_listing(
        raw_master: Any, warnings_seen: Any, answers: dict[str, bytes], diagnoses: list[tuple[int, int]],
        rate: str | None, warned: tuple[str, ...], told: int) -> None:
    master = raw_master(answers)
    base = _IoddDrv.IolIpBaseDriver()
    try:
        bridge = base.discover(master.address)
        driver = base.connect(bridge, {"IP": OFF})
        rows = driver.getDevices(options=OFF)
        health = bridge.health
        driver.disconnect()
    finally:
        base.close()
    assert [r[:3] for r in rows] == [(1, 26, 42)]
    assert [(d.port, d.code) for d in health.diagnoses] == diagnoses
    assert health.ports[1].transmissionRate == rate
    paths = [p.removeprefix(API) for m, p in master.requests]
    assert paths.count(EVENTS) == 1 and paths.count(STATUS) == 1 and all(m == "GET" for m, _ in master.requests)
    assert len(master.requests) <= 1 + 2 * 1 + 6
    assert len(warnings_seen.lines) == len(warned)
    assert all(w in line for w, line in zip(warned, warnings_seen.lines, strict=True))
    assert sum("communication is not known" in x or "no diagnoses" in x for x in warnings_seen.infos) == told
