#!/usr/bin/env bash
# Runs the benchmarks of a build with -DQUORVEL_BENCH=ON and prints the ratios:
# bench/run.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp)
"$build/bench/bench_block" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_format=csv 2>/dev/null | tee "$out" | grep -E '_median' | cut -d, -f1,3,4
median() { grep "^\"$1_median\"" "$out" | cut -d, -f3; }
program=$(median BM_ProgramBlock)
bare=$(median BM_BareReadAndCopy)
read=$(median BM_BareRead)
command=$(median BM_CommandOnly)
awk -v p="$program" -v b="$bare" -v r="$read" -v c="$command" 'BEGIN {
  printf "per block: program %.1f us, bare read+copy %.1f us (ratio %.2f), bare read %.1f us (ratio %.2f); the command alone %.2f us\n",
         p/1000, b/1000, p/b, r/1000, p/r, c/1000 }'
rm -f "$out"
"$here/first-paint.sh" "$build"
