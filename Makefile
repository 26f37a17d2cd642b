# The front door: `make demo` shows an installation, `make test` runs every tier.
#
# The Windows tiers run on the build this machine can run (tools/arch.sh): the
# 32-bit program where the kernel runs 32-bit code, else the same sources built
# for x86-64 under 64-bit Wine. TOVIMAR_ARCH=win32 or win64 forces it. The
# 32-bit program, the product, is built everywhere.
SHELL := /bin/bash
PY := /usr/bin/python3
# Asked when a recipe runs, after setup has installed the i386 loader it probes.
ARCH = $(shell tools/arch.sh)

.PHONY: setup build build-win32 build-arch build-host test test-host fuzz-smoke test-win test-e2e demo fuzz clean
FUZZ_SECONDS ?= 60

setup:
	@bash tools/setup.sh

# The repository holds no maker's key: the program these builds make takes
# lists nobody signed, as the tests that need one say; the tests' keyed
# variant, TovimarTest.exe, goes to test/. `make demo` builds its own keyed
# program. A maker's configure names its key (README) and needs no ON.
UNSIGNED := -DTOVIMAR_ALLOW_UNSIGNED=ON

build-win32: setup
	@cmake --preset win32 $(UNSIGNED) >/dev/null
	@cmake --build --preset win32

# The build the Windows tiers run, when it is not the 32-bit one.
build-arch: build-win32
	@if [ "$(ARCH)" != win32 ]; then cmake --preset $(ARCH) $(UNSIGNED) >/dev/null && cmake --build --preset $(ARCH); fi

build: build-arch

build-host: setup
	@cmake --preset host >/dev/null
	@cmake --build --preset host

test-host: build-host
	@ctest --preset host

# A few seconds of each fuzz target, as `make test` runs it.
fuzz-smoke: setup
	@tools/fuzz.sh 3

test-win: build
	@tools/wine-run.sh --arch $(ARCH) --prefix-only
	@ctest --preset $(ARCH)

test-e2e: build
	@TOVIMAR_ARCH=$(ARCH) $(PY) -m pytest -p no:cacheprovider -q tests/structure tests/tools tests/e2e

# Each fuzz target for FUZZ_SECONDS; corpora and crashes stay under build/fuzz.
fuzz: setup
	@tools/fuzz.sh $(FUZZ_SECONDS)

# Every tier, one after another in the order named (under -j too); the last
# lines say which program the Windows tiers ran.
.NOTPARALLEL: test
test: setup build build-host test-host fuzz-smoke test-win test-e2e
	@TOVIMAR_ARCH=$(ARCH) tools/arch.sh --report

demo: build
	@TOVIMAR_ARCH=$(ARCH) $(PY) tools/demo.py

clean:
	rm -rf build

# Throughput, CPU and memory against aria2c, curl and the platform floors;
# BENCH_SCALE=0.1 (or `make bench BENCH_ARGS=--quick`) shrinks the installation.
.PHONY: bench
bench: build build-host
	@TOVIMAR_ARCH=$(ARCH) $(PY) tools/bench.py $(BENCH_ARGS)
