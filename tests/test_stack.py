"""Calls nested through the output function on small C stacks: a check()
started from the output function of a running check(), again and again,
directly or through C callables only (functools.partial), in the main thread
under `ulimit -s` and in threads made with threading.stack_size(). Each ends
with RecursionError before the stack runs out, never with a crash, and every
run above the refused one cleans up: base drivers closed, masters
disconnected, the run state cleared. Each case runs in a subprocess of its
own, so a crash fails the test instead of the suite."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

TESTS = pathlib.Path(__file__).resolve().parent

SCRIPT = textwrap.dedent("""
    import functools, sys, threading
    from velmora.tools import TessadynChecker as tc
    from doubles import Library, several_masters

    how, where = sys.argv[1], sys.argv[2]
    lib = Library()
    several_masters(lib)
    lib.install(tc)
    depth = [0, 0]

    def again(*args):
        # Nested at the deepest point of a run: while a device line is printed.
        if args and args[0].startswith("  * Device port"):
            depth[0] += 1
            depth[1] = max(depth[1], depth[0])
            tc.check(printFnc=again)
            depth[0] -= 1

    def report_again(*args):
        # Not check(): a report function started from its own output.
        depth[0] += 1
        depth[1] = max(depth[1], depth[0])
        tc._print_dev(dev, lib_ident, report_again, False)

    dev = lib.utility.IoddDev(1, 2, 3, None)
    lib_ident = {k: "v" for k in ("productText", "productId", "serialNumber",
                 "firmwareRevision", "hardwareRevision", "applicationSpecificTag",
                 "vendorName", "productName")}

    def run():
        if how == "partial":
            fn = functools.partial(tc.check, printFnc=None)
            fn.keywords["printFnc"] = fn
        else:
            fn = again
        try:
            if how == "report":
                report_again()
            else:
                tc.check(printFnc=fn)
        except RecursionError:
            pass
        else:
            print("no RecursionError")
            return
        ops = [e[0] for e in lib.log]
        opened = ops.count("newBase") + ops.count("getBaseDriver")
        # Every master driver set up (event checking off) is disconnected.
        listed = ops.count("disableEventChecking")
        print("RecursionError", depth[1], tc.isRunning(),
              ops.count("close") == opened, ops.count("disconnect") == listed)

    if where == "main":
        run()
    else:
        threading.stack_size(int(where))
        t = threading.Thread(target=run)
        t.start()
        t.join()
""")


def nested(how, where, stack_kib=None):
    command = [sys.executable, "-c", SCRIPT, how, where]
    if stack_kib is not None:
        command = ["sh", "-c", f'ulimit -s {stack_kib} && exec "$@"', "sh", *command]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(TESTS)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    return subprocess.run(command, capture_output=True, text=True, env=env, timeout=600)


CASES = [("main", 1024), ("main", 256), ("thread", 1024), ("thread", 256)]


@pytest.mark.parametrize("how", ["python", "partial", "report"])
@pytest.mark.parametrize("where, kib", CASES, ids=[f"{w}-{k}KiB" for w, k in CASES])
def test_nested_calls_end_with_recursion_error_and_clean_up(how, where, kib):
    if where == "main":
        result = nested(how, "main", stack_kib=kib)
    else:
        result = nested(how, str(kib * 1024))
    assert result.returncode == 0, (result.returncode, result.stderr[-3000:])
    fields = result.stdout.split()
    assert fields[:1] == ["RecursionError"], result.stdout + result.stderr[-3000:]
    assert fields[2:] == ["False", "True", "True"], result.stdout
    if how != "partial" and kib == 1024:
        # Room for a useful depth still: far more than a handful of levels.
        assert int(fields[1]) >= 20, result.stdout

