# The front door: `make demo` shows an installation, `make test` runs every tier.
SHELL := /bin/bash
PY := /usr/bin/python3
CMAKE_PRESETS := win32 host

.PHONY: setup build build-host test test-host test-win32 test-e2e demo fuzz clean
FUZZ_SECONDS ?= 60

setup:
	@bash tools/setup.sh

build: setup
	@cmake --preset win32 >/dev/null
	@cmake --build --preset win32

build-host: setup
	@cmake --preset host >/dev/null
	@cmake --build --preset host

test-host: build-host
	@ctest --preset host

test-win32: build
	@ctest --preset win32

test-e2e: build
	@$(PY) -m pytest -p no:cacheprovider -q tests/tools tests/e2e

# Each fuzz target for FUZZ_SECONDS; corpora and crashes stay under build/fuzz.
fuzz: setup
	@tools/fuzz.sh $(FUZZ_SECONDS)

# Every tier; the last line is pytest's summary.
test: setup build build-host
	@ctest --preset host
	@tools/fuzz.sh 3
	@tools/wine-run.sh --prefix-only
	@ctest --preset win32
	@$(PY) -m pytest -p no:cacheprovider -q tests/tools tests/e2e

demo: build
	@$(PY) tools/demo.py

clean:
	rm -rf build

# Throughput, CPU and memory against aria2c, curl and the platform floors;
# BENCH_SCALE=0.1 (or `make bench BENCH_ARGS=--quick`) shrinks the installation.
.PHONY: bench
bench: build
	@$(PY) tools/bench.py $(BENCH_ARGS)
