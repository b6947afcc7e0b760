# SPDX-License-Identifier: MIT
# Entry points; CMake does the real work in build/.
BUILD ?= build
JOBS ?= $(shell nproc)
# Developers and CI build with warnings as errors; the CMake default is off
# for whoever builds the released source with another compiler.
WERROR ?= ON
CMAKE_FLAGS ?=
export ZARN_WERROR := $(WERROR)

.PHONY: all build demo test test-sanitize bench fuzz format format-check clean

all: build

build:
	scripts/deps.sh build
	cmake -S . -B $(BUILD) -DZARN_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

# Prints a demo label to the built-in printer emulator and leaves a PNG.
# Its own build folder without the tests, so it needs no test packages.
demo:
	scripts/deps.sh demo
	cmake -S . -B build-demo -DZARN_BUILD_TESTS=OFF -DZARN_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build build-demo -j$(JOBS)
	scripts/demo.sh build-demo

# Runs every test.
test:
	scripts/deps.sh test
	cmake -S . -B $(BUILD) -DZARN_BUILD_TESTS=ON -DZARN_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# The same tests with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize:
	scripts/deps.sh sanitize
	scripts/sanitize.sh build-sanitize

# Benchmarks against the raw system calls (figures only, never pass/fail).
# Release (-O3) makes GCC 12 report false -Wrestrict overlaps in inlined
# std::string code, so warnings are not errors here; every other build keeps them.
bench:
	scripts/deps.sh bench
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DZARN_BENCH=ON -DZARN_BUILD_TESTS=OFF -DZARN_BUILD_CLI=OFF -DZARN_WERROR=OFF
	cmake --build build-bench -j$(JOBS)
	scripts/bench.sh build-bench

# Short libFuzzer runs of every fuzz target.
fuzz:
	scripts/deps.sh fuzz
	scripts/fuzz.sh build-fuzz

# Formats the sources with the house .clang-format; format-check only compares.
format:
	scripts/deps.sh format
	scripts/format.sh

format-check:
	scripts/deps.sh format
	scripts/format.sh --check

clean:
	rm -rf $(BUILD) build-demo build-sanitize build-bench build-fuzz
