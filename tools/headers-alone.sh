#!/usr/bin/env bash
# Compiles each header of the module (python/.../tools/checker/*.hpp) alone,
# as the one thing a translation unit includes (twice, for its include
# guard), with GCC and with Clang where they are installed: C++20 against
# the C API of the venv's Python, warnings as errors. A header that uses
# something it does not include itself fails here, as it would in an editor
# or clangd opening it. The warnings about functions and variables that
# nothing uses are off: alone, nothing of a header is used. Then
# tools/layout-room.cc: a layout of as many spans as one join has room for
# must compile, one of a span more must not.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${VPY:-.venv/bin/python}
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
dir=python/package/velmora/tools/checker

compilers=()
for cxx in ${HEADER_CXX:-g++ clang++}; do
    command -v "$cxx" >/dev/null && compilers+=("$cxx")
done
if [[ ${#compilers[@]} == 0 ]]; then
    echo "headers alone: skipped: neither g++ nor clang++ found" >&2
    exit 0
fi

flags=(-std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Werror -Wno-unused-function
       -Wno-unused-variable -Wno-unused-const-variable -Wno-unused-template
       -I"$dir" -I"$include")
failed=0
for cxx in "${compilers[@]}"; do
    count=0
    for header in "$dir"/*.hpp; do
        name=$(basename "$header")
        if ! printf '#include "%s"\n#include "%s"\n' "$name" "$name" |
            "$cxx" "${flags[@]}" -x c++ -; then
            echo "headers alone: $name does not compile by itself with $cxx" >&2
            failed=1
        fi
        count=$((count + 1))
    done
    echo "== $count headers compile alone with $("$cxx" --version | head -n 1)"
    if ! "$cxx" "${flags[@]}" -DSPANS=32 tools/layout-room.cc; then
        echo "headers alone: a layout of 32 spans does not compile with $cxx" >&2
        failed=1
    fi
    if out=$("$cxx" "${flags[@]}" -DSPANS=33 tools/layout-room.cc 2>&1) ||
        ! grep -q 'more spans in a layout than one join has room for' <<<"$out"; then
        echo "headers alone: a layout of 33 spans is not refused at compile time with $cxx" >&2
        failed=1
    fi
done
exit "$failed"
