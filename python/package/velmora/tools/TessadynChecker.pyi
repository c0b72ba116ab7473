"""Velmora Tessadyn Checker: finds IO-Link masters and reports their devices.

(c) Velmora. Created 2026-12-07."""

from collections.abc import Mapping, Sequence
from typing import Any, ClassVar, Final, Protocol, TypeAlias, type_check_only

# Objects of the driver library velmora.base (master bridges, base and master
# drivers, device records): the checker reads their attributes and calls their
# operations, and takes whatever the installed library hands out.
_MasterBridge: TypeAlias = Any
_BaseDriver: TypeAlias = Any
_MasterDriver: TypeAlias = Any
_Device: TypeAlias = Any

@type_check_only
class _PrintFnc(Protocol):
    # Called with each report as one text, and once without argument for the
    # empty line before the summary (the built-in print fits).
    def __call__(self, text: str = ..., /) -> object: ...

__version__: Final = "1.9.2"
# The driver library's own version, or __version__ when it publishes none.
__baseversion__: str

class _state:
    abort: ClassVar[bool]
    isRuning: ClassVar[bool]

def abort() -> None:
    """Abort running check"""

def isRunning() -> bool:
    """Is checker running?"""

# printFnc defaults to the interpreter's print as found when the module loaded.
def check(
    address: str | list[str] | None = None,
    auto: bool = False,
    printFnc: _PrintFnc = ...,
    verbose: int = 2,
    select: str | None = None,
    gui: bool = False,
) -> None:
    """Check for IO-Link masters and devices and print them to stdout

    .. hint:: IP based masters with disabled ports will not show devices if `auto` if off.

    Args:
        address (list, str or None): check specific master address(es) (None = all masters)
        auto (bool): if True, activate master ports for IP-based masters if all are disabled
            (changes master port configs, use with caution in productive systems)
        printFnc (callable): output function with one argument for text (default print)
        verbose (int): verbosity 0..3 (default 2)
        select (str or None): select specific masters (None = all)
            * 'ETH': Ethernet and WiFi based masters only
            * 'USB': USB masters only
            * 'BLE': Bluetooth LE based masters only
        gui (bool): print outputs for GUI
    """

def _discover(
    base: _BaseDriver, address: list[str] | None, found: list[str]
) -> Sequence[_MasterBridge]: ...
def _list_master(
    masterbridge: _MasterBridge,
    opt: dict[str, str],
    anyActivated: bool,
    found: list[str],
    printFnc: _PrintFnc,
    debug: int,
    gui: bool,
) -> int: ...
def _get_master(
    masterbridge: _MasterBridge, opt: dict[str, str], printFnc: _PrintFnc, debug: int
) -> _MasterDriver | None: ...
def _print_master(master: _MasterBridge, printFnc: _PrintFnc, gui: bool) -> None: ...
def _get_text[V, D](val: V, default: D) -> V | D: ...
def _print_dev(
    dev: _Device, ident: Mapping[str, Any] | None, printFnc: _PrintFnc, gui: bool
) -> None: ...
