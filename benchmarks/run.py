#!/usr/bin/env python3
"""Benchmarks of velmora.tools.TessadynChecker (`make bench`).

Compares the module with the plain-Python baseline (baseline_checker.py) and
with that same file compiled by Cython, all three on the lean driver-library
double of driver_double.py and a null output function:

  (a) whole check() runs over N masters x M devices (default 200 x 8);
  (b) the report functions alone, _print_master and _print_dev, on prepared
      objects;
  (c) time per master from 10 to 10,000 masters;
  (d) memory: tracemalloc peak and maxrss of a 10,000-master run, and the
      allocated-block count across repeated runs.

Before anything is timed the three implementations must print byte-identical
output on the double. Timings are medians of repeated runs, interleaved
round-robin in one process (the order rotates every round), with the cyclic
GC off while timing. Nothing here is part of `make test`.

    python benchmarks/run.py [--quick] [--masters N] [--devices M] [--json FILE]
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import importlib
import json
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import time
import tracemalloc
from collections import deque
from itertools import repeat
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
BUILD = ROOT / "build" / "bench"
sys.path.insert(0, str(HERE))

import baseline_checker  # noqa: E402
from driver_double import Installation, null  # noqa: E402

CYTHON_NAME = "baseline_checker_cy"
LABELS = {"module": "module (C++)", "python": "Python", "cython": "Cython"}

# Targets of issue 6.
TARGET_REPORT_VS_PYTHON = 3.0
TARGET_REPORT_VS_CYTHON = 1.5
TARGET_CHECK_VS_PYTHON = 2.5
TARGET_FLATNESS = 1.20


# ---------------------------------------------------------------- set-up

def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"cpu": cpu, "nproc": os.cpu_count(), "python": platform.python_version(),
            "platform": platform.platform()}


def build_cython():
    """baseline_checker.py compiled by Cython under another module name, in
    build/bench/cython (rebuilt when the source or the tool versions change).
    Returns (module, None) or (None, reason)."""
    try:
        import Cython
    except ImportError as exc:
        return None, f"Cython is not installed ({exc})"
    source = HERE / "baseline_checker.py"
    out = BUILD / "cython"
    key = hashlib.sha256(source.read_bytes() + Cython.__version__.encode()
                         + sys.version.encode()).hexdigest()
    stamp = out / "stamp"
    built = list(out.glob(CYTHON_NAME + ".*.so")) + list(out.glob(CYTHON_NAME + ".*.pyd"))
    if not (built and stamp.exists() and stamp.read_text() == key):
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir(parents=True)
        shutil.copyfile(source, out / (CYTHON_NAME + ".py"))
        print(f"compiling the baseline with Cython {Cython.__version__} ...", flush=True)
        proc = subprocess.run(
            [sys.executable, "-m", "Cython.Build.Cythonize", "-i", "-q", CYTHON_NAME + ".py"],
            cwd=out, capture_output=True, text=True)
        if proc.returncode != 0:
            return None, "Cython build failed:\n" + (proc.stdout + proc.stderr)[-2000:]
        (out / (CYTHON_NAME + ".py")).unlink()
        stamp.write_text(key)
    sys.path.insert(0, str(out))
    try:
        module = importlib.import_module(CYTHON_NAME)
    except ImportError as exc:
        return None, f"the Cython build does not import: {exc}"
    if not module.__file__.endswith((".so", ".pyd")):
        return None, f"{CYTHON_NAME} imported from {module.__file__}, not from the build"
    return module, None


def load_impls(use_cython):
    from velmora.tools import TessadynChecker
    impls = {"module": TessadynChecker, "python": baseline_checker}
    note = None
    if use_cython:
        module, note = build_cython()
        if module is not None:
            impls["cython"] = module
    else:
        note = "left out (--no-cython)"
    return impls, note


# ---------------------------------------------------------------- equivalence

def capture(func, *args, **kwargs):
    out = []
    func(*args, printFnc=lambda *a: out.append(a), **kwargs)
    return out


def assert_same_output(impls, lib):
    """Every implementation prints exactly what the module prints."""
    records = lib.device_records()
    with lib.installed(*impls.values()):
        for gui in (False, True):
            outputs = {}
            for name, m in impls.items():
                out = capture(m.check, gui=gui)
                for master in lib.bridges:
                    m._print_master(master, lambda *a: out.append(a), gui)
                for dev, ident in records:
                    m._print_dev(dev, ident, lambda *a: out.append(a), gui)
                outputs[name] = out
            want = outputs["module"]
            for name, got in outputs.items():
                if got != want:
                    first = next(i for i, (a, b) in enumerate(zip(got, want)) if a != b) \
                        if len(got) == len(want) else min(len(got), len(want))
                    raise SystemExit(
                        f"OUTPUT DIFFERS: {LABELS[name]} vs module, gui={gui}, "
                        f"call {first}:\n  {name}: {got[first:first + 1]!r}\n"
                        f"  module: {want[first:first + 1]!r}")
    return sum(len(a[0]) + 1 if a else 1 for a in want)


# ---------------------------------------------------------------- timing

def interleaved(funcs, budget, min_rounds=5, max_rounds=400, group=lambda key: None,
                sample_time=2e-3):
    """Median seconds per call of each function, timed round-robin.

    A sample is `inner` back-to-back calls, the same count for every function
    of a group (`group(key)`), chosen so that a sample lasts at least
    `sample_time`; the number of rounds fills `budget` seconds. Each round
    times every function once, in an order that rotates from round to round,
    so a change of machine load hits all of them alike."""
    names = list(funcs)
    for name in names:   # warm-up
        funcs[name]()
    estimate = {}
    for name in names:
        t0 = time.perf_counter()
        funcs[name]()
        estimate[name] = max(time.perf_counter() - t0, 1e-7)
    fastest = {}
    for name in names:
        g = group(name)
        fastest[g] = min(fastest.get(g, estimate[name]), estimate[name])
    inner = {name: max(1, int(sample_time / fastest[group(name)])) for name in names}
    per_round = sum(estimate[name] * inner[name] for name in names)
    rounds = max(min_rounds, min(max_rounds, int(budget / per_round)))
    samples = {name: [] for name in names}
    enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        timer = time.perf_counter_ns
        for r in range(rounds):
            k = r % len(names)
            for name in names[k:] + names[:k]:
                func = funcs[name]
                n = inner[name]
                t0 = timer()
                for _ in range(n):
                    func()
                samples[name].append((timer() - t0) / n * 1e-9)
    finally:
        if enabled:
            gc.enable()
    result = {}
    for name, values in samples.items():
        q = statistics.quantiles(values, n=4) if len(values) > 1 else values * 3
        med = statistics.median(values)
        result[name] = {"median": med, "min": min(values), "iqr": (q[2] - q[0]) / med,
                        "rounds": rounds, "inner": inner[name], "samples": values}
    return result


def check_funcs(impls):
    return {name: (lambda m=m: m.check(printFnc=null)) for name, m in impls.items()}


def report_funcs(impls, lib):
    masters = lib.bridges
    records = lib.device_records()
    devs = [d for d, _ in records]
    idents = [i for _, i in records]
    # The loops run in C (map + a zero-length deque), so they add ~10 ns per call.
    master = {name: (lambda f=m._print_master: deque(
        map(f, masters, repeat(null), repeat(False)), 0)) for name, m in impls.items()}
    device = {name: (lambda f=m._print_dev: deque(
        map(f, devs, idents, repeat(null), repeat(False)), 0)) for name, m in impls.items()}
    return master, device


# ---------------------------------------------------------------- memory

def blocks_growth(impls, lib, runs):
    """Allocated blocks after `runs` more check() runs, against after warm-up.

    The interpreter's own bookkeeping moves the count by a few blocks either
    way; a leak shows as at least one block per run (a master or device leak
    as hundreds), so less than one block per two runs counts as no growth."""
    growth = {}
    with lib.installed(*impls.values()):
        for name, m in impls.items():
            for _ in range(3):
                m.check(printFnc=null)
            gc.collect()
            before = sys.getallocatedblocks()
            for _ in range(runs):
                m.check(printFnc=null)
            gc.collect()
            growth[name] = sys.getallocatedblocks() - before
    return growth


def traced_peak(impls, lib):
    """tracemalloc peak of one check() run above what was allocated before it."""
    peaks = {}
    with lib.installed(*impls.values()):
        for name, m in impls.items():
            m.check(printFnc=null)
            gc.collect()
            tracemalloc.start()
            try:
                tracemalloc.reset_peak()
                start = tracemalloc.get_traced_memory()[0]
                m.check(printFnc=null)
                peaks[name] = tracemalloc.get_traced_memory()[1] - start
            finally:
                tracemalloc.stop()
    return peaks


def rss_child(impl, masters, devices, cython_dir):
    """In a fresh interpreter: maxrss before and after one check() run."""
    cmd = [sys.executable, str(Path(__file__).resolve()), "--rss-child", impl,
           "--masters", str(masters), "--devices", str(devices)]
    env = dict(os.environ, BENCH_CYTHON_DIR=cython_dir or "")
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        return {"error": (proc.stdout + proc.stderr)[-500:]}
    return json.loads(proc.stdout.splitlines()[-1])


def rss_child_main(impl, masters, devices):
    if impl == "module":
        from velmora.tools import TessadynChecker as m
    elif impl == "python":
        m = baseline_checker
    else:
        sys.path.insert(0, os.environ["BENCH_CYTHON_DIR"])
        m = importlib.import_module(CYTHON_NAME)
    lib = Installation(masters, devices)
    with lib.installed(m):
        gc.collect()
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        m.check(printFnc=null)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"before_kib": before, "after_kib": after}))


# ---------------------------------------------------------------- output

def us(seconds):
    return f"{seconds * 1e6:.2f} µs"


def ratio(results, a, b):
    """How many times faster `a` is than `b`: the median over the rounds of
    the ratio of the two samples taken in the same round."""
    if a in results and b in results:
        return statistics.median(
            tb / ta for ta, tb in zip(results[a]["samples"], results[b]["samples"]))
    return None


def fmt_ratio(value):
    return "n/a" if value is None else f"{value:.2f}x"


def verdict(value, target):
    if value is None:
        return "n/a"
    return ("PASS" if value >= target else "FAIL") + f" ({value:.2f}x vs >= {target:g}x)"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--masters", type=int, default=200)
    parser.add_argument("--devices", type=int, default=8)
    parser.add_argument("--quick", action="store_true", help="short smoke run")
    parser.add_argument("--no-cython", action="store_true", help="leave the Cython build out")
    parser.add_argument("--scaling", default=None,
                        help="master counts for the scaling run (default 10,100,1000,10000)")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("--rss-child", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.rss_child:
        rss_child_main(args.rss_child, args.masters, args.devices)
        return 0

    quick = args.quick
    budget = 0.4 if quick else 6.0
    sizes = [int(s) for s in (args.scaling or ("10,100,1000" if quick else
                                               "10,100,1000,10000")).split(",")]
    big = max(sizes)
    started = time.perf_counter()

    impls, cython_note = load_impls(not args.no_cython)
    cython_dir = str(BUILD / "cython") if "cython" in impls else None
    info = machine()
    load = os.getloadavg()[0]
    print(f"machine: {info['nproc']} x {info['cpu']}, Python {info['python']}, "
          f"{info['platform']}; load average {load:.2f}")
    if load > 0.5 * (info["nproc"] or 1):
        print("WARNING: the machine is busy; timings will be noisy (the ratios, taken "
              "round by round, suffer least)")
    if "cython" in impls:
        import Cython
        info["cython"] = Cython.__version__
    print("implementations: " + ", ".join(LABELS[n] for n in impls)
          + (f" {info['cython']}" if "cython" in info else "")
          + (f"   [Cython: {cython_note}]" if cython_note else ""))

    M, D = args.masters, args.devices
    lib = Installation(M, D)
    ndev = lib.ndevices
    chars = assert_same_output(impls, lib)
    print(f"output check: all {len(impls)} print identical output for {M} x {D} "
          f"(check() and the report functions, plain and GUI; {chars} characters each)")
    results = {"machine": info, "masters": M, "devices": D, "quick": quick}

    def timed(lib):
        # (a) whole check() runs, (b) the report functions alone
        with lib.installed(*impls.values()):
            checks = interleaved(check_funcs(impls), budget * 2)
        with lib.installed(*impls.values()):
            master_funcs, device_funcs = report_funcs(impls, lib)
            masters = interleaved(master_funcs, budget)
            devices = interleaved(device_funcs, budget)
        return checks, masters, devices

    def table(title, checks, masters, devices, ndev):
        print()
        print(f"## Timings, {title} (median; +- is the interquartile range)")
        print()
        header = "| | " + " | ".join(LABELS[n] for n in impls) + \
            " | module vs Python | module vs Cython |"
        print(header)
        print("|" + "---|" * (header.count("|") - 1))
        rows = [("check(), per master", checks, M), ("check(), per device", checks, ndev),
                ("`_print_master`, per master", masters, M),
                ("`_print_dev`, per device", devices, ndev)]
        for label, res, count in rows:
            cells = [f"{us(res[n]['median'] / count)} +-{res[n]['iqr'] * 100:.0f}%"
                     for n in impls]
            print(f"| {label} | " + " | ".join(cells)
                  + f" | {fmt_ratio(ratio(res, 'module', 'python'))}"
                  f" | {fmt_ratio(ratio(res, 'module', 'cython'))} |")
        print()
        print(f"(whole check() over {M} x {D}: " + ", ".join(
            f"{LABELS[n]} {checks[n]['median'] * 1e3:.3f} ms" for n in impls)
            + f"; {checks['module']['rounds']} rounds)")

    checks, masters, devices = timed(lib)
    results.update(check=checks, print_master=masters, print_dev=devices)
    table(f"{M} masters x {D} devices", checks, masters, devices, ndev)

    # The variant: every fourth device without identification, blanks
    # around every identification text.
    blib = Installation(M, D, blanks=True)
    assert_same_output(impls, blib)
    b_checks, b_masters, b_devices = timed(blib)
    results["blanks"] = dict(check=b_checks, print_master=b_masters, print_dev=b_devices)
    table(f"{M} x {D}, a quarter of the devices without identification, blanks around "
          "the identification texts", b_checks, b_masters, b_devices, blib.ndevices)
    del blib

    # (c) scaling
    print()
    print(f"## Time per master, {D} devices each (whole check())")
    print()
    libs = {n: Installation(n, D) for n in sizes}
    funcs = {}
    for n, slib in libs.items():
        for name, m in impls.items():
            def run(m=m, drv=slib._IoddDrv, util=slib.IoddUtility):
                m._IoddDrv = drv
                m.IoddUtility = util
                m.check(printFnc=null)
            funcs[n, name] = run
    # Every size and implementation in each round; a sample of a small size
    # repeats the run so that it lasts about as long as one of the largest.
    with libs[sizes[0]].installed(*impls.values()):   # puts the originals back
        res = interleaved(funcs, budget * 5, min_rounds=3 if quick else 9,
                          group=lambda key: key[0], sample_time=0.01 if quick else 0.03)
    del libs, funcs
    scaling = {n: {name: res[n, name] for name in impls} for n in sizes}
    print("| masters | " + " | ".join(LABELS[n] for n in impls) + " |")
    print("|---|" + "---|" * len(impls))
    for n in sizes:
        print(f"| {n:,} | " + " | ".join(us(scaling[n][i]["median"] / n) for i in impls) + " |")
    flat, flat_min = {}, {}
    for name in impls:
        per = [scaling[n][name]["median"] / n for n in sizes]
        flat[name] = max(per) / min(per)
        per = [scaling[n][name]["min"] / n for n in sizes]
        flat_min[name] = max(per) / min(per)
    print()
    print("spread of the time per master (max/min over the sizes), of the medians: " + ", ".join(
        f"{LABELS[n]} {flat[n]:.2f}" for n in impls))
    print("  the same of the fastest samples (less sensitive to other load): " + ", ".join(
        f"{LABELS[n]} {flat_min[n]:.2f}" for n in impls))
    results["scaling"] = {str(n): v for n, v in scaling.items()}
    print(f"({res[sizes[-1], 'module']['rounds']} rounds)")
    results["flatness"] = flat
    results["flatness_of_min"] = flat_min

    # (d) memory
    print()
    print(f"## Memory ({big:,} masters x {D} devices)")
    print()
    mlib = Installation(big, D)
    peaks = traced_peak(impls, mlib)
    del mlib
    gc.collect()
    rss = {n: rss_child(n, big, D, cython_dir) for n in impls}
    glib = Installation(M, D)
    runs = 40 if quick else 100
    growth = blocks_growth(impls, glib, runs)
    print("| | " + " | ".join(LABELS[n] for n in impls) + " |")
    print("|---|" + "---|" * len(impls))
    print("| tracemalloc peak of one run | " + " | ".join(
        f"{peaks[n] / 1024:.1f} KiB" for n in impls) + " |")
    print("| maxrss after the run (fresh process) | " + " | ".join(
        f"{rss[n]['after_kib'] / 1024:.1f} MiB" if "after_kib" in rss[n] else "error"
        for n in impls) + " |")
    print("| maxrss added by the run | " + " | ".join(
        f"{(rss[n]['after_kib'] - rss[n]['before_kib']) / 1024:.1f} MiB"
        if "after_kib" in rss[n] else "error" for n in impls) + " |")
    print(f"| allocated blocks after {runs} more runs ({M} x {D}) | " + " | ".join(
        f"{growth[n]:+d}" for n in impls) + " |")
    for n in impls:
        if "error" in rss[n]:
            print(f"maxrss child for {LABELS[n]} failed: {rss[n]['error']}")
    results.update(tracemalloc_peak=peaks, maxrss=rss, block_growth=growth)

    # targets
    print()
    print("## Targets")
    print()
    targets = [
        ("_print_master vs Python", ratio(masters, "module", "python"), TARGET_REPORT_VS_PYTHON),
        ("_print_dev vs Python", ratio(devices, "module", "python"), TARGET_REPORT_VS_PYTHON),
        ("_print_master vs Cython", ratio(masters, "module", "cython"), TARGET_REPORT_VS_CYTHON),
        ("_print_dev vs Cython", ratio(devices, "module", "cython"), TARGET_REPORT_VS_CYTHON),
        (f"check() {M} x {D} vs Python", ratio(checks, "module", "python"),
         TARGET_CHECK_VS_PYTHON),
        ("blanks: _print_master vs Python", ratio(b_masters, "module", "python"),
         TARGET_REPORT_VS_PYTHON),
        ("blanks: _print_dev vs Python", ratio(b_devices, "module", "python"),
         TARGET_REPORT_VS_PYTHON),
        ("blanks: check() vs Python", ratio(b_checks, "module", "python"),
         TARGET_CHECK_VS_PYTHON),
    ]
    for label, value, target in targets:
        print(f"- {label}: {verdict(value, target)}")
    spread = flat["module"]
    print(f"- time per master flat within {round((TARGET_FLATNESS - 1) * 100)}% "
          f"({sizes[0]:,} to {big:,}): "
          f"{'PASS' if spread <= TARGET_FLATNESS else 'FAIL'} (max/min {spread:.2f})")
    grew = growth["module"]
    print(f"- no memory growth across runs: {'PASS' if grew < runs / 2 else 'FAIL'} "
          f"({grew:+d} blocks after {runs} runs; a leak adds at least {runs})")
    if M != 200 or D != 8:
        print(f"  (the check() target is stated for 200 x 8; this run used {M} x {D})")

    elapsed = time.perf_counter() - started
    print()
    print(f"benchmarks done in {elapsed:.0f} s (load average now {os.getloadavg()[0]:.2f})")
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=2, default=str))
    return 0


if __name__ == "__main__":
    sys.exit(main())
