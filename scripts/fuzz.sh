#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang and runs each for a short while,
# starting from the seed corpus in fuzz/corpus/<target>/. New inputs go to
# <build-dir>/corpus/<target>/, never into the repository; a crash leaves
# its input in <build-dir>/crashes/ and fails the script.
#   scripts/fuzz.sh [build-dir]          (default build-fuzz)
#   FUZZ_SECONDS=300 scripts/fuzz.sh     (time per target, default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build-fuzz}
seconds=${FUZZ_SECONDS:-30}
jobs=${JOBS:-$(nproc)}
targets=(fuzz_replies fuzz_parser fuzz_mono_bitmap fuzz_raster)

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZARN_FUZZ=ON \
  -DZARN_BUILD_TESTS=OFF -DZARN_BUILD_EXAMPLES=OFF -DZARN_BUILD_EMULATOR=ON \
  -DZARN_WERROR="${ZARN_WERROR:-ON}"
# Only the fuzz targets: the rest of a fuzzing build is not meant to link.
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
mkdir -p "$build/crashes"
status=0
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t"
  echo "== $t for ${seconds}s"
  if ! "$build/fuzz/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
       -max_len=140000 -print_final_stats=1 \
       -artifact_prefix="$build/crashes/$t-" \
       "$build/corpus/$t" "$root/fuzz/corpus/$t" 2> "$build/$t.log"; then
    echo "$t FAILED; see $build/$t.log and $build/crashes/" >&2
    tail -40 "$build/$t.log" >&2
    status=1
  else
    grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$build/$t.log" || true
  fi
done
exit $status
