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

.PHONY: run run-gui test test-gui venv clean bench test-sanitize test-valgrind

# Options for the command: make run ARGS="-s usb --auto"
run: $(STAMP)
	$(VENV)/bin/tessadyn-check $(ARGS)

# The window: make run-gui ARGS="-a COM5"
run-gui: $(STAMP)
	$(VENV)/bin/tessadyn-check-gui $(ARGS)

test: $(STAMP)
	$(VPY) -m pytest tests
	@$(MAKE) --no-print-directory test-gui

# The GUI tests run in a process of their own (Kivy's window, clock and
# logging are process-wide), offscreen. Without the system libraries they
# need, and no way to install them, they are skipped; CI always runs them.
test-gui: $(STAMP)
	@if tools/gui-libs.sh || [ -n "$${CI:-}" ]; then $(VPY) -m pytest tests/gui; fi

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
	$(PIP) $(BUILD_FLAGS) ".[gui]"
	touch $@

clean:
	rm -rf $(VENV) build dist

# Benchmarks (not part of `make test`); Cython is installed for them only.
bench: $(STAMP)
	$(PIP) -r benchmarks/requirements.txt
	$(VPY) benchmarks/run.py

# The test suite against an AddressSanitizer/UBSan build of the module.
test-sanitize: $(STAMP)
	bash tools/test-sanitize.sh

# The module's tests under valgrind memcheck.
test-valgrind: $(STAMP)
	bash tools/test-valgrind.sh
