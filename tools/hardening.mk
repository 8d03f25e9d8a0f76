# Hardening runs, each one target (all of them: `make hardening`):
#
#   make asan       every module built with AddressSanitizer and UBSan (build/h-asan); the whole
#                   test suite runs under it, the sanitizer runtime preloaded into the interpreter,
#                   its fuzz at ASAN_FUZZ_CALLS (20,000) calls
#   make memcheck   valgrind memcheck over a chain that calls every method (build/h-hard)
#   make fuzz       at least FUZZ_CALLS (100,000) fuzzed calls of every method (build/h-hard)
#   make soak       the rest of tests/hardening at full scale: reference leaks, faults, hostile
#                   index, untrusted pictures, threads (build/h-hard)
#
# The normal suite (`make test`) runs tests/hardening too, at a small scale.

H_HARD     := build/h-hard
H_ASAN     := build/h-asan
H_SANITIZE ?= address,undefined
FUZZ_CALLS ?= 100000
ASAN_FUZZ_CALLS ?= 20000
SOAK_SCALE ?= 10

.PHONY: hardening asan memcheck fuzz soak h-hard-install h-asan-install

hardening: asan memcheck fuzz soak

h-hard-install:
	$(MAKE) --no-print-directory install BUILD=$(H_HARD)

# The sanitized build: its own venv and CMake tree; RelWithDebInfo keeps the reports readable.
h-asan-install:
	$(RUN) sh -c 'test -x $(H_ASAN)/venv/bin/python || $(PYTHON) -m venv --system-site-packages $(H_ASAN)/venv; \
	  $(H_ASAN)/venv/bin/python -m pip install --quiet --no-build-isolation --no-deps --no-index --disable-pip-version-check \
	  --config-settings=build-dir=$(H_ASAN)/cmake \
	  --config-settings=cmake.build-type=RelWithDebInfo \
	  --config-settings=cmake.define.FRAMEWICK_SANITIZE=$(H_SANITIZE) .'

asan: h-asan-install
	$(RUN) env FRAMEWICK_FUZZ_CALLS=$(ASAN_FUZZ_CALLS) \
	  tools/hardening/asan-run $(H_ASAN) $(H_ASAN)/venv/bin/python -m pytest -q $(PYTEST_ARGS)

memcheck: h-hard-install
	$(RUN) tools/hardening/memcheck-run $(H_HARD) $(H_HARD)/venv/bin/python

fuzz: h-hard-install
	$(RUN) env FRAMEWICK_FUZZ_CALLS=$(FUZZ_CALLS) $(H_HARD)/venv/bin/python -m pytest -q tests/hardening/test_hard_fuzz.py $(PYTEST_ARGS)

soak: h-hard-install
	$(RUN) env FRAMEWICK_HARDENING_SCALE=$(SOAK_SCALE) $(H_HARD)/venv/bin/python -m pytest -q tests/hardening \
	  --ignore=tests/hardening/test_hard_fuzz.py --ignore=tests/hardening/test_hard_memcheck.py $(PYTEST_ARGS)
