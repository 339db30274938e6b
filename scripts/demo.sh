#!/usr/bin/env bash
# Sets up a fresh machine, builds vorn-rag, indexes the project's own
# documentation and answers a question about it, offline: embedded SQLite
# store, offline embedder and extractive answerer; no server, no API key, no
# network.
#   scripts/demo.sh ["question"] [vorn-rag ask options, e.g. --strategy crag --trace]
set -euo pipefail
cd "$(dirname "$0")/.."

question="${1:-How does a strategy build its pipeline?}"
shift || true

bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target vorn-rag

bin=build/release/apps/vorn-rag/vorn-rag
store=build/release/demo/index.db
# Built afresh each time: an index left by an older build may have another
# format, which vorn-rag refuses rather than misread.
rm -f "$store" "$store-wal" "$store-shm" "$store-vectors"
"$bin" --store "$store" index --no-progress README.md docs
echo
"$bin" --store "$store" ask "$question" "$@"
