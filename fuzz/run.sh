#!/usr/bin/env bash
# Runs every fuzz target for a bounded time and prints how many inputs each
# one executed.
#
#   fuzz/run.sh [BUILD_DIR] [SECONDS_PER_TARGET]
#
# BUILD_DIR defaults to the `fuzz` preset's tree (build/fuzz); the time per
# target to $VORN_FUZZ_SECONDS or 20. The seeds in fuzz/corpus/<target> are
# read, never written: new inputs go to a scratch corpus. A crash, a leak,
# undefined behaviour or an input slower than 10 s fails the target; its
# reproducer is kept under fuzz-artifacts/ in the build tree.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/fuzz}"
build="$(cd "$build" && pwd)"  # the targets run from a scratch folder
seconds="${2:-${VORN_FUZZ_SECONDS:-20}}"
# The targets built by fuzz/CMakeLists.txt, one a line.
mapfile -t targets < <(grep -v '^[[:space:]]*$' "$root/fuzz/targets.txt")

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
artifacts="$build/fuzz-artifacts"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$artifacts"

passed=0
failed=0
summary=""
for target in "${targets[@]}"; do
  exe="$build/fuzz/fuzz_$target"
  if [ ! -x "$exe" ]; then
    echo "fuzz_$target: not built in $build" >&2
    failed=$((failed + 1))
    summary+=$(printf '%-22s %12s  %s' "$target" "-" "NOT BUILT")$'\n'
    continue
  fi
  mkdir -p "$scratch/$target"
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1
        -artifact_prefix="$artifacts/$target-")
  [ -f "$root/fuzz/$target.dict" ] && args+=(-dict="$root/fuzz/$target.dict")
  log="$scratch/$target.log"
  status=0
  # The scratch corpus comes first: libFuzzer writes new inputs to it.
  (cd "$scratch" && "$exe" "${args[@]}" "$scratch/$target" "$root/fuzz/corpus/$target") >"$log" 2>&1 || status=$?
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1 || true)
  execs="${execs:-0}"
  if [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
    verdict="ok"
  else
    failed=$((failed + 1))
    verdict="FAILED (exit $status)"
    echo "---- fuzz_$target failed; the end of its log:" >&2
    tail -n 60 "$log" >&2
  fi
  line=$(printf '%-22s %12s  %s' "$target" "$execs" "$verdict")
  echo "$line"
  summary+="$line"$'\n'
done

echo
echo "target                 executions  verdict (${seconds} s each)"
printf '%s' "$summary"
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
