#!/usr/bin/env bash
# The demo without a display of its own (called by scripts/run.sh under Xvfb):
# the autorun flow on the simulated machine, answered by xdotool, with
# screenshots. Expects the environment run.sh sets up; $1 is the demo directory.
set -euo pipefail
demo=$1
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/bin
shots=$demo/shots
cd "$demo"
. "$root/scripts/demo-lib.sh"

# wait_window NAME SECONDS [NOT_ID]: prints the id of a visible window titled NAME.
wait_window() {
  local name=$1 limit=$2 not=${3:-} id
  for _ in $(seq $((limit * 10))); do
    id=$(xdotool search --onlyvisible --name "^${name}\$" 2>/dev/null | grep -v "^${not:-x}\$" | tail -n 1 || true)
    if [ -n "$id" ]; then echo "$id"; return 0; fi
    sleep 0.1
  done
  echo "no window '$name' within ${limit}s" >&2
  return 1
}
shot() { sleep 0.5; import -window root "$shots/$1.png"; echo "  screenshot: $shots/$1.png"; }
press_return() { xdotool windowfocus --sync "$1" 2>/dev/null || true; sleep 0.2; xdotool key Return; }

first=$(revision_of 0 1)
echo "Drive 1: QUORVEL CDRW-4824A at adapter 0, target 1, firmware $first before the download."
echo "Starting QUORVEL in autorun mode with AUTORUN.BIN = FW4824.BIN (firmware 1.20 for that drive)."
cp FW4824.BIN AUTORUN.BIN
before=$(reboots)
"$bin/quorvel" >"$demo/quorvel-1.log" 2>&1 &
pid=$!

prompt=$(wait_window MESSAGE 30)
shot 1-start-prompt
echo "The start prompt asks to begin; answering OK."
press_return "$prompt"
# Four blocks of 0.7 s on the user-interface thread, then the final block
# stays 5 s in the drive while the bar moves.
sleep 5
shot 2-downloading

# The non-final blocks go out on the user-interface thread; then the final block
# is in the drive while the bar moves, until the result box comes.
result=$(wait_window MESSAGE 120 "$prompt")
shot 3-result
echo "The result box is up; closing it."
press_return "$result"

for _ in $(seq 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
  echo "The program did not end with the simulated restart." >&2
  kill "$pid"; exit 1
fi
rm -f AUTORUN.BIN
if [ "$(reboots)" -le "$before" ]; then
  echo "No restart was requested." >&2
  exit 1
fi
echo "The program requested the restart; the simulated machine restarted (the program was ended)."

echo "Starting QUORVEL again after the restart."
"$bin/quorvel" >"$demo/quorvel-2.log" 2>&1 &
pid=$!
wait_window QUORVEL 30 >/dev/null
shot 4-after-restart
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true

echo "Drive 1 firmware: before $first, after $(revision_of 0 1)."
echo "What the drive received: $demo/quorvel-sim.trace"
echo "Screenshots: $shots"
