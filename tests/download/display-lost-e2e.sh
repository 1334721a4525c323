#!/usr/bin/env bash
# The display goes away in the middle of a flash: the real program on the
# simulated machine, on an X server of this test's own, which the test kills
# by its pid while the drive takes the blocks. The toolkit then ends the
# process; the drive must still get every block, and no restart may be asked
# for. With nobody left to tell, the result is in the record and in a notice
# on the desktop (a stand-in notification service on the test's own session
# bus); the flash's process lets go of the window's standard error once the
# window is gone.
#   display-lost-e2e.sh BUILD_DIR SOURCE_DIR [SCREENSHOT_DIR]
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../scripts/lib.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/lib.sh"
own_session "$0" "$@"
e2e_setup display-lost "$@"

cat >"$work/machine" <<'M'
trace quorvel-sim.trace
state quorvel-sim.state
dump  dumps
adapters 1
device 0 1 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="1.10" delay=400 final-delay=1000 completion=later
M
mkdir "$work/run"
# 384 KiB: six blocks of 60 KiB, then the final 24 KiB.
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 60 --blocks 7 \
  "$work/run/AUTORUN.BIN"

# An X server of our own: the one the test runs under must live on.
xvfb_pid=""
stop_xvfb() { [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null; xvfb_pid=""; }
trap 'stop_xvfb; e2e_cleanup' EXIT
for n in $(seq 140 199); do
  [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || { display=":$n"; break; }
done
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do DISPLAY=$display xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
export DISPLAY=$display

start_bus "$work/bus"
start_notices
start_program "$work/run" "$work/program.log" "$work/machine"
prompt=$(wait_window MESSAGE 60) || fail "no start prompt came"
answer "$prompt"
wait_trace 'Download=2 ' 30 || fail "the blocks did not start"
shot display-lost-before
stop_xvfb
finish 60 || fail "the program or its flash's process did not end once the drive had answered"
grep -q 'X11 connection broke' "$work/program.log" || fail "the display was not lost as the test meant"
expect_downloads 7 18
expect_revision 0 1 1.20
grep -q '^quorvel: the window is gone: the download goes on until the drive has answered its final block.$' \
  "$work/program.log" || fail "standard error did not say that the download goes on"
grep -q 'DOWNLOAD OK' "$work/program.log" && fail "the flash's process kept the window's standard error"
grep -q ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD" && fail "a restart was requested without a window"
record=$(sed -E 's/.*"block":([0-9]+),"blocks":([0-9]+),.*"detail":"([^"]*)","event":"([a-z-]+)".*/\4 \1\/\2 \3/' \
  "$work/state/quorvel/flashes.jsonl")
[ "$record" = $'started 0/7 \naccepted 7/7 \nunattended 7/7 the window was gone' ] ||
  fail "the record of flashes says:"$'\n'"$record"
[ "$(notices)" = "Firmware written: restart to finish | QUORVEL CDRW-4824A: firmware 1.20, written while the window was gone. The drive accepted all 7 blocks. Restart the computer to finish the update." ] ||
  fail "the desktop was told: $(notices)"
echo "display lost: every block reached the drive (exit $exit_code), no restart; the record and the desktop's notice say the result"
