#!/usr/bin/env bash
# The quality harness in one command: installs the documentation corpora,
# builds vorn-rag and vorn-eval (release), indexes each corpus afresh and
# prints recall@5, MRR@10, nDCG@10 and citation figures per retriever and
# per strategy, as Markdown tables.
#   eval/run.sh [corpus...]        (default: every eval/questions/*.tsv that has a corpus)
# Extra vorn-eval flags go in VORN_EVAL_FLAGS (e.g. --verbose).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash eval/prepare.sh build/eval/corpora >/dev/null
cmake --preset release >/dev/null
cmake --build build/release --target vorn-rag vorn-eval -j2 >/dev/null

bin=build/release/apps/vorn-rag/vorn-rag
eval_bin=build/release/eval/vorn-eval
corpora=("$@")
if [ "${#corpora[@]}" -eq 0 ]; then
  for q in eval/questions/*.tsv; do
    name=$(basename "$q" .tsv)
    [ -d "build/eval/corpora/$name" ] && corpora+=("$name")
  done
fi

for name in "${corpora[@]}"; do
  store="build/eval/$name.db"
  rm -f "$store" "$store-wal" "$store-shm"
  bytes=$(find "build/eval/corpora/$name" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
  # Wall and CPU time: on a shared machine the CPU figure is the stable one.
  times=$( { TIMEFORMAT='%R %U %S'; time "$bin" --store "$store" index --no-progress "build/eval/corpora/$name" >/dev/null; } 2>&1 )
  read -r wall user sys <<<"$times"
  awk -v b="$bytes" -v w="$wall" -v c="$(awk -v u="$user" -v s="$sys" 'BEGIN {print u + s}')" -v n="$name" \
    'BEGIN {printf "indexed %s: %.1f MB in %.1f s wall (%.2f MB/s), %.1f s CPU (%.2f MB/s)\n", n, b / 1e6, w, b / 1e6 / w, c, b / 1e6 / c}'
  # shellcheck disable=SC2086
  "$eval_bin" --store "$store" --questions "eval/questions/$name.tsv" --corpus "$name" ${VORN_EVAL_FLAGS:-}
done
