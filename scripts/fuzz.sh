#!/usr/bin/env bash
# Fuzzes the index file readers for longer than the test command does. Usage: scripts/fuzz.sh [seconds]
# Builds the fuzzers with clang in build/fuzz and runs the load and the view fuzzer side by side for
# <seconds> each (default 600), keeping their corpora between runs. A crashing input is written to
# build/fuzz/artifacts/; once its fault is fixed, keep it under tests/fuzz/regressions/<load|view>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
scripts/setup.sh test
build=${KORVANE_FUZZ_BUILD:-build/fuzz}
cmake -S tests/fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$build"
mkdir -p "$build/corpus-load" "$build/corpus-view" "$build/artifacts"

# As in the test command: huge requests fail instead of aborting, and any single allocation above the
# RSS limit is a finding.
export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
pids=()
for target in load view; do
  "$build/fuzz_$target" -timeout=10 -rss_limit_mb=2048 -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target-" \
    "$build/corpus-$target" "$build/seeds" "tests/fuzz/regressions/$target" >"$build/fuzz_$target.log" 2>&1 &
  pids+=($!)
done
status=0
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || status=1
done
for target in load view; do
  echo "== fuzz_$target ($build/fuzz_$target.log)"
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|SUMMARY|==[0-9]+==ERROR)' "$build/fuzz_$target.log" || true
done
if [ "$status" -ne 0 ]; then
  echo "fuzz.sh: a fuzzer failed; its input is in $build/artifacts/" >&2
fi
exit "$status"
