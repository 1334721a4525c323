#!/usr/bin/env bash
# quorvel-flash write, the whole program, against the drive's own time:
# bench/timed's drive (one at 0:0) takes DELAY_US over every command of an
# image of BLOCKS blocks of 64 KiB, ending it before the manager call returns
# (`now`, as the SG_IO manager does) or later from its own thread (`later`).
# Each round is one run of the program; per round:
#   flash ratio    the span from the first command's call to the last one's
#                  status, over the drive's own time summed (what bench_flash
#                  measures for the window's worker);
#   whole ratio    the program from its start to its end (start-up,
#                  discovery, the checks, the image read, the record
#                  written, the end), over the same drive time.
#   bench/cli-flash.sh BUILD_DIR [ROUNDS] [DELAY_US] [BLOCKS] [now|later]
set -euo pipefail
build=$(cd "$1" && pwd)
rounds=${2:-15}
delay=${3:-10000}
blocks=${4:-12}
completion=${5:-later}
for f in "$build/bin/quorvel-flash" "$build/bin/quorvel-mkimage" "$build/bench/timed/libwnaspi32.so.1"; do
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
  rm -rf "$scratch/state" "$scratch/report"
  start=$(date +%s%N)
  # No bus to ask: the inhibitors are told so at once and hold nothing up; a
  # record of its own.
  (cd "$scratch" && env -i PATH="$PATH" HOME="$scratch" XDG_STATE_HOME="$scratch/state" \
    DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent \
    LD_LIBRARY_PATH="$build/bench/timed" QUORVEL_BENCH_DRIVE_US="$delay" QUORVEL_BENCH_DRIVE_LATER="$later" \
    QUORVEL_BENCH_DRIVE_REPORT="$scratch/report" \
    "$build/bin/quorvel-flash" write FW.BIN --drive 0:0 --yes) >/dev/null 2>"$scratch/err" ||
    { cat "$scratch/err" >&2; exit 1; }
  end=$(date +%s%N)
  read -r commands drive span < <(sed -E 's/commands=([0-9]+) drive_ns=([0-9]+) span_ns=([0-9]+)/\1 \2 \3/' "$scratch/report")
  [ "$commands" -eq "$blocks" ] || { echo "round $round: $commands commands, not $blocks" >&2; exit 1; }
  echo "$span $drive $((end - start))" >>"$scratch/rounds"
done

echo "quorvel-flash write: $blocks blocks of 64 KiB, the drive taking $((delay / 1000)) ms a block ($completion); $rounds rounds"
echo "  flash ratio    $(awk '{ print $1 / $2 }' "$scratch/rounds" | spread '%.3f')"
echo "  block          $(awk -v n="$blocks" '{ print $1 / n / 1000 }' "$scratch/rounds" | spread '%.0f') us (drive $(awk -v n="$blocks" '{ print $2 / n / 1000 }' "$scratch/rounds" | spread '%.0f') us)"
echo "  whole program  $(awk '{ print $3 / 1e6 }' "$scratch/rounds" | spread '%.1f') ms; ratio $(awk '{ print $3 / $2 }' "$scratch/rounds" | spread '%.3f')"
