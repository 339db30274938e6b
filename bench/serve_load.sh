#!/usr/bin/env bash
# Load benchmark of `vorn-rag serve` (loopback only, about a minute): builds
# the `bench` preset's vorn_serve_bench and runs it. Needs Debian's wrk.
#
#   bash bench/serve_load.sh
#
# Prints the Google Benchmark table, then the summary: POST /v1/ask over
# ~5,000 chunks with 64 connections against the same questions asked
# in-process, in alternating rounds of the same run (each round's ratio and
# the ratio of the totals, p99, errors, CPU per answer), and 10,000 bad requests
# interleaved with good ones (all answered 4xx with a JSON error, memory
# flat). The index is generated once under $TMPDIR/vorn_serve_bench.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v wrk >/dev/null || { echo "wrk is not installed: bash scripts/install-deps.sh" >&2; exit 1; }

export CCACHE_NOHASHDIR=1 CCACHE_BASEDIR="$PWD"
cmake --preset bench >/dev/null
cmake --build --preset bench --target vorn_serve_bench
# Bounded: the benchmarks take about a minute; a hang must not outlive this.
timeout 600 build/bench/bench/vorn_serve_bench "$@"
