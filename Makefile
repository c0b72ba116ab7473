# Quick start: `make run` and `make test`. Both create .venv with python3.13
# and install the stand-in driver library and the checker into it.

VENV   := .venv
VPY    := $(VENV)/bin/python
BASE   := $(VENV)/.provisioned
STAMP  := $(VENV)/.installed

# python3.13 as the machine names it (tools/find-python.sh says what to
# install when there is none).
PYTHON ?= $(shell tools/find-python.sh 2>/dev/null)

# Every install into .venv is pinned by constraints.txt, and every package is
# built inside .venv against the pinned build backends: no build isolation, so
# nothing unpinned is fetched and a cold package cache builds the same as a
# warm one.
PIP := $(VPY) -m pip install --quiet --constraint constraints.txt --no-build-isolation

CHECKER_SOURCES := pyproject.toml CMakeLists.txt $(shell find python -type f 2>/dev/null)
STANDIN_SOURCES := $(shell find standin -type f -not -path '*/__pycache__/*' \
                     -not -path '*.egg-info*' -not -path '*/build/*' 2>/dev/null)

# Warnings are errors in every build made here.
BUILD_FLAGS := --config-settings=cmake.define.TESSADYN_WERROR=ON

.PHONY: run run-gui test test-gui venv clean bench bench-rest test-sanitize test-valgrind lint dist test-i386 fuzz

# Options for the command: make run ARGS="-s usb --auto"
run: $(STAMP)
	$(VENV)/bin/tessadyn-check $(ARGS)

# The window: make run-gui ARGS="-a COM5"
run-gui: $(STAMP)
	@$(MAKE) --no-print-directory $(GUI_STAMP)
	$(VENV)/bin/tessadyn-check-gui $(ARGS)

# The checker's tests (tests/) and the stand-in's own (standin/tests/, which
# need no checker build), then the GUI's.
test: $(STAMP)
	$(VPY) -m pytest tests standin/tests
	@$(MAKE) --no-print-directory test-gui

# The GUI tests run in a process of their own (Kivy's window, clock and
# logging are process-wide), offscreen. Without the system libraries they
# need, and no way to install them, they are skipped; CI always runs them.
test-gui: $(STAMP)
	@if ! $(MAKE) --no-print-directory $(GUI_STAMP); then \
	    [ -z "$${CI:-}" ] || exit 1; \
	    echo "GUI tests skipped: no Kivy wheel for this platform"; \
	elif tools/gui-libs.sh || [ -n "$${CI:-}" ]; then \
	    $(VPY) -m pytest tests/gui; fi

# The checker with its extra "gui" (Kivy), and Pillow for the GUI tests.
# Wheels only: Kivy builds from source only against SDL2's development files.
GUI_STAMP := $(VENV)/.gui-installed
$(GUI_STAMP): $(STAMP)
	$(PIP) $(BUILD_FLAGS) --only-binary=kivy,pillow ".[gui]" pillow
	touch $@

venv: $(STAMP)

# A new pin means a new venv: nothing of the old set stays behind.
$(BASE): constraints.txt
	@test -n "$(PYTHON)" || tools/find-python.sh >/dev/null
	rm -rf $(VENV)
	$(PYTHON) -m venv $(VENV)
	$(PIP) pip setuptools wheel
	touch $@

$(STAMP): $(BASE) $(CHECKER_SOURCES) $(STANDIN_SOURCES) requirements-dev.txt
	$(PIP) -r requirements-dev.txt
	$(PIP) ./standin
	$(PIP) $(BUILD_FLAGS) .
	touch $@

# The i386 system of test-i386 lies in build/i386 and is kept.
clean:
	rm -rf $(VENV) dist $(filter-out build/i386,$(wildcard build/*))

# Benchmarks (not part of `make test`); Cython is installed for them only.
bench: $(STAMP)
	$(PIP) -r benchmarks/requirements.txt
	$(VPY) benchmarks/run.py

# The REST transport over loopback against emulated masters with the latency
# of slow embedded masters (not part of `make test`): make bench-rest ARGS="--json FILE"
bench-rest: $(STAMP)
	$(VPY) benchmarks/rest_bench.py $(ARGS)

# The test suite against an AddressSanitizer/UBSan build of the module.
test-sanitize: $(STAMP)
	bash tools/test-sanitize.sh

# The module's tests under valgrind memcheck.
test-valgrind: $(STAMP)
	bash tools/test-valgrind.sh

# Linter, type checks and the conversion warnings: ruff; mypy over the
# stand-in and the command; mypy --strict over the module's stub and a typed
# caller; stubtest of the stub against the installed module; the module built
# with Clang's conversion warnings as errors; each of the module's headers
# compiled alone (GCC and Clang).
LINT_TOOLS := $(VENV)/.lint-tools
$(LINT_TOOLS): $(BASE) requirements-lint.txt
	$(PIP) -r requirements-lint.txt
	touch $@

lint: $(STAMP) $(LINT_TOOLS)
	$(VENV)/bin/ruff check .
	$(VPY) -m mypy
	$(VPY) -m mypy --strict --no-warn-unused-configs tests/typed_caller.py python/package/velmora/tools/TessadynChecker.pyi
	$(VPY) -m mypy.stubtest velmora.tools.TessadynChecker
	bash tools/strict-warnings.sh
	bash tools/headers-alone.sh

# Wheels and sdists of the checker and the stand-in in dist/, checked with
# twine; auditwheel names the manylinux tag the checker's wheel meets.
DIST_TOOLS := $(VENV)/.dist-tools
$(DIST_TOOLS): $(BASE) requirements-dist.txt
	$(PIP) -r requirements-dist.txt
	touch $@

WHEEL := $(VPY) -m pip wheel --quiet --no-deps --no-build-isolation --wheel-dir dist
SDIST := $(VPY) -m build --sdist --no-isolation --outdir dist

dist: $(STAMP) $(DIST_TOOLS)
	rm -rf dist
	$(WHEEL) $(BUILD_FLAGS) .
	$(WHEEL) ./standin
	$(SDIST) . > /dev/null
	$(SDIST) standin > /dev/null
	ls -l dist
	$(VPY) -m twine check --strict dist/*
	mkdir -p build
	$(VPY) -m auditwheel show dist/velmora_tessadyn_checker-*.whl 2>&1 | tee build/auditwheel.txt
	grep -q 'platform tag: "manylinux_' build/auditwheel.txt

# make test and make test-sanitize inside a Debian 13 i386 system (built once
# into build/i386) against its 32-bit python3.13; needs root.
test-i386:
	bash tools/test-i386.sh

# Coverage-guided fuzzing of the module (atheris, ASan build), about a minute:
# make fuzz FUZZ_TIME=600 for longer, FUZZ_MERGE=1 to keep new finds in fuzz/corpus.
fuzz: $(STAMP)
	$(PIP) -r fuzz/requirements.txt
	bash tools/fuzz.sh
