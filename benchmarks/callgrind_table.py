#!/usr/bin/env python3
"""Instructions per report text from a callgrind profile of profile_checker.py.

    python benchmarks/callgrind_table.py build/bench/callgrind.dev.out --texts 19200

Reads a callgrind output file (events: Ir) and prints, per text, the
instructions of the whole collected call, of the join, of the module's own
code (every instruction in the module's shared object, the inlined C API
helpers included) and of the items beside them. --texts is the number of
report texts the profiled run made (profile_checker.py prints it).
"""

from __future__ import annotations

import argparse
import re
from collections import defaultdict

# Rows of the table: label and a pattern on the function's name; the cost
# shown is inclusive (the function and everything it calls).
ROWS = [
    ("join (inclusive)", r"(^|\s)join(_sized|_text<.*>)?\("),
    ("lookup (namespace)", r"^lookup\("),
    ("strip", r"^strip\("),
    ("hex04", r"^hex04\("),
    ("text_form", r"^text_form\("),
    ("parse_args", r"^parse_args\("),
    ("PyObject_GetAttr", r"^PyObject_GetAttr$"),
    ("PyDict_GetItemRef", r"^PyDict_GetItemRef$"),
    ("PyObject_GetItem", r"^PyObject_GetItem$"),
    ("PyObject_IsTrue", r"^PyObject_IsTrue$"),
    ("PyUnicode_New", r"^PyUnicode_New$"),
    ("the output function call", r"^_PyFunction_Vectorcall$"),
]


def parse(path):
    """Self cost per function, inclusive cost of calls per (caller, callee),
    and the object file of each function."""
    names = {"fn": {}, "ob": {}}
    self_cost = defaultdict(int)
    call_cost = defaultdict(int)
    object_of = {}
    fn = ob = cfn = None
    pending_call = False
    total = 0
    comp = re.compile(r"^(c?)(fn|ob)=\((\d+)\)(?: (.*))?$")

    def resolve(kind, ident, name):
        table = names[kind]
        if name is not None:
            table[ident] = name
        return table.get(ident, ident)

    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            m = comp.match(line)
            if m:
                called, kind, ident, name = m.groups()
                value = resolve(kind, ident, name)
                if called:
                    if kind == "fn":
                        cfn = value
                else:
                    if kind == "fn":
                        fn = value
                        object_of.setdefault(fn, ob)
                    else:
                        ob = value
                continue
            if line.startswith("summary:"):
                total = int(line.split()[1])
                continue
            if line.startswith("calls="):
                pending_call = True
                continue
            if not line or not (line[0].isdigit() or line[0] in "+-*"):
                continue
            parts = line.split()
            if len(parts) < 2:
                continue
            cost = int(parts[1])
            if pending_call:
                call_cost[(fn, cfn)] += cost
                pending_call = False
            else:
                self_cost[fn] += cost
    return total, self_cost, call_cost, object_of


def short(name):
    name = re.sub(r"\(anonymous namespace\)::", "", name)
    return name


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("profile")
    parser.add_argument("--texts", type=int, required=True, help="report texts made")
    parser.add_argument("--module", default="TessadynChecker",
                        help="substring of the path of the module's shared object")
    parser.add_argument("--top", type=int, default=12, help="also list the top N by self cost")
    args = parser.parse_args()

    total, self_cost, call_cost, object_of = parse(args.profile)
    inclusive = defaultdict(int)
    for fn, cost in self_cost.items():
        inclusive[fn] += cost
    for (caller, callee), cost in call_cost.items():
        if caller != callee:
            inclusive[caller] += cost

    n = args.texts
    own = sum(c for fn, c in self_cost.items() if args.module in (object_of.get(fn) or ""))
    print("| | instructions per text |")
    print("|---|---|")
    print(f"| whole call (inclusive) | {total / n:,.0f} |")
    print(f"| module's own code (exclusive, its shared object) | {own / n:,.0f} "
          f"({100 * own / total:.0f}%) |")
    for label, pattern in ROWS:
        rx = re.compile(pattern)
        # Calls into the matching functions from functions that do not match.
        cost = sum(c for (caller, callee), c in call_cost.items()
                   if rx.search(short(callee)) and not rx.search(short(caller or "")))
        if cost:
            print(f"| {label} | {cost / n:,.0f} |")
    print()
    print("top functions by self cost, per text:")
    for fn, cost in sorted(self_cost.items(), key=lambda kv: -kv[1])[: args.top]:
        print(f"  {cost / n:8,.0f}  {short(fn)[:90]}")


if __name__ == "__main__":
    main()
