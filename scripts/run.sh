#!/usr/bin/env bash
# Runs QUORVEL on the simulated machine (the demo).
#
# Installs what is missing, builds, and sets up a scratch machine in demo-run/:
# the demo machine file (two adapters: two CD/DVD drives of different models, a
# disk and a tape), firmware images for it, and a private system bus whose
# login1 service stands in for the system restart.
#
# With a display: the window opens there. Open FW4824.BIN (made for the first
# drive), press Down; after "DOWNLOAD OK!!" the simulated machine restarts,
# which ends the program, and this script starts it again, showing the drive's
# new firmware version. Exit the program to end the demo.
#
# Without a display: the same runs under Xvfb, driven by a script as a user
# would (scripts/demo-headless.sh), each argument meaning what it means with a
# display; it prints what happened, the drives' versions before and after and
# where the screenshots are.
#
#   scripts/run.sh                 the window, no image loaded
#   scripts/run.sh --autorun       FW4824.BIN as AUTORUN.BIN: offered at start
#   scripts/run.sh fw1612.bin      a name on the command line: loaded at start
set -euo pipefail
autorun=0
if [ "${1:-}" = "--autorun" ]; then autorun=1; shift; fi
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# Only what the demo needs: the program, its managers, the login1 stand-in and
# the image writer (the test command installs and builds the rest).
bash scripts/deps.sh run
scripts/build.sh build --target quorvel --target quorvel-mkimage --target wnaspi32_sg --target wnaspi32_sim \
  --target quorvel-sim-login1 -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

bin=$root/build/bin
demo=$root/demo-run
rm -rf "$demo"
mkdir -p "$demo/shots"
cp demo/machine/demo.machine "$demo/"

# Images: FW4824.BIN for the first drive, FW1612.BIN for the second one.
bash demo/images/make-images.sh "$root/build" "$demo" >/dev/null

export LD_LIBRARY_PATH="$root/build/sim${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export QUORVEL_SIM_MACHINE=$demo/demo.machine
# The demo's record of flashes, apart from the user's own.
export QUORVEL_STATE_HOME=$demo/state XDG_STATE_HOME=$demo/state
eval "$(scripts/sim-bus.sh start "$demo/bus" "$root/build/sim/quorvel-sim-login1")"
trap '"$root/scripts/sim-bus.sh" stop "$demo/bus" >/dev/null 2>&1 || true' EXIT

cd "$demo"
# shellcheck source=SCRIPTDIR/lib.sh
. "$root/scripts/lib.sh"

if have_display; then
  echo "Simulated machine: $demo/demo.machine"
  echo "Images to open: $demo/FW4824.BIN (for the first drive), $demo/FW1612.BIN (for the second drive)"
  [ "$autorun" -eq 0 ] || cp FW4824.BIN AUTORUN.BIN
  while :; do
    before=$(reboots)
    "$bin/quorvel" "$@" || true
    # After a restart the image has been written: it is not offered again.
    rm -f AUTORUN.BIN
    set --
    if [ "$(reboots)" -gt "$before" ]; then
      echo "The simulated machine restarts; the first drive now reports firmware $(revision_of 0 1)."
      continue
    fi
    break
  done
  exit 0
fi

# No display: the same under Xvfb, driven by a script, with the same argument.
[ "$autorun" -eq 0 ] || set -- --autorun "$@"
exec "$root/scripts/with-display.sh" bash "$root/scripts/demo-headless.sh" "$demo" "$@"
