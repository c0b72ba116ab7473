"""Memory of tessadyn-check --watch over many rounds of the demo plant (not
part of make test; figures for the README):

    .venv/bin/python benchmarks/watch_memory.py [--rounds 1000]

Runs the command's watch in this process, without waiting between rounds,
and prints, at a few rounds, the memory Python has allocated (tracemalloc)
and the process's resident set.  The demo plant changes nothing, so every
round after the first is quiet; with --changing every round changes a tag
(a change line per round).  The stand-in keeps its latest 10,000 driver
events (about 20 a round of the demo): they fill up over the first 500
rounds."""

from __future__ import annotations

import argparse
import contextlib
import gc
import os
import tracemalloc

from velmora.base import sim
from velmora.tools import tessadyn_check


def rss_kib() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


class Lines:
    """Standard output that keeps nothing: it counts the lines."""

    lines = 0

    def write(self, text: str) -> int:
        self.lines += text.count("\n")
        return len(text)

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return False


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=1000)
    parser.add_argument("--changing", action="store_true")
    args = parser.parse_args()
    marks = sorted({10, 100, args.rounds} | {n for n in (250, 500, 750) if n < args.rounds})
    plant = sim.demo_installation()
    rounds: list[int] = []
    rows = []

    def wait(self, seconds):
        rounds.append(1)
        n = len(rounds)
        if args.changing:
            device = plant["masters"][0]["ports"][0]["device"]
            device["identification"]["applicationSpecificTag"] = f"tag {n}"
            sim.use_installation(plant)
        if n in marks:
            gc.collect()  # what is left is live, not garbage waiting for a collection
            current, peak = tracemalloc.get_traced_memory()
            rows.append((n, current, peak, rss_kib()))
        return n >= args.rounds

    tessadyn_check._WatchInterrupts.wait = wait  # type: ignore[method-assign]
    sim.use_installation(plant)
    tracemalloc.start()
    out = Lines()
    with contextlib.redirect_stdout(out):
        status = tessadyn_check.main(["--watch", "1", "--color", "never"])
    assert status == 0, status
    print(f"{args.rounds} rounds of the demo plant{' (a tag changed each round)' if args.changing else ''}; "
          f"{out.lines} lines printed")
    print("round  traced now  traced peak  resident")
    for n, current, peak, rss in rows:
        print(f"{n:5d}  {current / 1024:8.1f} KiB  {peak / 1024:8.1f} KiB  {rss / 1024:6.1f} MiB")


if __name__ == "__main__":
    main()
