"""Frame pumping and waiting for the GUI tests (the window exists once
conftest.py has run)."""

import time

import pytest
from kivy.base import EventLoop
from kivy.core.window import Window
from kivy.uix.modalview import ModalView

# Upper bound for waiting on a worker; never reached by a passing test.
PATIENCE = 60.0


def pump(frames=1):
    for _ in range(frames):
        EventLoop.idle()


def wait_for(condition, what="condition"):
    """Run frames until condition() is true."""
    deadline = time.monotonic() + PATIENCE
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"gave up waiting for {what}")
        pump()


def dialogs():
    return [w for w in Window.children if isinstance(w, ModalView)]


def run_check(view):
    """Press Check and wait until the run has ended."""
    assert view.start_check()
    wait_for(lambda: view.outcome is not None, "the end of the run")
    pump(3)
    return view.outcome
