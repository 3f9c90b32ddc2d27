# Entry points.  CMake does the building underneath; every target first makes
# sure the Debian packages it needs are installed.

BUILD      ?= build
FUZZ_BUILD ?= build-fuzz
JOBS       ?= 2
FUZZ_SECONDS ?= 30

.PHONY: all deps configure build test demo fuzz bench powercut mutate clean ppc test-ppc

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	@scripts/demo $(BUILD)

# The harnesses that need a board run inside a virtual board of $(BUILD).
fuzz: build
	@cmake -S . -B $(FUZZ_BUILD) -DFUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@tests/fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS) $(BUILD)

ppc: deps
	@scripts/ppc build

# The board's build, its unit tests under qemu-ppc, and the system tests with
# its own programs on virtual boards of the PC build.
test-ppc: build
	@BUILD_DIR=$(abspath $(BUILD)) JOBS=$(JOBS) scripts/ppc test

bench: build
	@bench/run $(BUILD)

# Every power-cut point of an installation (make test runs a sample).
powercut: build
	@BUILD_DIR=$(abspath $(BUILD)) /usr/bin/python3 tests/system/powercut.py $(BUILD)

# Planted faults (tests/mutants.jsonl, or TABLE=...): which ones the suite
# catches.  Works in a scratch copy (build-mutate); the checkout is untouched.
mutate: deps
	@scripts/mutate $(TABLE)

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD)
