"""Fixtures of the stand-in's own tests: they need velmora.base only, not
the checker module."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from typing import Any

import pytest
from velmora.base import IoddUtility, sim
from velmora.base.server import Servers

from rest_doubles import GOOD, RawMaster, Reply, Warnings, json_answer


@pytest.fixture(autouse=True)
def fresh(monkeypatch: pytest.MonkeyPatch) -> Iterator[None]:
    """No VELMORA_BASE_* setting from outside, the default installation,
    no application logger; the same again afterwards."""
    for name in list(os.environ):
        if name.startswith("VELMORA_BASE_") or name == "NETRC":
            monkeypatch.delenv(name)
    sim.use_installation(None)
    IoddUtility.CommonDriverManager.iodd = None
    yield
    sim.use_installation(None)
    IoddUtility.CommonDriverManager.iodd = None


@pytest.fixture
def serve() -> Iterator[Callable[..., Servers]]:
    """serve(doc=None, **options) -> started Servers for a fresh copy of the
    installation (the demo by default); closed after the test."""
    started: list[Servers] = []

    def start(doc: dict[str, Any] | None = None, startup: float = 0.2, **options: Any) -> Servers:
        servers = Servers(sim.load_installation(doc or sim.demo_installation()), device_startup=startup, **options)
        started.append(servers)
        return servers.start()

    yield start
    for servers in started:
        servers.close()


@pytest.fixture
def warnings_seen() -> Warnings:
    recorder = Warnings()
    IoddUtility.CommonDriverManager.iodd = recorder
    return recorder


@pytest.fixture
def raw_master() -> Iterator[Callable[..., RawMaster]]:
    """raw_master(overrides={path: reply}) -> a RawMaster serving GOOD with
    the overrides; closed after the test."""
    made: list[RawMaster] = []

    def make(overrides: dict[str, Reply] | None = None) -> RawMaster:
        routes: dict[str, Reply] = {path: json_answer(value) for path, value in GOOD.items()}
        routes.update(overrides or {})
        master = RawMaster(routes)
        made.append(master)
        return master

    yield make
    for master in made:
        master.close()
