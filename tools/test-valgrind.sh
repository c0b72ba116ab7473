#!/usr/bin/env bash
# The checker module's tests under valgrind memcheck: every memory error
# (invalid read or write, use of uninitialised memory, bad free) in the
# module or anything it calls fails the run.
#
# The interpreter allocates through malloc (PYTHONMALLOC=malloc) so that
# memcheck sees every object. Leaks are left to tools/test-sanitize.sh.
# The repetitive tests run scaled down (TESSADYN_STRESS). Left out: the tests
# of the driver-library stand-in, the command line (its report-text filter is
# pure Python) and its inventory, the README's sessions, the window's worker
# and the REST transport with its read-ahead, and the comparison with the
# benchmarks' Python baseline (two minutes under memcheck), which do not
# exercise the module beyond what the others do.
# Arguments replace the default selection of tests.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${VPY:-.venv/bin/python}
command -v valgrind >/dev/null || { echo "valgrind not found" >&2; exit 1; }

tests=(tests --ignore=tests/test_cli.py --ignore=tests/test_cli_hostile.py --ignore=tests/test_report_text.py
       --ignore=tests/test_cli_first_use.py --ignore=tests/test_inventory.py --ignore=tests/test_readme.py
       --ignore=tests/test_rest.py --ignore=tests/test_rest_readahead.py --ignore=tests/test_gui_run.py
       --ignore=tests/test_baseline_equivalence.py)

export PYTHONMALLOC=malloc
export TESSADYN_STRESS=${TESSADYN_STRESS:-0.03}
status=0
valgrind --tool=memcheck --error-exitcode=99 --num-callers=40 \
    --suppressions=tools/valgrind.supp --gen-suppressions=all \
    --leak-check=no --track-origins=yes --trace-children=no --fair-sched=yes \
    "$python" -m pytest -q -p no:cacheprovider "${@:-${tests[@]}}" || status=$?
if (( status == 99 )); then
    echo "== valgrind found memory errors (see above)" >&2
fi
exit $status
