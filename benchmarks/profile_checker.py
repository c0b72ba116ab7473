#!/usr/bin/env python3
"""A fixed workload of the checker on the driver-library double, for profilers.

    valgrind --tool=callgrind --callgrind-out-file=build/bench/callgrind.out \\
        --toggle-collect='*tc_check*' \\
        python benchmarks/profile_checker.py [--what check|master|dev] [--so PATH]
    callgrind_annotate --inclusive=yes build/bench/callgrind.out | head -60

--toggle-collect limits the counts to the time spent inside the module's
function (`*tc_print_master*`, `*tc_print_dev*` for --what master / dev), so
the import, the building of the double and the driving loop stay out.

--so loads the module from another build (e.g. one compiled with -g; the
installed one is stripped) instead of the installed one.
"""

from __future__ import annotations

import argparse
import importlib.util
import sys
from collections import deque
from itertools import repeat
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from driver_double import Installation, null  # noqa: E402

NAME = "velmora.tools.TessadynChecker"


def load(path):
    if not path:
        from velmora.tools import TessadynChecker
        return TessadynChecker
    import velmora.tools  # noqa: F401  (the parent package)
    spec = importlib.util.spec_from_file_location(NAME, path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[NAME] = module
    spec.loader.exec_module(module)
    return module


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--what", choices=("check", "master", "dev"), default="check")
    parser.add_argument("--masters", type=int, default=200)
    parser.add_argument("--devices", type=int, default=8)
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--so", help="load the module from this shared object")
    parser.add_argument("--blanks", action="store_true",
                        help="the variant workload: a quarter of the devices without "
                             "identification, blanks around the identification texts")
    args = parser.parse_args()

    m = load(args.so)
    lib = Installation(args.masters, args.devices, blanks=args.blanks)
    with lib.installed(m):
        m.check(printFnc=null)   # warm-up
        if args.what == "check":
            work = lambda: m.check(printFnc=null)  # noqa: E731
        elif args.what == "master":
            work = lambda: deque(map(m._print_master, lib.bridges, repeat(null),  # noqa: E731
                                     repeat(False)), 0)
        else:
            records = lib.device_records()
            devs = [d for d, _ in records]
            idents = [i for _, i in records]
            work = lambda: deque(map(m._print_dev, devs, idents, repeat(null),  # noqa: E731
                                     repeat(False)), 0)
        work()
        for _ in range(args.runs):
            work()
    # The warm-up check() makes every report text once more.
    per_run = {"check": 1, "master": args.masters,
               "dev": args.masters * args.devices}[args.what]
    print(f"texts: {per_run * (args.runs + 2)}", file=sys.stderr)


if __name__ == "__main__":
    main()
