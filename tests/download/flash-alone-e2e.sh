#!/usr/bin/env bash
# A flash outlives its window: the real program on the simulated machine
# under an X display, the blocks sent by the flash's own process.
#  1. the window killed with SIGKILL (its pid only) at block 2 of 7, and no
#     other window started meanwhile: the drive still gets every block byte
#     for byte, no restart is requested, the record says accepted and
#     unattended, and the desktop is told (a stand-in notification service on
#     the test's own session bus); the flash's process lets go of the killed
#     window's standard error; the first start after the flash has ended
#     tells how it came out, once (a window started meanwhile picks the flash
#     up: tests/app/follow-e2e.sh);
#  2. the flash's process killed at block 2: the window says so in a box,
#     requests no restart, records it, and is idle again: Down flashes the
#     drive anew.
#   flash-alone-e2e.sh BUILD_DIR SOURCE_DIR [SCREENSHOT_DIR]
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../scripts/lib.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/lib.sh"
own_session "$0" "$@"
e2e_setup flash-alone "$@"

cat >"$work/machine" <<'M'
trace quorvel-sim.trace
state quorvel-sim.state
dump  dumps
adapters 1
device 0 1 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="1.10" delay=900 final-delay=2000 completion=later
M
image() {  # image PATH: 384 KiB, six blocks of 60 KiB and the final 24 KiB
  "$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 60 --blocks 7 "$1"
}
record=$work/state/quorvel/flashes.jsonl
# events: the record's events, in order, on one line.
events() { sed -E 's/.*"event":"([a-z-]+)".*/\1/' "$record" 2>/dev/null | tr '\n' ' ' | sed 's/ $//'; }

# --- 1. the window killed in the middle of the blocks --------------------------
mkdir "$work/one" "$work/three"
image "$work/one/AUTORUN.BIN"
start_bus "$work/bus"
start_notices
start_program "$work/one" "$work/program-1.log" "$work/machine"
prompt=$(wait_window MESSAGE 60) || fail "no start prompt came"
answer "$prompt"
wait_trace 'Download=2 ' 30 || fail "the blocks did not start"
kill -KILL "$program_pid"
wait "$program_pid" 2>/dev/null || true
program_pid=""
grep -q 'Phase=final' "$work/quorvel-sim.trace" && fail "the test came too late: the flash had ended"
[ -n "$(transfers)" ] || fail "the flash's process did not outlive the window"

wait_transfers 60 || fail "the flash's process did not end after the drive had answered"
expect_downloads 7 18
expect_dumps "$work/one/AUTORUN.BIN"
expect_revision 0 1 1.20
grep -q '^quorvel: the window is gone: the download goes on until the drive has answered its final block\.$' \
  "$work/program-1.log" || fail "standard error did not say that the download goes on"
grep -q 'DOWNLOAD OK\|no restart was requested' "$work/program-1.log" &&
  fail "the flash's process kept the killed window's standard error"
grep -q ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD" && fail "a restart was requested without a window"
[ "$(events)" = "started accepted unattended" ] || fail "the record holds: $(events)"
grep -q '"block":7,"blocks":7,.*"event":"accepted"' "$record" || fail "the record does not say all 7 blocks were taken"
grep -q '"detail":"the window was gone","event":"unattended"' "$record" || fail "the record does not say who was gone"
[ "$(notices)" = "Firmware written: restart to finish | QUORVEL CDRW-4824A: firmware 1.20, written while the window was gone. The drive accepted all 7 blocks. Restart the computer to finish the update." ] ||
  fail "the desktop was told: $(notices)"

# The computer restarts, as the window's line asks. The first start after it
# says how the flash came out, in one box; the next one says nothing more. The
# drive reports its new firmware from the restart on, so the check after the
# restart confirms the flash and says so in that box.
sim_restart "$work/machine"
start_program "$work/three" "$work/program-3.log" "$work/machine"
wait_window QUORVEL 30 >/dev/null || fail "no main window"
told=$(wait_window MESSAGE 15) || fail "the next start did not tell how the flash came out"
shot flash-alone-next-start 0.5
answer "$told"
sleep 1
[ -z "$(windows MESSAGE)" ] || fail "more than one box told how the flash came out"
stop_program
[ "$(events)" = "started accepted unattended confirmed unattended-told" ] || fail "the record holds: $(events)"
start_program "$work/three" "$work/program-4.log" "$work/machine"
wait_window QUORVEL 30 >/dev/null || fail "no main window"
sleep 2
[ -z "$(window MESSAGE)" ] || fail "how the flash came out was told twice"
stop_program
echo "1: the window killed at block 2: every block reached the drive, no restart; the desktop told; told once at the next start"

# --- 2. the flash's process killed in the middle of the blocks -----------------
rm -rf "$work/dumps" "$work/quorvel-sim.state" "$work/state"
: >"$work/quorvel-sim.trace"
mkdir "$work/five"
image "$work/five/AUTORUN.BIN"
start_program "$work/five" "$work/program-5.log" "$work/machine"
prompt=$(wait_window MESSAGE 60) || fail "no start prompt came"
answer "$prompt"
wait_trace 'Download=2 ' 30 || fail "the blocks did not start"
sleep 0.3  # block 3 is in the drive
process=$(transfers)
[ -n "$process" ] || fail "no flash process to kill"
kill -KILL $process
cut=$(wait_window MESSAGE 15 "$prompt") || fail "the window did not say that the flash was cut off"
shot flash-alone-process-killed 0.5
grep -q '^quorvel: DOWNLOAD FAIL: the flash was cut off at block 3 of 7: its process ended (it was killed by signal 9 (Killed))\. The drive may need the same image again\.$' \
  "$work/program-5.log" || fail "standard error did not say where the flash was cut off"
[ "$(events)" = "started process-lost" ] || fail "the record holds: $(events)"
grep -q '"block":3,.*"event":"process-lost"' "$record" || fail "the record does not name block 3"
answer "$cut"
running || fail "the window ended with the flash's process"
sleep 1.5  # a tick of the timer: no restart may follow
grep -q ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD" && fail "a restart was requested after a flash cut off"
# Idle again: Down by the menu's keys flashes the drive anew, from block 1.
main=$(wait_window QUORVEL 5) || fail "no main window"
focus "$main"
keys alt+f d
box=$(wait_window MESSAGE 60) || fail "Down after the cut-off flash showed no result"
grep -q "parent=$program_pid .*Download=7 .*Phase=final.* Status=0x01" "$work/quorvel-sim.trace" ||
  fail "Down after the cut-off flash did not flash the drive anew"
answer "$box"
finish 30 || fail "the restart after the new flash did not end the program"
echo "2: the flash's process killed at block 2: told in a box, recorded, no restart; Down flashed the drive anew"
echo "a flash alone: it outlives its window; a lost process is told"
