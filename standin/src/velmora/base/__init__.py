"""Stand-in for the ``velmora.base`` IO-Link driver library.

The driver objects live in the submodules ``velmora.base._IoddDrv`` and
``velmora.base.IoddUtility``; test hooks are in ``velmora.base.sim``.  This
module deliberately imports none of them at load, so that
``from velmora.base import _IoddDrv, IoddUtility`` loads them as submodules.

``expect_addresses`` is the call of front ends that take addresses from a
user (the command line, the window).
"""

from __future__ import annotations

import os as _os
from collections.abc import Iterable

__version__ = "0.9.0"

__all__ = ["__version__", "expect_addresses"]


def expect_addresses(addresses: Iterable[str]) -> list[str]:
    """Check the addresses a user gave and tell the library that they are
    asked next, one after another; returns the addresses to ask for, in
    order: an address range (``10.0.0.0/24``, ``10.0.0.10-10.0.0.40``,
    optionally ``:PORT``, at most 1024 addresses) replaced by its
    addresses, each address once.

    Raises ValueError naming the first malformed address and why (a range
    that is too large, ends before it starts or has a bad prefix, a port out
    of range, a malformed URL, a bad ``#N``) before any master is asked.

    The IP driver then probes all of them at once on the first
    ``discover(addr)`` of one of them, so that asking for each in turn takes
    about as long as the slowest one; the base driver's ``close()`` stops
    what is left.  Masters found at addresses of a range get no netrc
    ``default`` credentials.  Call it before every check that is limited to
    addresses (with no addresses, before every check): the note about
    emulated masters is given once per such call."""
    from ._address import given_addresses
    from ._state import runtime

    given = given_addresses(list(addresses))
    runtime.noted = False
    # The transport, not the plant: a malformed installation file is the
    # check's error, not this call's.
    expect = getattr(runtime.ip_transport(), "expect", None)
    if callable(expect):
        expect(given)
    return [address for _, address in given]


if _os.environ.get("VELMORA_TEST_NET_GUARD"):
    # The test suite's network guard, carried into every process it starts
    # that loads this library (see _netguard).
    from ._netguard import install as _install_guard

    _install_guard(_os.environ["VELMORA_TEST_NET_GUARD"])
