#!/usr/bin/env bash
# The whole test suite against a build of the checker module with
# AddressSanitizer and UndefinedBehaviorSanitizer (CMake option
# TESSADYN_SANITIZE), with leak detection. Any report fails the run.
#
# The sanitized module is installed into build/asan/site, which goes first on
# the module search path; everything else comes from .venv (make venv).
# Extra sanitizer options may be given in ASAN_OPTIONS etc.; they are applied
# after the defaults here. Full allocation stacks in leak reports (slow):
#   ASAN_OPTIONS=fast_unwind_on_malloc=0 make test-sanitize
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${VPY:-.venv/bin/python}
site=$root/build/asan/site

echo "== building the sanitized module into $site"
rm -rf "$site"
"$python" -m pip install --quiet --no-deps --no-build-isolation --target "$site" \
    --config-settings=build-dir="$root/build/asan/cmake" \
    --config-settings=cmake.define.TESSADYN_SANITIZE=ON \
    --config-settings=cmake.define.TESSADYN_WERROR=ON \
    --config-settings=install.strip=false \
    . 2> >(grep -v "^WARNING: Location" >&2)

# The runtimes of the compiler that built the module; ASan's must come first.
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$root/build/asan/cmake/CMakeCache.txt")
runtimes=
for lib in libasan.so libubsan.so; do
    path=$("${cxx:-c++}" -print-file-name=$lib)
    [[ $path == /* && -e $path ]] || { echo "$lib of ${cxx:-c++} not found" >&2; exit 1; }
    runtimes+="${runtimes:+ }$path"
done

export LD_PRELOAD="$runtimes${LD_PRELOAD:+ $LD_PRELOAD}"
export PYTHONPATH="$site:$root/tools${PYTHONPATH:+:$PYTHONPATH}"
# Every allocation of the interpreter through malloc, so that ASan sees it.
export PYTHONMALLOC=malloc
# AddressSanitizer's reports go to files, also those of subprocesses whose
# output a test captures; they are shown at the end. (UBSan's runtime writes
# to the standard error descriptor whatever log_path says.)
logs=$root/build/asan/reports
rm -rf "$logs"
mkdir -p "$logs"
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$logs/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
# The leak check runs from tools/pytest_lsan.py before the interpreter's own
# end; the one at process end would report the interpreter's immortal objects.
export LSAN_OPTIONS="suppressions=$root/tools/lsan.supp:print_suppressions=0:leak_check_at_exit=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

"$python" - "$site" <<'PY'
import sys
import velmora.tools.TessadynChecker as m
assert m.__file__.startswith(sys.argv[1]), f"not the sanitized build: {m.__file__}"
print("== sanitized module:", m.__file__)
PY

echo "== test suite under ASan/UBSan"
# Arguments replace the default of the whole suite. Output is captured at the
# level of sys.stdout/sys.stderr only, so that what the sanitizers write to
# the standard error descriptor stays visible, also from a process that dies.
status=0
"$python" -m pytest --capture=sys -p pytest_lsan "${@:-tests}" || status=$?

reports=("$logs"/*)
if [[ -e ${reports[0]} ]]; then
    for report in "${reports[@]}"; do
        echo "== sanitizer report $report"
        cat "$report"
    done
    echo "== ${#reports[@]} sanitizer report(s)" >&2
    exit 1
fi
echo "== no sanitizer reports"
exit $status
