#!/usr/bin/env bash
# The flash's own process, quorvel-transfer, through a whole flash: its peak
# resident memory (ru_maxrss, which counts the pages of the image's sealed
# copy it has mapped and read), for a small image and a large one, the two
# alternating round by round. Each round is one run of quorvel-flash write
# into bench/timed's drive (1 ms a block, ended from its own thread) under
# bench_process_tree, which collects quorvel-transfer once quorvel-flash has
# ended. Prints the peak in MiB and the peak less the image's size.
#   bench/transfer-memory.sh BUILD_DIR [ROUNDS] [SMALL_KB SMALL_BLOCKS [LARGE_KB LARGE_BLOCKS]]
# The images: SMALL_BLOCKS (5) blocks of SMALL_KB (48) KiB, LARGE_BLOCKS (40)
# blocks of LARGE_KB (255) KiB, each as long as its blocks.
set -euo pipefail
build=$(cd "$1" && pwd)
rounds=${2:-15}
images=("${3:-48} ${4:-5}" "${5:-255} ${6:-40}")
for f in "$build/bin/quorvel-flash" "$build/bin/quorvel-transfer" "$build/bin/quorvel-mkimage" \
         "$build/bench/timed/libwnaspi32.so.1" "$build/bench/bench_process_tree"; do
  [ -e "$f" ] || { echo "missing $f (configure with -DQUORVEL_BENCH=ON and build)" >&2; exit 1; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
spread() {
  sort -g | awk -v f="${1:-%.3f}" '{ a[NR] = $1 }
    END { m = NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2
          printf "min " f "  median " f "  max " f, a[1], m, a[NR] }'
}

for i in "${!images[@]}"; do
  read -r kb blocks <<<"${images[$i]}"
  mkdir "$scratch/$i"
  "$build/bin/quorvel-mkimage" --quiet --model "QUORVEL BENCH-DRIVE" --version 1.01 --block-kb "$kb" \
    --blocks "$blocks" --size $((kb * 1024 * blocks)) "$scratch/$i/FW.BIN"
  : >"$scratch/$i/rounds"
done

for ((round = 0; round < rounds; round++)); do
  for i in "${!images[@]}"; do
    read -r kb blocks <<<"${images[$i]}"
    dir=$scratch/$i
    rm -rf "$dir/state" "$dir/report" "$dir/tree"
    (cd "$dir" && env -i PATH="$PATH" HOME="$dir" XDG_STATE_HOME="$dir/state" \
      DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent \
      LD_LIBRARY_PATH="$build/bench/timed" QUORVEL_BENCH_DRIVE_US=1000 QUORVEL_BENCH_DRIVE_LATER=1 \
      QUORVEL_BENCH_DRIVE_REPORT="$dir/report" \
      "$build/bench/bench_process_tree" --every 5 --report "$dir/tree" -- \
      "$build/bin/quorvel-flash" write FW.BIN --drive 0:0 --yes) >/dev/null 2>"$dir/err" ||
      { cat "$dir/err" >&2; exit 1; }
    commands=$(sed -nE 's/^program=quorvel-transfer commands=([0-9]+) .*/\1/p' "$dir/report")
    [ "$commands" = "$blocks" ] || { echo "round $round: ${commands:-no} commands, not $blocks" >&2; exit 1; }
    line=$(grep -E '^process name=quorvel-transfer? ' "$dir/tree") ||
      { echo "round $round: no quorvel-transfer ran" >&2; exit 1; }
    # Collected by quorvel-flash instead (it ended first): the last reading.
    [[ "$line" == *collected=here* ]] || echo "round $round: quorvel-transfer's peak read while it ran, not collected" >&2
    sed -nE 's/.* peak_kib=([0-9]+) .*/\1/p' <<<"$line" >>"$dir/rounds"
  done
done

for i in "${!images[@]}"; do
  read -r kb blocks <<<"${images[$i]}"
  image_kib=$((kb * blocks))
  echo "quorvel-transfer through a flash of $blocks blocks of $kb KiB ($(awk -v k="$image_kib" 'BEGIN { printf "%.2f", k / 1024 }') MiB); $rounds rounds"
  echo "  peak resident          $(awk '{ print $1 / 1024 }' "$scratch/$i/rounds" | spread '%.2f') MiB"
  echo "  less the image         $(awk -v k="$image_kib" '{ print ($1 - k) / 1024 }' "$scratch/$i/rounds" | spread '%.2f') MiB (at most 30)"
done
