#!/usr/bin/env bash
# The window through a whole flash of the real program on the simulated
# machine: its answers to pings and repaints, "WAIT.." and its processor time
# (bench_flash_live), on a display of its own.
#   bench/flash-live.sh BUILD_DIR [DELAY_MS] [BLOCKS] [COMPLETION]
# One drive that takes DELAY_MS (300) over every block of an image of BLOCKS
# (12) blocks, completing `later` from its own thread (or `now`, inside the
# manager call).
set -euo pipefail
build=$(cd "$1" && pwd)
delay=${2:-300}
blocks=${3:-12}
completion=${4:-later}
root=$(cd "$(dirname "$0")/.." && pwd)
for f in "$build/bin/quorvel" "$build/bin/quorvel-mkimage" "$build/sim/libwnaspi32.so.1" \
         "$build/sim/quorvel-sim-login1" "$build/bench/bench_flash_live"; do
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
mkdir -m 700 "$scratch/runtime"
mkdir "$scratch/home" "$scratch/config" "$scratch/work"

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$scratch/display" 2>/dev/null &
pids+=($!)
disown
for _ in $(seq 100); do [ -s "$scratch/display" ] && break; sleep 0.05; done
[ -s "$scratch/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
display=:$(head -n 1 "$scratch/display")
eval "$("$root/scripts/sim-bus.sh" start "$scratch/bus" "$build/sim/quorvel-sim-login1")"

cat >"$scratch/work/machine" <<M
adapters 1
device 0 1 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="1.10" delay=$delay completion=$completion
M
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 60 \
  --blocks "$blocks" "$scratch/work/FW.BIN"

cd "$scratch/work"
env -i PATH="$PATH" HOME="$scratch/home" LANG=C.UTF-8 DISPLAY="$display" QT_QPA_PLATFORM=xcb \
  XDG_RUNTIME_DIR="$scratch/runtime" XDG_CONFIG_HOME="$scratch/config" \
  DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SYSTEM_BUS_ADDRESS" QUORVEL_SIM_MACHINE="$scratch/work/machine" \
  LD_LIBRARY_PATH="$build/sim" "$build/bin/quorvel" fw.bin >"$scratch/program.log" 2>&1 &
program=$!
pids+=("$program")
disown
echo "a drive taking $delay ms per block ($completion), $blocks blocks"
DISPLAY=$display "$build/bench/bench_flash_live" "$program"
