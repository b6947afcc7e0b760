#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Configures, builds and runs the embedding host project in a fresh folder.
#   tests/embed/check.sh SOURCE_DIR WORK_DIR C_COMPILER CXX_COMPILER
set -euo pipefail
source=$1 work=$2 cc=$3 cxx=$4
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
cmake -S "$here" -B "$work" -DZARN_SOURCE="$source" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_CXX_COMPILER="$cxx" -DZARN_WERROR="${ZARN_WERROR:-OFF}" > "$work.log" 2>&1 ||
  { cat "$work.log" >&2; exit 1; }
cmake --build "$work" --target embed_host -j2 >> "$work.log" 2>&1 || { tail -40 "$work.log" >&2; exit 1; }
"$work/embed_host"
echo "embedded libzarn alone: configured, built and linked"
