#!/usr/bin/env bash
# Sets up a fresh machine and runs the test suites.
#   scripts/test.sh           debug build, every test
#   scripts/test.sh asan      the same under address + undefined-behaviour sanitizers
#   scripts/test.sh tsan      the same under the thread sanitizer
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-debug}"

bash scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j2
