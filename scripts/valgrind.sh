#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the TCP and serial test programs (port, faults, commands, replies,
# download) under valgrind memcheck. Any memory
# error, or any leak not named in scripts/valgrind.supp (reply texts the
# tests deliberately keep), fails the run.
#   scripts/valgrind.sh [build-dir]      (default build, the tree "make test" uses)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build}
jobs=${JOBS:-$(nproc)}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZARN_SANITIZE=OFF -DZARN_BUILD_TESTS=ON \
  -DZARN_WERROR="${ZARN_WERROR:-ON}"
cmake --build "$build" -j"$jobs"

# valgrind refuses to let a program raise its descriptor limit, so the tests
# that open 1100 descriptors first need it raised here.
hard=$(ulimit -Hn)
if [[ "$hard" == unlimited || "$hard" -ge 4096 ]]; then ulimit -n 4096; fi

export LOCPATH="$root/$build/tests/locale"
shopt -s nullglob
status=0
for t in "$build"/tests/test_*; do
  name=$(basename "$t")
  [[ -x "$t" && "$name" =~ (port|faults|commands|replies|download) ]] || continue
  echo "== valgrind $name"
  if ! valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
        --errors-for-leak-kinds=definite,indirect --track-origins=yes \
        --suppressions="$root/scripts/valgrind.supp" --error-exitcode=99 \
        --log-file="$build/valgrind-$name.log" "$t" --gtest_brief=1 > "$build/valgrind-$name.out" 2>&1; then
    echo "$name FAILED under valgrind; see $build/valgrind-$name.log" >&2
    tail -30 "$build/valgrind-$name.out" >&2
    grep -A25 -E 'Invalid|uninitialised|definitely lost|indirectly lost' "$build/valgrind-$name.log" | head -120 >&2 || true
    status=1
  else
    grep -E 'ERROR SUMMARY|definitely lost|indirectly lost' "$build/valgrind-$name.log" | sed 's/^==[0-9]*== /   /'
  fi
done
exit $status
