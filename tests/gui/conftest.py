"""Fixtures of the GUI tests: one offscreen Kivy window for the process, the
window's view, and frame pumping.  Run with `make test-gui` (or
`pytest tests/gui`), in a process of its own."""

import ctypes.util
import os
import tempfile

import pytest

WINDOW_SIZE = (1000, 700)

if not (ctypes.util.find_library("EGL") and ctypes.util.find_library("GL")):
    pytest.skip("GUI tests need EGL and OpenGL (Debian: apt-get install libegl1 libgl1)",
                allow_module_level=True)

# Before anything imports Kivy: no user configuration, no display.
os.environ["KIVY_HOME"] = tempfile.mkdtemp(prefix="kivy-home-")
os.environ["SDL_VIDEODRIVER"] = "offscreen"
for name in ("DISPLAY", "WAYLAND_DISPLAY"):
    os.environ.pop(name, None)

from velmora.tools.gui import configure_kivy  # noqa: E402

configure_kivy(WINDOW_SIZE, headless=True)

from kivy.base import EventLoop  # noqa: E402
from kivy.core.window import Window  # noqa: E402
from velmora.base import sim  # noqa: E402

EventLoop.ensure_window()

from gui_helpers import PATIENCE, dialogs, pump  # noqa: E402


@pytest.fixture
def window():
    return Window


@pytest.fixture
def installation():
    """Use an installation (dict) for the test; the demo again afterwards."""
    yield sim.use_installation
    sim.use_installation(None)


@pytest.fixture
def make_view():
    """Views on the window; each is shut down and removed afterwards."""
    from velmora.tools.gui_app import CheckerView

    views = []

    def make(**kwargs):
        view = CheckerView(**kwargs)
        Window.add_widget(view)
        views.append(view)
        pump(2)
        return view

    yield make
    for view in views:
        assert view.shutdown(PATIENCE), "worker still running after the test"
        Window.remove_widget(view)
    for dialog in dialogs():
        dialog.dismiss(animation=False)
    pump(2)


@pytest.fixture
def view(make_view):
    return make_view()

