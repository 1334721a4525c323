#!/usr/bin/env bash
# The window through a whole flash of the real program: its answers to pings
# and repaints, "WAIT..", and the processor time of the window and of the
# flash's own process (quorvel-transfer) over the flash (bench_flash_live),
# on a display of its own; and, on bench/timed's drive, the flash against the
# drive's own time.
#   bench/flash-live.sh BUILD_DIR [ROUNDS] [DELAY_MS] [BLOCKS] [now|later] [timed|sim]
# One drive that takes DELAY_MS (300) over every block of an image of BLOCKS
# (12) blocks, completing `later` from its own thread (or `now`, inside the
# manager call): bench/timed's (the default) or the simulated machine's.
# Each round is one run of the window, with settings and a record of its
# own; after the result box the window is asked to end (SIGTERM, as a
# session ending would), which tells quorvel-transfer to let the drive go,
# and the round waits for that process to end: bench/timed's figures are
# written by its manager as it ends. Per round:
#   flash ratio    the span from the first command's call to the last one's
#                  status, over the drive's own time summed (timed only);
#   whole ratio    the keys (Flash > Download) to the result box, over the
#                  same drive time: the image sealed, quorvel-transfer
#                  started and holding the drive, the blocks, the box;
#   processor      the window's and quorvel-transfer's processor time from
#                  the keys to the result box (read by the next probe, at
#                  most 50 ms later), over that time;
#   peak           quorvel-transfer's peak resident memory (VmHWM, read
#                  while it ran).
set -euo pipefail
build=$(cd "$1" && pwd)
rounds=${2:-5}
delay=${3:-300}
blocks=${4:-12}
completion=${5:-later}
drive=${6:-timed}
root=$(cd "$(dirname "$0")/.." && pwd)
case "$drive" in
  timed) manager=$build/bench/timed ;;
  sim) manager=$build/sim ;;
  *) echo "the drive is timed or sim, not $drive" >&2; exit 2 ;;
esac
for f in "$build/bin/quorvel" "$build/bin/quorvel-transfer" "$build/bin/quorvel-mkimage" \
         "$manager/libwnaspi32.so.1" "$build/sim/quorvel-sim-login1" "$build/bench/bench_flash_live"; do
  [ -e "$f" ] || { echo "missing $f (configure with -DQUORVEL_BENCH=ON and build)" >&2; exit 1; }
done

scratch=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  "$root/scripts/sim-bus.sh" stop "$scratch/bus" >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT
spread() {
  sort -g | awk -v f="${1:-%.3f}" '{ a[NR] = $1 }
    END { m = NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2
          printf "min " f "  median " f "  max " f, a[1], m, a[NR] }'
}
# running PID: the process has not ended (an ended one its parent has not
# collected yet counts as ended).
running() { [ -e "/proc/$1" ] && [ "$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)" != Z ]; }
# await PID SECONDS: until the process has ended; false if it has not by then.
await() {
  local i
  for ((i = 0; i < $2 * 100; i++)); do running "$1" || return 0; sleep 0.01; done
  return 1
}

mkdir "$scratch/work"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$scratch/display" 2>/dev/null &
pids+=($!)
disown
for _ in $(seq 100); do [ -s "$scratch/display" ] && break; sleep 0.05; done
[ -s "$scratch/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
display=:$(head -n 1 "$scratch/display")
eval "$("$root/scripts/sim-bus.sh" start "$scratch/bus" "$build/sim/quorvel-sim-login1")"

if [ "$drive" = timed ]; then
  model="QUORVEL BENCH-DRIVE"
else
  model="QUORVEL CDRW-4824A"
  cat >"$scratch/work/machine" <<M
adapters 1
device 0 1 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="1.10" delay=$delay completion=$completion
M
fi
"$build/bin/quorvel-mkimage" --quiet --model "$model" --version 1.20 --block-kb 60 --blocks "$blocks" \
  "$scratch/work/FW.BIN"
later=0
[ "$completion" = later ] && later=1

echo "the window: a drive ($drive) taking $delay ms per block ($completion), $blocks blocks; $rounds rounds"
: >"$scratch/rounds"
for ((round = 0; round < rounds; round++)); do
  home=$scratch/round$round
  mkdir -m 700 "$home" "$home/runtime"
  mkdir "$home/config" "$home/state"
  rm -f "$scratch/report"
  (cd "$scratch/work" && exec env -i PATH="$PATH" HOME="$home" LANG=C.UTF-8 DISPLAY="$display" QT_QPA_PLATFORM=xcb \
    XDG_RUNTIME_DIR="$home/runtime" XDG_CONFIG_HOME="$home/config" XDG_STATE_HOME="$home/state" \
    DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SYSTEM_BUS_ADDRESS" QUORVEL_SIM_MACHINE="$scratch/work/machine" \
    LD_LIBRARY_PATH="$manager" QUORVEL_BENCH_DRIVE_US=$((delay * 1000)) QUORVEL_BENCH_DRIVE_LATER="$later" \
    QUORVEL_BENCH_DRIVE_REPORT="$scratch/report" \
    "$build/bin/quorvel" fw.bin) >"$scratch/program.log" 2>&1 &
  program=$!
  pids+=("$program")
  disown
  DISPLAY=$display "$build/bench/bench_flash_live" "$program" >"$scratch/live" ||
    { cat "$scratch/live" "$scratch/program.log" >&2; exit 1; }
  [ "$round" -gt 0 ] || grep -v '^figures ' "$scratch/live" | sed 's/^/  first round: /'
  figures=$(grep '^figures ' "$scratch/live")
  field() { sed -nE "s/.* $1=([-0-9.]+).*/\\1/p" <<<"$figures"; }
  transfer=$(field transfer_pid)
  [ "$transfer" != 0 ] || { echo "round $round: quorvel-transfer was never seen" >&2; exit 1; }
  # The window ends; it tells quorvel-transfer to let the drive go.
  kill -TERM "$program" 2>/dev/null || true
  await "$program" 10 || { echo "round $round: the window did not end on SIGTERM" >&2; kill -9 "$program"; }
  await "$transfer" 10 || { echo "round $round: quorvel-transfer did not end" >&2; exit 1; }
  span=0 drive_ns=0
  if [ "$drive" = timed ]; then
    line=$(grep '^program=quorvel-transfer ' "$scratch/report" 2>/dev/null || true)
    [ -n "$line" ] || { echo "round $round: no figures from quorvel-transfer's drive" >&2; exit 1; }
    read -r commands drive_ns span < <(sed -E 's/.* commands=([0-9]+) drive_ns=([0-9]+) span_ns=([0-9]+)/\1 \2 \3/' <<<"$line")
    [ "$commands" -eq "$blocks" ] || { echo "round $round: $commands commands, not $blocks" >&2; exit 1; }
  fi
  echo "$span $drive_ns $(field flash_ms) $(field program_cpu_s) $(field transfer_cpu_s) $(field transfer_peak_kib)" \
    "$(field wait_ms) $(field ping_max_ms) $(field repaint_max_ms) $(field unanswered) $(field measured_ms)" \
    >>"$scratch/rounds"
done

if [ "$drive" = timed ]; then
  echo "  flash ratio    $(awk '{ print $1 / $2 }' "$scratch/rounds" | spread '%.3f')"
  echo "  block          $(awk -v n="$blocks" '{ print $1 / n / 1e6 }' "$scratch/rounds" | spread '%.1f') ms (drive $(awk -v n="$blocks" '{ print $2 / n / 1e6 }' "$scratch/rounds" | spread '%.1f') ms)"
  echo "  keys to box    $(awk '{ print $3 }' "$scratch/rounds" | spread '%.0f') ms; ratio $(awk '{ print $3 * 1e6 / $2 }' "$scratch/rounds" | spread '%.3f')"
else
  echo "  keys to box    $(awk '{ print $3 }' "$scratch/rounds" | spread '%.0f') ms"
fi
# The processor times were read a probe's interval at most after the box
# came, and are taken over the time until then.
echo "  processor      window $(awk '{ print 100 * $4 / ($11 / 1000) }' "$scratch/rounds" | spread '%.2f') %; quorvel-transfer $(awk '{ print 100 * $5 / ($11 / 1000) }' "$scratch/rounds" | spread '%.2f') %"
echo "  together       $(awk '{ print 100 * ($4 + $5) / ($11 / 1000) }' "$scratch/rounds" | spread '%.2f') % of a core over the flash"
echo "  peak resident  quorvel-transfer $(awk '{ print $6 / 1024 }' "$scratch/rounds" | spread '%.2f') MiB"
echo "  \"WAIT..\"       $(awk '{ print $7 }' "$scratch/rounds" | spread '%.1f') ms after the keys"
echo "  longest ping   $(awk '{ print $8 }' "$scratch/rounds" | spread '%.2f') ms; longest repaint $(awk '{ print $9 }' "$scratch/rounds" | spread '%.2f') ms; never answered $(awk '{ s += $10 } END { print s }' "$scratch/rounds")"
