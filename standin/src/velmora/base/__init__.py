"""Stand-in for the ``velmora.base`` IO-Link driver library.

The driver objects live in the submodules ``velmora.base._IoddDrv`` and
``velmora.base.IoddUtility``; test hooks are in ``velmora.base.sim``.  This
module deliberately imports none of them at load, so that
``from velmora.base import _IoddDrv, IoddUtility`` loads them as submodules.
"""

from __future__ import annotations

import os as _os

__version__ = "0.9.0"

if _os.environ.get("VELMORA_TEST_NET_GUARD"):
    # The test suite's network guard, carried into every process it starts
    # that loads this library (see _netguard).
    from ._netguard import install as _install_guard

    _install_guard(_os.environ["VELMORA_TEST_NET_GUARD"])
