#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every benchmark executable of a build and prints one table: each
# "<case>/zarn" beside its "<case>/raw" twin with their ratio, and the cases
# without a twin (windowsfont) as a time per call, each the median of
# several runs (BENCH_REPETITIONS, default 5). Figures only: nothing
# here passes or fails on speed.
#   scripts/bench.sh [build-dir]      (default build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
out="$build/bench-results"
mkdir -p "$out"

# sendcommand and sendBinaryData switch the locale to en_US.utf8 on every
# call; measure them as on a host that has it, with a private copy.
if [[ -z "${LOCPATH:-}" ]] && ! locale -a 2>/dev/null | grep -qix 'en_US.utf8'; then
  mkdir -p "$out/locale"
  if localedef -i en_US -f UTF-8 "$out/locale/en_US.utf8" >/dev/null 2>&1 ||
     [[ -e "$out/locale/en_US.utf8/LC_CTYPE" ]]; then
    export LOCPATH="$PWD/$out/locale"
  else
    echo "note: en_US.utf8 is not available; every send pays for a failed locale switch" >&2
  fi
fi

# The loopback peers run on threads of the benchmark itself. Pinned to one
# CPU, host and peer hand over the same way in every run, which keeps the
# twins comparable on a busy machine; BENCH_PIN=0 leaves them free.
pin=()
if [[ "${BENCH_PIN:-1}" != 0 ]] && command -v taskset >/dev/null; then
  pin=(taskset -c "$(( $(nproc) - 1 ))")
fi

shopt -s nullglob
benches=("$build"/bench/bench_*)
[[ ${#benches[@]} -gt 0 ]] || { echo "no benchmarks in $build/bench" >&2; exit 1; }
: > "$out/all.csv"
for b in "${benches[@]}"; do
  [[ -x "$b" && -f "$b" ]] || continue
  # The USB benchmarks talk to an emulated printer through umockdev.
  runner=()
  [[ "$(basename "$b")" == bench_usb* ]] && runner=(umockdev-wrapper)
  echo "== $(basename "$b")" >&2
  # The console copy goes to stderr for the log; the CSV feeds the table.
  # Repeated runs in random interleaving, so drift in the machine's load
  # hits both twins alike; the table uses the medians.
  "${pin[@]}" "${runner[@]}" "$b" --benchmark_repetitions="${BENCH_REPETITIONS:-5}" --benchmark_enable_random_interleaving=true \
       --benchmark_report_aggregates_only=true \
       --benchmark_out="$out/$(basename "$b").csv" --benchmark_out_format=csv >&2
  # Header lines and comment lines carry no figures.
  grep '^"' "$out/$(basename "$b").csv" >> "$out/all.csv" || true
done

awk -F, '
  function unit_ns(u) { return u == "ns" ? 1 : u == "us" ? 1e3 : u == "ms" ? 1e6 : 1e9 }
  function human(ns) {
    if (ns >= 1e6) return sprintf("%.2f ms", ns / 1e6)
    if (ns >= 1e3) return sprintf("%.2f us", ns / 1e3)
    return sprintf("%.0f ns", ns)
  }
  {
    name = $1; gsub(/"/, "", name)
    if ($9 == "true") next
    if (name ~ /_(mean|stddev|cv)$/) next
    sub(/_median$/, "", name)
    sub(/\/(real_time|manual_time|min_time:[^\/]*|iterations:[^\/]*)$/, "", name)
    sub(/\/(real_time|manual_time|min_time:[^\/]*|iterations:[^\/]*)$/, "", name)
    ns = $3 * unit_ns($5)
    n = split(name, part, "/")
    kind = part[n]
    base = name; sub(/\/[^\/]*$/, "", base)
    # Peers other than the raw calls (Pillow, pdftoppm) fill the same column.
    if (kind == "pillow" || kind == "pdftoppm") { peer[base] = kind; kind = "raw" }
    if (kind == "zarn" || kind == "raw") {
      t[base, kind] = ns; mbps[base, kind] = $6 / 1048576
      if (!(base in seen)) { seen[base] = 1; order[++cases] = base }
    } else {
      label = $8; gsub(/"/, "", label)
      # The one counter of bench_raster, peak_rss_MiB, is the column after error_message.
      if (name ~ /^raster_/ && $11 > 0) label = sprintf("peak RSS %.1f MiB", $11)
      single[++singles] = name; single_ns[singles] = ns; single_label[singles] = label
    }
  }
  END {
    printf "%-28s %14s %14s %10s  %s\n", "case", "libzarn", "raw/peer", "ratio", "target"
    for (i = 1; i <= cases; ++i) {
      b = order[i]; z = t[b, "zarn"]; r = t[b, "raw"]
      if (z == "" || r == "") { printf "%-28s (incomplete)\n", b; continue }
      if (mbps[b, "zarn"] > 0) {
        printf "%-28s %9.0f MiB/s %9.0f MiB/s %10.3f  throughput ratio >= 0.9\n", b,
               mbps[b, "zarn"], mbps[b, "raw"], mbps[b, "zarn"] / mbps[b, "raw"]
      } else {
        target = b ~ /^printerstatus/ ? "time ratio <= 1.1" : "time ratio <= 1.2"
        if (b ~ /^usb_/) target = sprintf("%+.2f ms; about 2 ms more at most", (z - r) / 1e6)
        if (b in peer) target = peer[b] (b ~ /png/ ? ", time ratio <= 0.5, < 5 ms" : "")
        printf "%-28s %14s %14s %10.3f  %s\n", b, human(z), human(r), z / r, target
      }
    }
    for (i = 1; i <= singles; ++i) {
      note = single_label[i] != "" ? single_label[i] : "per call"
      if (single[i] ~ /raster_pdf/) note = note ", < 50 ms"
      if (single[i] ~ /600dpi/) note = note ", < 64 MiB"
      printf "%-28s %14s %14s %10s  %s\n", single[i], human(single_ns[i]), "-", "-", note
    }
  }' "$out/all.csv" | tee "$out/table.txt"

# Jobs per second through the printer application with 1, 2, 4 and 8
# printers, each on its own emulator.
if [[ -x "$build/printer-app/zarn-printer-app" && -x "$build/emulator/zarn-emulator" ]]; then
  echo
  echo "== zarn-printer-app, 20 labels per printer, all printers at once"
  bench/bench_printer_app.py "$build" 20 | tee "$out/printer-app.txt"
fi

# The costly pictures and PDFs of the render budget, one child process each
# (a table of its own: one run each, not repetitions).
if [[ -x "$build/bench/costly_raster" ]]; then
  echo
  echo "== libzarn-raster: costly files under the default page budget"
  "$build/bench/costly_raster" | tee "$out/costly-raster.txt"
fi
