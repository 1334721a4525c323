#!/usr/bin/env bash
# Runs every benchmark of a build with -DQUORVEL_BENCH=ON and prints each
# figure as min / median / max, ratios taken round by round:
#   bench/run.sh BUILD_DIR [ROUNDS]
# bench/README.md says what each compares. About three minutes on two cores.
set -euo pipefail
build=$(cd "$1" && pwd)
rounds=${2:-15}
here=$(cd "$(dirname "$0")" && pwd)
for f in bench/bench_block bench/bench_flash bench/bench_first_frame bench/bench_flash_live bench/bench_minimal_window \
  bench/bench_process_tree bin/quorvel-flash bin/quorvel-transfer bin/quorvel-mkimage sim/libwnaspi32.so.1; do
  [ -x "$build/$f" ] || { echo "missing $build/$f (configure with -DQUORVEL_BENCH=ON and build)" >&2; exit 1; }
done

# spread: numbers on standard input -> "min X  median Y  max Z" (printf format $1).
spread() {
  sort -g | awk -v f="${1:-%.3f}" '{ a[NR] = $1 }
    END { m = NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2
          printf "min " f "  median " f "  max " f, a[1], m, a[NR] }'
}
# column CSV NAME_REGEX FIELD: the FIELD (by header name) of every
# repetition (not the aggregates) whose name matches.
column() {
  awk -F, -v pattern="$2" -v field="$3" '
    NR == 1 { for (i = 1; i <= NF; i++) { gsub(/"/, "", $i); index_of[$i] = i }; next }
    { name = $1; gsub(/"/, "", name) }
    name ~ pattern && name !~ /_(mean|median|stddev|cv)$/ { print $(index_of[field]) }' "$1"
}

# section TITLE: a heading with the load average (1, 5, 15 minutes) as it
# starts, since the machine is shared and every figure is read beside it.
section() { echo "== $* (load average $(cut -d' ' -f1-3 /proc/loadavg))"; }

out=$(mktemp)
trap 'rm -f "$out"' EXIT

section "one 64 KiB block (SendImageBlock, instant manager) against a bare read of the same 64 KiB; $rounds rounds, interleaved"
"$build/bench/bench_block" --benchmark_repetitions="$rounds" --benchmark_enable_random_interleaving=true \
  --benchmark_format=csv 2>/dev/null >"$out"
echo "  program block       $(column "$out" '^BM_ProgramBlock$' real_time | awk '{print $1 / 1000}' | spread '%.2f') us"
echo "  bare read           $(column "$out" '^BM_BareRead$' real_time | awk '{print $1 / 1000}' | spread '%.2f') us"
echo "  ratio, round by round $(paste <(column "$out" '^BM_ProgramBlock$' real_time) \
  <(column "$out" '^BM_BareRead$' real_time) | awk '{print $1 / $2}' | spread '%.2f')"
echo "  the command alone   $(column "$out" '^BM_CommandOnly$' real_time | awk '{print $1 / 1000}' | spread '%.3f') us"

section "a flash of 12 blocks against the drive's own time (bench/timed's drive); 5 repetitions"
"$build/bench/bench_flash" --benchmark_repetitions=5 --benchmark_format=csv 2>/dev/null >"$out"
for case in "0 1" "1000 1" "10000 1" "100000 1" "1000 0" "10000 0" "100000 0"; do
  read -r us later <<<"$case"
  pattern="^BM_Flash/us:$us/later:$later/"
  how=$([ "$later" = 1 ] && echo "from its own thread" || echo "before the call returns")
  printf '  %6s ms a block, ended %-22s ratio %s; block %s us, drive %s us; processor %s %% of the flash\n' \
    "$(awk -v u="$us" 'BEGIN {print u / 1000}')" "$how" \
    "$(column "$out" "$pattern" ratio | spread '%.3f')" \
    "$(column "$out" "$pattern" block_us | spread '%.0f' | awk '{print $4}')" \
    "$(column "$out" "$pattern" drive_us | spread '%.0f' | awk '{print $4}')" \
    "$(paste <(column "$out" "$pattern" cpu_time) <(column "$out" "$pattern" real_time) |
       awk '{print 100 * $1 / $2}' | spread '%.1f' | awk '{print $4}')"
done

section "quorvel-flash write, the whole program, against the drive's own time (bench/timed's drive, 10 ms a block)"
"$here/cli-flash.sh" "$build" "$rounds" 10000 12 later
"$here/cli-flash.sh" "$build" "$rounds" 10000 12 now

section "quorvel-flash write and quorvel-transfer through a flash of 12 blocks of 300 ms: their processor time"
"$here/cli-flash.sh" "$build" 5 300000 12 later

section "quorvel-transfer's peak resident memory, a small image and a large one"
"$here/transfer-memory.sh" "$build" "$rounds"

section "a tower of 8 drives written at once (quorvel-flash write --all, the simulated machine) against one drive alone; its processor time and memory"
"$here/tower.sh" "$build" "$rounds"

section "a flash with 20 followers and with one that never reads, against the flash alone; status with 8 flashes under way"
"$here/follow.sh" "$build" "$rounds"

section "start to the first full frame and peak memory at idle, against the same-widgets window"
"$here/first-frame.sh" "$build" "$rounds"

section "the first Open after start: Alt+S O to the file dialog's first full frame"
QUORVEL_BENCH_KEYS="alt+s o" "$here/first-frame.sh" "$build" 8 | sed -n '/alt+s o/,$p'

section "the window through a flash of 12 blocks of 300 ms (bench/timed's drive): against the drive's own time, its answers, the processor"
"$here/flash-live.sh" "$build" 5 300 12 later
