#!/usr/bin/env bash
# quorvel-flash write, the whole program, against the drive's own time:
# bench/timed's drive (one at 0:0) takes DELAY_US over every command of an
# image of BLOCKS blocks of 64 KiB, ending it before the manager call returns
# (`now`, as the SG_IO manager does) or later from its own thread (`later`).
# The blocks go from quorvel-transfer, which quorvel-flash starts and
# follows; the drive's figures are the ones that process's manager writes as
# it ends, after quorvel-flash. Each round is one run of the program, under
# bench_process_tree, which waits for both to end; per round:
#   flash ratio    the span from the first command's call to the last one's
#                  status, over the drive's own time summed (what bench_flash
#                  measures for the worker);
#   whole ratio    quorvel-flash from its start to its end (start-up,
#                  discovery, the checks, the image sealed, the flash's
#                  process started and followed, the record written, the
#                  end), over the same drive time;
#   processor      quorvel-flash's and quorvel-transfer's processor time,
#                  their whole lives, over quorvel-flash's run;
#   peak           quorvel-transfer's peak resident memory (ru_maxrss).
#   bench/cli-flash.sh BUILD_DIR [ROUNDS] [DELAY_US] [BLOCKS] [now|later]
set -euo pipefail
build=$(cd "$1" && pwd)
rounds=${2:-15}
delay=${3:-10000}
blocks=${4:-12}
completion=${5:-later}
for f in "$build/bin/quorvel-flash" "$build/bin/quorvel-transfer" "$build/bin/quorvel-mkimage" \
         "$build/bench/timed/libwnaspi32.so.1" "$build/bench/bench_process_tree"; do
  [ -e "$f" ] || { echo "missing $f (configure with -DQUORVEL_BENCH=ON and build)" >&2; exit 1; }
done
later=0
[ "$completion" = later ] && later=1

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# 64 KiB blocks, the final one as long: every command carries a whole block.
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL BENCH-DRIVE" --version 1.01 --block-kb 64 \
  --blocks "$blocks" --size $((blocks * 65536)) "$scratch/FW.BIN"

spread() {
  sort -g | awk -v f="${1:-%.3f}" '{ a[NR] = $1 }
    END { m = NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2
          printf "min " f "  median " f "  max " f, a[1], m, a[NR] }'
}

: >"$scratch/rounds"
for ((round = 0; round < rounds; round++)); do
  rm -rf "$scratch/state" "$scratch/report" "$scratch/tree"
  # No bus to ask: the inhibitors are told so at once and hold nothing up; a
  # record of its own.
  (cd "$scratch" && env -i PATH="$PATH" HOME="$scratch" XDG_STATE_HOME="$scratch/state" \
    DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent \
    LD_LIBRARY_PATH="$build/bench/timed" QUORVEL_BENCH_DRIVE_US="$delay" QUORVEL_BENCH_DRIVE_LATER="$later" \
    QUORVEL_BENCH_DRIVE_REPORT="$scratch/report" \
    "$build/bench/bench_process_tree" --every 50 --report "$scratch/tree" -- \
    "$build/bin/quorvel-flash" write FW.BIN --drive 0:0 --yes) >/dev/null 2>"$scratch/err" ||
    { cat "$scratch/err" >&2; exit 1; }
  line=$(grep '^program=quorvel-transfer ' "$scratch/report" || true)
  [ -n "$line" ] || { echo "round $round: no figures from quorvel-transfer's drive" >&2; cat "$scratch/report" "$scratch/tree" >&2; exit 1; }
  read -r commands drive span < <(sed -E 's/.* commands=([0-9]+) drive_ns=([0-9]+) span_ns=([0-9]+)/\1 \2 \3/' <<<"$line")
  [ "$commands" -eq "$blocks" ] || { echo "round $round: $commands commands, not $blocks" >&2; exit 1; }
  grep -q '^process name=quorvel-transfer\? ' "$scratch/tree" || { echo "round $round: no quorvel-transfer ran" >&2; exit 1; }
  whole_ms=$(sed -nE 's/^command ms=([0-9.]+) .*/\1/p' "$scratch/tree")
  # Only what was collected here: one collected by its parent is counted in
  # that parent's figures already.
  cpu_ms=$(awk '/^process / && / collected=here/ { sub(/.*cpu_ms=/, ""); sum += $1 } END { print sum }' "$scratch/tree")
  peak_kib=$(sed -nE 's/^process name=quorvel-transfer? .* peak_kib=([0-9]+) .*/\1/p' "$scratch/tree")
  echo "$span $drive $whole_ms $cpu_ms $peak_kib" >>"$scratch/rounds"
done

echo "quorvel-flash write: $blocks blocks of 64 KiB, the drive taking $((delay / 1000)) ms a block ($completion); $rounds rounds"
echo "  flash ratio    $(awk '{ print $1 / $2 }' "$scratch/rounds" | spread '%.3f')"
echo "  block          $(awk -v n="$blocks" '{ print $1 / n / 1000 }' "$scratch/rounds" | spread '%.0f') us (drive $(awk -v n="$blocks" '{ print $2 / n / 1000 }' "$scratch/rounds" | spread '%.0f') us)"
echo "  whole program  $(awk '{ print $3 }' "$scratch/rounds" | spread '%.1f') ms; ratio $(awk '{ print $3 * 1e6 / $2 }' "$scratch/rounds" | spread '%.3f')"
echo "  processor      $(awk '{ print $4 }' "$scratch/rounds" | spread '%.1f') ms, quorvel-flash and quorvel-transfer; $(awk '{ print 100 * $4 / $3 }' "$scratch/rounds" | spread '%.1f') % of a core over the run"
echo "  peak resident  quorvel-transfer $(awk '{ print $5 / 1024 }' "$scratch/rounds" | spread '%.2f') MiB (image $(awk -v b="$blocks" 'BEGIN { printf "%.2f", b * 64 / 1024 }') MiB)"
