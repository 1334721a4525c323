#!/usr/bin/env bash
# The demo without a display of its own (called by scripts/run.sh under Xvfb):
# the autorun flow on the simulated machine, answered by xdotool, with
# screenshots. Expects the environment run.sh sets up (the private bus in
# $1/bus, which this script stops at its end); $1 is the demo directory.
set -euo pipefail
demo=$1
root=$(cd "$(dirname "$0")/.." && pwd)
source=$root
build=$root/build
shots=$demo/shots
cd "$demo"
# shellcheck source=SCRIPTDIR/lib.sh
. "$root/scripts/lib.sh"
# run.sh handed its process over to this script: the bus is ended here.
bus_dir=$demo/bus
trap e2e_stop EXIT

# await NAME SECONDS [NOT_ID]: the program's visible window titled NAME.
await() {
  wait_window "$@" || { echo "no window '$1' within ${2}s" >&2; return 1; }
}

first=$(revision_of 0 1)
echo "Drive 1: QUORVEL CDRW-4824A at adapter 0, target 1, firmware $first before the download."
echo "Starting QUORVEL in autorun mode with AUTORUN.BIN = FW4824.BIN (firmware 1.20 for that drive)."
cp FW4824.BIN AUTORUN.BIN
before=$(reboots)
start_program "$demo" "$demo/quorvel-1.log" "$demo/demo.machine"

prompt=$(await MESSAGE 30)
shot 1-start-prompt 0.5
echo "The start prompt asks to begin; answering OK."
answer "$prompt"
# Four blocks of 0.7 s on the user-interface thread, then the final block
# stays 5 s in the drive while the bar moves.
sleep 5
shot 2-downloading 0.5

# The non-final blocks go out on the user-interface thread; then the final block
# is in the drive while the bar moves, until the result box comes.
result=$(await MESSAGE 120 "$prompt")
shot 3-result 0.5
echo "The result box is up; closing it."
answer "$result"

if ! finish 10; then
  echo "The program did not end with the simulated restart." >&2
  exit 1
fi
rm -f AUTORUN.BIN
if [ "$(reboots)" -le "$before" ]; then
  echo "No restart was requested." >&2
  exit 1
fi
echo "The program requested the restart; the simulated machine restarted (the program was ended)."

echo "Starting QUORVEL again after the restart."
start_program "$demo" "$demo/quorvel-2.log" "$demo/demo.machine"
await QUORVEL 30 >/dev/null
shot 4-after-restart 0.5
stop_program

echo "Drive 1 firmware: before $first, after $(revision_of 0 1)."
echo "What the drive received: $demo/quorvel-sim.trace"
echo "Screenshots: $shots"
