#!/usr/bin/env bash
# The demo without a display of its own (called by scripts/run.sh under Xvfb):
# the program on the simulated machine, driven with xdotool as a user would,
# with screenshots. Each argument does what it does with a display:
#   demo-headless.sh DEMO_DIR               no image at start: Open FW4824.BIN, Down
#   demo-headless.sh DEMO_DIR --autorun     FW4824.BIN as AUTORUN.BIN: offered at start
#   demo-headless.sh DEMO_DIR NAME          NAME on the command line: loaded at start
# A start prompt or "File Open OK !!" is answered with OK, the result box is
# closed, the restart ends the program, and it is started once more to show the
# drive's new firmware. Expects the environment run.sh sets up (the private bus
# in DEMO_DIR/bus, which this script stops at its end).
set -euo pipefail
demo=$1
shift
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
drives() { echo "drive 1 (CDRW-4824A, adapter 0, target 1) $(revision_of 0 1), drive 2 (DVDRW-1612B, adapter 1, target 0) $(revision_of 1 0)"; }
downloads() { grep -c 'Download=' quorvel-sim.trace 2>/dev/null || true; }

echo "Firmware before: $(drives)."
arguments=()
case "${1:-}" in
  --autorun)
    cp FW4824.BIN AUTORUN.BIN
    echo "Starting QUORVEL in autorun mode: AUTORUN.BIN (a copy of FW4824.BIN, firmware 1.20 for drive 1) in its working directory."
    ;;
  "")
    echo "Starting QUORVEL with no image; opening FW4824.BIN (firmware 1.20 for drive 1) as a user would."
    ;;
  *)
    arguments=("$@")
    echo "Starting QUORVEL with '$*' on its command line: it loads that name, cut to 10 characters and upper-cased, from $demo."
    ;;
esac
before=$(reboots)
start_program "$demo" "$demo/quorvel-1.log" "$demo/demo.machine" "$build/bin/quorvel" "${arguments[@]}"
main=$(await QUORVEL 30)

if [ $# -eq 0 ]; then
  known=$(visible_windows)
  focus "$main"
  keys alt+s o
  dialog=$(wait_new_window 30 $known) || { echo "the file dialog did not come" >&2; exit 1; }
  shot 1-open-dialog 0.3
  focus "$dialog"
  xdotool type --delay 10 "$demo/FW4824.BIN"
  keys Return
  box=""
  for _ in 1 2 3; do  # the name completer may take the first Return for itself
    box=$(wait_window MESSAGE 10) || box=""
    [ -n "$box" ] && break
    [[ " $(visible_windows) " != *" $dialog "* ]] || { focus "$dialog"; keys Return; }
  done
  [ -n "$box" ] || { echo "no box after Open" >&2; exit 1; }
  shot 2-opened 0.5
  echo "Open: the image's box is up; closing it, then Flash > Download."
  answer "$box"
  wait_closed MESSAGE 5 || true
  focus "$main"
  keys alt+f d
else
  box=$(await MESSAGE 30)
  shot 1-start-prompt 0.5
  echo "A box came at start; answering OK."
  answer "$box"
fi

if ! poll 5 bash -c '[ "$(grep -c Download= quorvel-sim.trace 2>/dev/null)" -gt 0 ]'; then
  shot 3-no-download 0.5
  echo "No download started: the program did not accept the image (see $shots/3-no-download.png)."
  stop_program
  exit 1
fi
echo "The download runs: the blocks go to the drive while the bar moves."
sleep 3
shot 3-downloading 0.3
result=$(await MESSAGE 120 "$box")
shot 4-result 0.5
echo "The result box is up after $(downloads) download commands; closing it."
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

echo "Starting QUORVEL again after the restart, with no image."
start_program "$demo" "$demo/quorvel-2.log" "$demo/demo.machine"
await QUORVEL 30 >/dev/null
if confirmed=$(wait_window MESSAGE 15); then
  shot 5-firmware-updated 0.5
  echo "It checks the flash it recorded: a box says that the drive now runs its new firmware; closing it."
  answer "$confirmed"
  wait_closed MESSAGE 5 || true
else
  echo "No box said whether the new firmware took." >&2
fi
shot 6-after-restart 0.5
stop_program

echo "Firmware after: $(drives)."
echo "What the drives received: $demo/quorvel-sim.trace"
echo "Screenshots: $shots"
