# Front door. Every target that needs tools bootstraps them first.
PRESETS_TESTED := host asan armel
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60

.PHONY: all host asan armel fuzz-build test test-host test-asan test-armel fuzz bench dist demo bootstrap clean

all: host

bootstrap:
	@scripts/bootstrap

build/%/build.ninja: CMakeLists.txt CMakePresets.json | bootstrap
	@cmake --preset $* >/dev/null

host asan armel: %: bootstrap build/%/build.ninja
	@cmake --build --preset $* -j $(JOBS)

fuzz-build: bootstrap build/fuzz/build.ninja
	@cmake --build --preset fuzz -j $(JOBS)

# The armel suites use the host build's simulators, so host is built first.
test: bootstrap
	@$(MAKE) --no-print-directory host asan armel
	@scripts/run-tests $(PRESETS_TESTED)

test-host test-asan test-armel: test-%: %
	@scripts/run-tests $*

fuzz: fuzz-build
	@scripts/fuzz $(FUZZ_SECONDS)

bench: host
	@scripts/bench

dist: armel
	@scripts/dist build/armel build/dist

demo: host
	@scripts/demo

clean:
	rm -rf build/host build/asan build/armel build/fuzz build/dist
