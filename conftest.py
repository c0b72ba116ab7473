"""The network guard of every test run (tests/, tests/gui/, standin/tests/).

Tests send traffic to 127.0.0.0/8 and ::1 only.  Before any test runs, this
file points VELMORA_TEST_NET_GUARD at a report file of the session, and
guards this process: from then on every process that loads velmora.base
with that environment (this one, and each command, server or script a test
starts, which inherit it) refuses any other destination and any name
look-up but localhost's, and writes a line to the report file
(velmora.base._netguard).  A test during which a line was written fails.
"""

from __future__ import annotations

import os
import tempfile
from collections.abc import Iterator

import pytest
from velmora.base import _netguard

_fd, REPORT = tempfile.mkstemp(prefix="net-guard-", suffix=".txt")
os.close(_fd)
os.environ[_netguard.ENV] = REPORT
_netguard.install(REPORT)


@pytest.fixture(autouse=True)
def network_guard() -> Iterator[None]:
    before = len(_netguard.refusals(REPORT))
    yield
    refused = _netguard.refusals(REPORT)[before:]
    if refused:
        pytest.fail("traffic outside the loopback refused by the network guard:\n  " + "\n  ".join(refused),
                    pytrace=False)


def pytest_sessionfinish() -> None:
    try:
        os.remove(REPORT)
    except OSError:
        pass
