#!/usr/bin/env bash
# Coverage-guided fuzzing of the checker module (fuzz/fuzz_checker.py) with
# atheris' libFuzzer, against a build of the module with AddressSanitizer,
# trapping UBSan and libFuzzer's coverage instrumentation (Clang, CMake option
# TESSADYN_FUZZ), for a bounded time. Any crash, sanitizer report or
# difference from the Python reading fails the run; libFuzzer writes the
# input that found it to build/fuzz/ (crash-*, as libFuzzer names them).
#
# The corpus kept in the repo, fuzz/corpus, seeds every run; what a run
# finds goes to build/fuzz/corpus. To keep new finds in the repo:
#   make fuzz FUZZ_MERGE=1        (copies them into fuzz/corpus)
# FUZZ_TIME (seconds, default 60) bounds the run; extra arguments go to
# libFuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${VPY:-$root/.venv/bin/python}
site=$root/build/fuzz/site
cxx=${FUZZ_CXX:-clang++}
if ! command -v "$cxx" >/dev/null && [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
    echo "== installing clang"
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang; } >/dev/null
fi
command -v "$cxx" >/dev/null || { echo "$cxx not found (the fuzz build needs Clang)" >&2; exit 1; }

if [[ -n ${FUZZ_MERGE:-} ]]; then
    # libFuzzer's -merge does not see the coverage of Python code that atheris
    # instruments lazily; the inputs are small, so they are kept as found.
    echo "== copying build/fuzz/corpus into fuzz/corpus"
    cp -n build/fuzz/corpus/* "$root/fuzz/corpus/" 2>/dev/null || true
    ls "$root/fuzz/corpus" | wc -l
    exit 0
fi

echo "== building the fuzzing module into $site"
rm -rf "$site"
CXX=$cxx "$python" -m pip install --quiet --no-deps --no-build-isolation --target "$site" \
    --config-settings=build-dir="$root/build/fuzz/cmake" \
    --config-settings=cmake.define.TESSADYN_FUZZ=ON \
    --config-settings=cmake.define.TESSADYN_WERROR=ON \
    --config-settings=install.strip=false \
    . 2> >(grep -v "^WARNING: Location" >&2)

atheris_dir=$("$python" -c "import atheris; print(atheris.path())")
export LD_PRELOAD="$atheris_dir/asan_with_fuzzer.so${LD_PRELOAD:+ $LD_PRELOAD}"
export PYTHONPATH="$site${PYTHONPATH:+:$PYTHONPATH}"
export PYTHONMALLOC=malloc
# Leaks are the sanitizer run's business (tools/test-sanitize.sh): here the
# interpreter's own allocations would be reported at exit.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:allocator_may_return_null=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"

"$python" - "$site" <<'PY'
import sys
import velmora.tools.TessadynChecker as m
assert m.__file__.startswith(sys.argv[1]), f"not the fuzzing build: {m.__file__}"
PY

mkdir -p build/fuzz/corpus fuzz/corpus
cd build/fuzz
echo "== fuzzing for ${FUZZ_TIME:-60} s"
exec "$python" "$root/fuzz/fuzz_checker.py" -max_total_time="${FUZZ_TIME:-60}" -timeout=20 \
    -rss_limit_mb=4096 -print_final_stats=1 "$@" corpus "$root/fuzz/corpus"
