#!/usr/bin/env bash
# Checks what `make dist` left in dist/, as a user would meet it: the two
# wheels installed into a fresh venv with an empty package cache (the
# checker's dependency from the package index, pinned by constraints.txt),
# tessadyn-check run from there against the stand-in's demo installation,
# and the checker built again from its sdist with the same files as its wheel.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-$(tools/find-python.sh)}
checker=(dist/velmora_tessadyn_checker-*.whl)
standin=(dist/velmora_base_standin-*.whl)
sdist=(dist/velmora_tessadyn_checker-*.tar.gz)
for f in "${checker[0]}" "${standin[0]}" "${sdist[0]}"; do
    [[ -f $f ]] || { echo "check-dist: $f missing: run make dist first" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PIP_CACHE_DIR=$work/cache

echo "== installing ${checker[0]##*/} and ${standin[0]##*/} into a fresh venv"
"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --constraint constraints.txt pip \
    2> >(grep -v "^WARNING: Location" >&2)
"$work/venv/bin/python" -m pip install --quiet --constraint constraints.txt \
    --build-constraint constraints.txt "${checker[0]}" "${standin[0]}" \
    2> >(grep -v "^WARNING: Location" >&2)

echo "== tessadyn-check from that venv"
out=$work/out.txt
(cd "$work" && NO_COLOR=1 "$work/venv/bin/tessadyn-check" </dev/null) | tee "$out"
grep -q '^Velmora Tessadyn Checker 1\.9\.2 (base 0\.9\.0): searching masters and devices\.\.\.$' "$out" \
    || { echo "check-dist: no banner" >&2; exit 1; }
masters=$(grep -c '^Master ' "$out" || true)
[[ $masters == 4 ]] || { echo "check-dist: $masters master lines, expected 4" >&2; exit 1; }
grep -q '^4 master(s) and [0-9][0-9]* device(s) found$' "$out" \
    || { echo "check-dist: no summary line for 4 masters" >&2; exit 1; }
grep -q '^Visit https://www.velmora.com for more informations$' "$out" \
    || { echo "check-dist: no closing line" >&2; exit 1; }
# The typing stub came with the module.
"$work/venv/bin/python" - <<'PY'
import pathlib
import velmora.tools.TessadynChecker as tc
here = pathlib.Path(tc.__file__).parent
missing = [n for n in ("TessadynChecker.pyi", "py.typed") if not (here / n).is_file()]
assert not missing, f"not installed: {missing}"
PY

echo "== building the checker again from ${sdist[0]##*/}"
"$root/.venv/bin/python" -m pip wheel --quiet --no-deps --no-build-isolation \
    --constraint constraints.txt --wheel-dir "$work/rebuilt" \
    --config-settings=build-dir="$work/build" \
    --config-settings=cmake.define.TESSADYN_WERROR=ON "${sdist[0]}" \
    2> >(grep -v "^WARNING: Location" >&2)
"$python" - "${checker[0]}" "$work"/rebuilt/*.whl <<'PY'
import sys, zipfile
names = [sorted(zipfile.ZipFile(w).namelist()) for w in sys.argv[1:]]
assert names[0] == names[1], f"wheel from the sdist differs: {names}"
print("== same files:", ", ".join(n for n in names[1] if ".dist-info/" not in n))
PY
echo "== dist checked"
