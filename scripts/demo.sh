#!/usr/bin/env bash
# Sets up a fresh machine, builds vorn_rag and answers a question over the
# project's own documentation, offline: embedded store, offline embedder and
# extractive answerer; no server, no API key, no network.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target quickstart
./build/release/examples/quickstart "${1:-How does a strategy build its pipeline?}"
