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

.PHONY: run test venv clean bench bench-rest test-sanitize test-valgrind

# Options for the command: make run ARGS="-s usb --auto"
run: $(STAMP)
	$(VENV)/bin/tessadyn-check $(ARGS)

# The checker's tests (tests/) and the stand-in's own (standin/tests/, which
# need no checker build).
test: $(STAMP)
	$(VPY) -m pytest tests standin/tests

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

clean:
	rm -rf $(VENV) build dist

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
