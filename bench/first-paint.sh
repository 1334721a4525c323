#!/usr/bin/env bash
# Whole-process time from start to the first paint of the main window, beside
# a minimal Qt window: bench/first-paint.sh BUILD_DIR [RUNS]
# Both run under Xvfb with a preloaded probe that reports the first paint; the
# program runs against the instant manager (one drive), so that no start-up
# box comes before its window.
set -euo pipefail
build=$(cd "$1" && pwd)
runs=${2:-15}
probe=$build/bench/libbench_paint_probe.so
program=$build/bin/quorvel
minimal=$build/bench/bench_minimal_window
for f in "$probe" "$program" "$minimal"; do
  [ -e "$f" ] || { echo "missing $f (configure with -DQUORVEL_BENCH=ON and build)" >&2; exit 1; }
done

measure() {  # prints one time in microseconds
  local start painted
  start=$(date +%s%N)
  painted=$(LD_PRELOAD=$probe LD_LIBRARY_PATH=$build/bench/instant "$@" 2>&1 >/dev/null | sed -n 's/^FIRST_PAINT \([0-9]*\).*/\1/p' | head -1)
  [ -n "$painted" ] || { echo "no paint from $*" >&2; exit 1; }
  echo $(( (painted - start) / 1000 ))
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

run_all() {
  local what=$1; shift
  local scratch; scratch=$(mktemp -d)
  ( cd "$scratch" && for _ in $(seq "$runs"); do measure "$@"; done ) | median
  rm -rf "$scratch"
}

body() {
  measure "$minimal" >/dev/null   # warm the page cache
  measure "$program" >/dev/null
  local p m
  p=$(run_all program "$program")
  m=$(run_all minimal "$minimal")
  echo "first paint, median of $runs: program ${p} us, minimal Qt window ${m} us, ratio $(awk -v a="$p" -v b="$m" 'BEGIN {printf "%.2f", a/b}')"
}

if [ -n "${DISPLAY:-}" ] && [ "${QUORVEL_BENCH_INNER:-}" = 1 ]; then
  body
else
  QUORVEL_BENCH_INNER=1 xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$0" "$build" "$runs"
fi
