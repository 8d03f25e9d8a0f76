# framewick: build, test and run the demo.
#
# Every target runs with CPython 3.14: natively when `python3` is 3.14 with the dependencies
# installed, otherwise inside the cached Debian forky root of tools/devroot (built on first use).

PYTHON ?= python3
BUILD  ?= build
VENV   := $(BUILD)/venv
PY     := $(VENV)/bin/python

NATIVE := $(shell $(PYTHON) -c 'import sys, PIL, numpy, requests, packaging, scikit_build_core' >/dev/null 2>&1; \
                  $(PYTHON) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 14))' 2>/dev/null && echo yes)
ifeq ($(NATIVE),yes)
RUN :=
else
RUN := tools/devroot
endif

PYTEST_ARGS ?=

.PHONY: all install test demo clean

all: install

# Build the extension modules and install the package into a venv that sees the system's packages.
install:
	$(RUN) sh -c 'test -x $(PY) || $(PYTHON) -m venv --system-site-packages $(VENV); \
	  $(PY) -m pip install --quiet --no-build-isolation --no-deps --no-index --disable-pip-version-check \
	  --config-settings=build-dir=$(BUILD)/cmake .'

# Run the tests against the installed package (not the source tree).
test: install
	$(RUN) $(PY) -m pytest $(PYTEST_ARGS)

demo: install
	$(RUN) $(PY) -m framewick demo --overwrite $(BUILD)/demo

clean:
	rm -rf build

# Benchmarks and hardening runs keep their targets next to their sources.
-include bench/bench.mk
-include tools/hardening.mk
