import pytest

from velmora.tools import TessadynChecker

from doubles import Library


@pytest.fixture
def tc():
    """The checker module; names a test rebinds and the run state are restored."""
    saved = dict(vars(TessadynChecker))
    state = TessadynChecker._state
    yield TessadynChecker
    namespace = vars(TessadynChecker)
    if list(namespace.items()) != list(saved.items()):
        # Rebuilt in the original order: a deleted name put back would
        # otherwise move to the end.
        namespace.clear()
        namespace.update(saved)
    state.abort = False
    state.isRuning = False


@pytest.fixture
def lib(tc):
    """A fresh recording driver library, installed into the checker."""
    library = Library()
    library.install(tc)
    return library


class Output:
    """An output function that records its calls; None stands for a call
    without argument."""

    def __init__(self):
        self.calls = []

    def __call__(self, *args):
        assert len(args) <= 1
        self.calls.append(args[0] if args else None)

    @property
    def text(self):
        return "\n".join("" if c is None else c for c in self.calls)


@pytest.fixture
def out():
    return Output()


# The GUI tests (tests/gui) run in a pytest process of their own: Kivy's
# window, clock and logging belong to the whole process (make test-gui).
collect_ignore = ["gui"]
