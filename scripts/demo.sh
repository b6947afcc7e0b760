#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the demo host against the printer emulator: starts zarn-emulator on a
# free loopback port, prints the demo label, stops the emulator and says
# where the picture of the label is.
#   scripts/demo.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
emulator=$build/emulator/zarn-emulator
demo=$build/examples/demo
out=${ZARN_DEMO_OUT:-$build/demo-labels}
for program in "$emulator" "$demo"; do
  [[ -x $program ]] || { echo "demo.sh: $program is not built (run make demo)" >&2; exit 1; }
done

rm -rf "$out"
mkdir -p "$out"
log=$out/emulator.log
"$emulator" --tcp 127.0.0.1:0 --out "$out" >"$log" 2>&1 &
pid=$!
stop() {
  if kill -0 "$pid" 2>/dev/null; then
    kill "$pid"
    wait "$pid" 2>/dev/null || true
  fi
}
trap stop EXIT

# The emulator says which port it got.
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$log")
  [[ -n $port ]] && break
  kill -0 "$pid" 2>/dev/null || { cat "$log" >&2; exit 1; }
  sleep 0.1
done
[[ -n $port ]] || { echo "demo.sh: the emulator did not start" >&2; cat "$log" >&2; exit 1; }

"$demo" --tcp 127.0.0.1 "$port"

# The label is written once the emulator has read the PRINT line.
for _ in $(seq 100); do
  grep -q '^label 1:' "$log" && break
  sleep 0.1
done
stop
trap - EXIT
echo "--- emulator ---"
cat "$log"
png=$out/label-0001.png
[[ -f $png ]] || { echo "demo.sh: no label was printed" >&2; exit 1; }
echo "The demo label is $png"
