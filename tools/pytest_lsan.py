"""pytest plugin for the sanitizer run: a LeakSanitizer check at exit.

The check runs from an exit handler, once the tests and every Python frame
but its own have finished and before the interpreter tears itself down.
What the interpreter keeps for the life of the process (interned strings,
module state, type caches) is then still reachable, and what nothing refers
to any more is reported. (The sanitizer's own check after the interpreter
has finished reports the interpreter's immortal objects by the thousand, so
tools/test-sanitize.sh turns that one off.) A report ends the process with
exit status 1."""

import atexit
import ctypes
import gc
import os
import sys


def leak_check():
    """Runs LeakSanitizer now: the number of reports is not given, only
    whether there were any. None when the process runs without it."""
    try:
        check = ctypes.CDLL(None).__lsan_do_recoverable_leak_check
    except AttributeError:
        return None
    gc.collect()
    return check() != 0


_flush = []   # what pytest wrote its report to, flushed before a hard exit


def _at_exit():
    for flush in _flush + [sys.stdout.flush, sys.stderr.flush]:
        flush()
    leaked = leak_check()
    print("leak check:", {None: "LeakSanitizer not loaded", True: "LEAKS", False: "no leaks"}[leaked],
          file=sys.stderr, flush=True)
    if leaked is not False:
        os._exit(1)


def pytest_configure(config):
    atexit.register(_at_exit)


def pytest_unconfigure(config):
    reporter = config.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None:
        _flush.append(reporter.flush)
