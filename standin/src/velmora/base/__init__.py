"""Stand-in for the ``velmora.base`` IO-Link driver library.

The driver objects live in the submodules ``velmora.base._IoddDrv`` and
``velmora.base.IoddUtility``; test hooks are in ``velmora.base.sim``.  This
module deliberately imports none of them, so that
``from velmora.base import _IoddDrv, IoddUtility`` loads them as submodules.
"""

__version__ = "0.9.0"
