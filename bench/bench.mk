# Benchmarks: `make bench` builds and installs the package, then runs the suite under bench/
# (not part of the tests) and prints one table; the figures also go to $(BUILD)/bench.json.
# BENCH_ARGS passes options on, e.g. BENCH_ARGS=--quick for a smoke run or --only calls.
#
# The suite runs in a root of its own: the product's packages plus bench/bench.packages (the
# peers: ImageMagick, libvips, sample photographs). A venv belongs to the root it was made in,
# so give the benchmarks a build directory of their own: make bench BUILD=build/bench.

BENCH_ARGS ?=
BENCH_PACKAGES := bench/bench.packages

.PHONY: bench

bench: export DEVROOT_EXTRA = $(BENCH_PACKAGES)
bench: install
	$(RUN) $(PY) bench/run.py --json $(BUILD)/bench.json $(BENCH_ARGS)
