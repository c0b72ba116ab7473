#!/usr/bin/env bash
# Instructions per report text under callgrind, for the README's table.
#
#   benchmarks/profile.sh [--blanks]
#
# Builds the module with -O3 -g into build/profile (the installed one is
# stripped), runs benchmarks/profile_checker.py under callgrind for
# _print_dev, _print_master and check() (counting only inside the module's
# function: --toggle-collect), and prints benchmarks/callgrind_table.py's
# table for each. The hash seed is fixed, so that dict probes, and with them
# the counts, are the same from run to run. --blanks profiles the variant
# workload (a quarter of the devices without identification, blanks around
# the identification texts). Needs valgrind and the .venv of `make venv`.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${VPY:-.venv/bin/python}
out=build/profile
mkdir -p "$out"
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
so=$out/TessadynChecker-profile.so
"${CXX:-c++}" -std=c++20 -O3 -g -DNDEBUG -fPIC -shared -I"$include" \
    python/package/velmora/tools/TessadynChecker.cpp -o "$so"
for what in dev master check; do
    pattern="*tc_print_${what}*"
    [[ $what == check ]] && pattern='*tc_check*'
    PYTHONHASHSEED=0 valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.$what.out" \
        --toggle-collect="$pattern" "$python" benchmarks/profile_checker.py \
        --what "$what" --so "$so" "$@" > /dev/null 2> "$out/$what.err" &
done
wait
for what in dev master check; do
    texts=$(sed -n 's/^texts: //p' "$out/$what.err")
    echo "## $what ($texts texts)"
    "$python" benchmarks/callgrind_table.py "$out/callgrind.$what.out" \
        --module TessadynChecker-profile.so --texts "$texts" --top "${TOP:-8}"
    echo
done
