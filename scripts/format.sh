#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Formats every C and C++ source the project tracks with the house
# .clang-format; with --check it changes nothing and fails on any difference.
#   scripts/format.sh [--check]
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.h' '*.cpp' '*.hpp')
if [[ "${1:-}" == "--check" ]]; then
  clang-format --dry-run -Werror "${files[@]}"
else
  clang-format -i "${files[@]}"
fi
