#!/usr/bin/env bash
# Builds the checker module with Clang and the conversion warnings on
# (-Wconversion -Wsign-conversion -Wshorten-64-to-32, CMake option
# TESSADYN_STRICT_WARNINGS) as errors. The build goes to build/strict and is
# not installed. Clang is installed with apt-get when missing and this runs
# as root; otherwise the check says in one line why it is skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${VPY:-.venv/bin/python}
cxx=${STRICT_CXX:-clang++}

if ! command -v "$cxx" >/dev/null; then
    if [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
        echo "== installing clang"
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang; } >/dev/null
    fi
    if ! command -v "$cxx" >/dev/null; then
        echo "strict warnings: skipped: $cxx not found (apt-get install clang)"
        exit 0
    fi
fi

echo "== $("$cxx" --version | head -n 1): conversion warnings as errors"
rm -rf "$root/build/strict"
CXX=$cxx "$python" -m pip wheel -v --no-deps --no-build-isolation \
    --wheel-dir "$root/build/strict/wheel" \
    --config-settings=build-dir="$root/build/strict/cmake" \
    --config-settings=cmake.define.TESSADYN_STRICT_WARNINGS=ON \
    --config-settings=cmake.define.TESSADYN_WERROR=ON \
    --config-settings=build.verbose=true \
    . > "$root/build/strict.log" 2>&1 || { cat "$root/build/strict.log"; exit 1; }
grep -q -- '-Wshorten-64-to-32' "$root/build/strict.log" \
    || { cat "$root/build/strict.log"; echo "strict warnings: flags not in the build" >&2; exit 1; }
echo "== no warnings"
