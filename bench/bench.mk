# Benchmarks: `make bench` builds and installs the package, then runs the suite under bench/
# (not part of the tests) and prints one table; the figures also go to $(BUILD)/bench.json.
# BENCH_ARGS passes options on, e.g. BENCH_ARGS=--quick for a smoke run or --only calls.

BENCH_ARGS ?=

.PHONY: bench

bench: install
	$(RUN) $(PY) bench/run.py --json $(BUILD)/bench.json $(BENCH_ARGS)
