#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the library and every test with AddressSanitizer and
# UndefinedBehaviorSanitizer (GCC, unoptimised so leak reports name the
# allocating function), then runs the whole test suite.
#   scripts/sanitize.sh [build-dir]      (default build-sanitize)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build-sanitize}
jobs=${JOBS:-$(nproc)}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DZARN_SANITIZE=ON -DZARN_BUILD_TESTS=ON \
  -DZARN_WERROR="${ZARN_WERROR:-ON}"
cmake --build "$build" -j"$jobs"

# Reply texts are handed to the host and never released by the library;
# lsan.supp names the one function that allocates them.
export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_string_checks=1"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir "$build" --output-on-failure -j"$jobs"
