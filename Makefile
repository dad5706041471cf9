# Front door. Every target that needs tools bootstraps them first.
PRESETS_TESTED := host asan armel fuzz
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60

.PHONY: all host asan armel fuzz-build test test-host test-asan test-armel test-fuzz fuzz fuzz-campaign bench dist demo bootstrap clean

all: host

bootstrap:
	@scripts/bootstrap

build/%/build.ninja: CMakeLists.txt CMakePresets.json | bootstrap
	@cmake --preset $* >/dev/null

host asan armel: %: bootstrap build/%/build.ninja
	@cmake --build --preset $* -j $(JOBS)

# Only the fuzz targets and what they link (the build preset names them).
fuzz-build: bootstrap build/fuzz/build.ninja
	@cmake --build --preset fuzz -j $(JOBS)

# The armel suites use the host build's simulators, so host is built first.
# The fuzz suite runs each fuzz target for a few seconds.
test: bootstrap
	@$(MAKE) --no-print-directory host asan armel fuzz-build
	@scripts/run-tests $(PRESETS_TESTED)

test-host test-asan test-armel: test-%: %
	@scripts/run-tests $*

test-fuzz: fuzz-build
	@scripts/run-tests fuzz

fuzz: fuzz-build
	@scripts/fuzz $(FUZZ_SECONDS)

# Every target to 10^7 executions or 10 minutes, one at a time; prints the
# rows of the fuzzing table in BENCHMARKS.md.
fuzz-campaign: fuzz-build
	@scripts/fuzz --campaign

bench: host
	@scripts/bench

dist: armel
	@scripts/dist build/armel build/dist

demo: host
	@scripts/demo

clean:
	rm -rf build/host build/asan build/armel build/fuzz build/dist
