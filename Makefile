# Quick start: `make run` and `make test`. Both create .venv with python3.13
# and install the stand-in driver library and the checker into it.

VENV   := .venv
VPY    := $(VENV)/bin/python
STAMP  := $(VENV)/.installed

# python3.13 as the machine names it: on PATH, or a pyenv build that is not
# the active pyenv version.
PYTHON ?= $(shell for p in python3.13 $$(pyenv root 2>/dev/null)/versions/3.13*/bin/python3.13 \
             /usr/local/bin/python3.13 /usr/bin/python3.13; do \
             "$$p" -c 'import sys; assert sys.version_info[:2] == (3, 13); print(sys.executable)' \
             2>/dev/null && break; done)

CHECKER_SOURCES := pyproject.toml CMakeLists.txt $(shell find python -type f 2>/dev/null)
STANDIN_SOURCES := $(shell find emulator -type f -not -path '*/__pycache__/*' \
                     -not -path '*.egg-info*' -not -path '*/build/*' 2>/dev/null)

# Warnings are errors in every build made here.
BUILD_FLAGS := --config-settings=cmake.define.TESSADYN_WERROR=ON

.PHONY: run test venv clean bench test-sanitize test-valgrind

# Options for the command: make run ARGS="-s usb --auto"
run: $(STAMP)
	$(VENV)/bin/tessadyn-check $(ARGS)

test: $(STAMP)
	$(VPY) -m pytest tests

venv: $(STAMP)

$(VENV)/bin/python:
	@test -n "$(PYTHON)" || { echo "python3.13 not found: install Python 3.13" >&2; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

$(STAMP): $(VENV)/bin/python $(CHECKER_SOURCES) $(STANDIN_SOURCES) requirements-dev.txt
	$(VPY) -m pip install --quiet -r requirements-dev.txt
	$(VPY) -m pip install --quiet ./emulator
	$(VPY) -m pip install --quiet --no-build-isolation $(BUILD_FLAGS) .
	touch $@

clean:
	rm -rf $(VENV) build dist

# Benchmarks (not part of `make test`); Cython is installed for them only.
bench: $(STAMP)
	$(VPY) -m pip install --quiet -r benchmarks/requirements.txt
	$(VPY) benchmarks/run.py

# The test suite against an AddressSanitizer/UBSan build of the module.
test-sanitize: $(STAMP)
	bash tools/test-sanitize.sh

# The module's tests under valgrind memcheck.
test-valgrind: $(STAMP)
	bash tools/test-valgrind.sh
