"""A caller of the checker as a typed script or front end would write it.

`make lint` checks this file with `mypy --strict` against the module's stub:
the calls in `run` must type-check, and each call marked `type: ignore` must
be an error (strict mode reports an ignore that is not needed), so a stub that
accepts too much fails as well as one that accepts too little.
`tests/test_stub.py` also runs it.
"""

from velmora.tools import TessadynChecker as tc


def run(address: str | list[str] | None = None) -> list[str]:
    lines: list[str] = []

    def collect(text: str = "") -> None:
        lines.append(text)

    tc.check()
    tc.check(address, True, collect, 2, "eth", False)
    tc.check(address=address, auto=False, printFnc=collect, verbose=0, select=None, gui=True)
    tc.check(printFnc=lambda text="": lines.append(text), select="usb")
    tc.check(printFnc=print)
    running: bool = tc.isRunning()
    tc.abort()
    assert running is False and tc._state.abort is True
    tc._state.isRuning = False
    version: str = tc.__version__ + tc.__baseversion__
    assert version
    placeholder: str = tc._get_text("", "NO_TEXT")
    return lines if placeholder else []


def rejected() -> None:
    # Each of these is wrong for the stub, and for the module at run time.
    tc.check(verbose="3")  # type: ignore[arg-type]
    tc.check(colour=True)  # type: ignore[call-arg]
    tc.check(printFnc=[].append)  # type: ignore[arg-type]
    tc.check(None, False, print, 2, None, False, 7)  # type: ignore[call-arg]
    tc.abort(True)  # type: ignore[call-arg]
    tc._get_text("x")  # type: ignore[call-arg]
    done: str = tc.check()  # type: ignore[assignment, func-returns-value]
    assert done
