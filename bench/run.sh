#!/usr/bin/env bash
# Builds the `bench` preset and runs every benchmark, repeated so that the
# figures are medians (the machine is shared): JSON of every run to
# build/bench/vorn_bench.json, the console table, then the summary table
# (each figure beside its baseline), also written to
# build/bench/vorn_bench_summary.md.
#
#   bash bench/run.sh                               # everything
#   bash bench/run.sh --benchmark_filter=naive_rag  # extra flags go to the binary
#
# VORN_BENCH_REPETITIONS sets the number of repetitions (default 5).
set -euo pipefail
cd "$(dirname "$0")/.."

export CCACHE_NOHASHDIR=1 CCACHE_BASEDIR="$PWD"
cmake --preset bench >/dev/null
cmake --build --preset bench --target vorn_bench

out=build/bench
"$out/bench/vorn_bench" \
  --benchmark_repetitions="${VORN_BENCH_REPETITIONS:-5}" \
  --benchmark_display_aggregates_only=true \
  --benchmark_out="$out/vorn_bench.json" --benchmark_out_format=json \
  --vorn_summary="$out/vorn_bench_summary.md" \
  "$@"
echo
echo "JSON: $out/vorn_bench.json   summary: $out/vorn_bench_summary.md"
