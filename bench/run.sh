#!/usr/bin/env bash
# Runs the benchmarks of BUILD_DIR (default build-bench) and prints the
# ratios against the targets (bench/report.py). Results stay as JSON in
# BUILD_DIR/results/. Benchmarks measure; they never fail a build on speed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-bench}
results=$build/results
mkdir -p "$results"
# Round trips depend on the scheduler more than anything: repeated, and the
# report takes the medians.
repetitions() { [ "$1" = bench_roundtrip ] && echo 5 || echo 1; }
for bench in bench_json bench_roundtrip bench_playback; do
  echo "== $bench"
  "$build/$bench" --benchmark_out="$results/$bench.json" --benchmark_out_format=json \
    --benchmark_counters_tabular=true --benchmark_repetitions="$(repetitions "$bench")"
done
python3 "$root/bench/report.py" "$results"
# What vusk-gdbproxy adds per stop on the 109-thread kernel under QEMU (a note
# instead when QEMU or the kernels are absent).
echo "== bench_proxy"
python3 "$root/bench/bench_proxy.py" "$build" | tee "$results/bench_proxy.txt"
# Every threadx view in GDB on the 109-thread kernels against a direct GDB
# script reading the same columns (a note instead when a target cannot run).
echo "== bench_views"
python3 "$root/bench/bench_views.py" "$build" | tee "$results/bench_views.txt"
