#!/usr/bin/env bash
# A flash outlives its window: the real program on the simulated machine
# under an X display, the blocks sent by the flash's own process.
#  1. the window killed with SIGKILL (its pid only) at block 2 of 7: the
#     drive still gets every block byte for byte, no restart is requested,
#     the record says accepted and unattended; a second window started
#     meanwhile is refused the drive (" DOWNLOAD BUSY!! ") and sends nothing;
#     the first start after the flash has ended tells how it came out, once;
#  2. the flash's process killed at block 2: the window says so in a box,
#     requests no restart, records it, and is idle again: Down flashes the
#     drive anew.
#   flash-alone-e2e.sh BUILD_DIR SOURCE_DIR [SCREENSHOT_DIR]
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../scripts/lib.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/lib.sh"
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
from_pid() { grep -cE "(pid|parent)=$1 .*Download=" "$work/quorvel-sim.trace" || true; }

# --- 1. the window killed in the middle of the blocks --------------------------
mkdir "$work/one" "$work/two" "$work/three"
image "$work/one/AUTORUN.BIN"
image "$work/two/AUTORUN.BIN"
start_bus "$work/bus"
start_program "$work/one" "$work/program-1.log" "$work/machine"
prompt=$(wait_window MESSAGE 60) || fail "no start prompt came"
answer "$prompt"
wait_trace 'Download=2 ' 30 || fail "the blocks did not start"
kill -KILL "$program_pid"
wait "$program_pid" 2>/dev/null || true
program_pid=""
grep -q 'Phase=final' "$work/quorvel-sim.trace" && fail "the test came too late: the flash had ended"
[ -n "$(transfers)" ] || fail "the flash's process did not outlive the window"

# A second window on the drive being written without a window.
start_program "$work/two" "$work/program-2.log" "$work/machine"
second=$program_pid
prompt=$(wait_window MESSAGE 60) || fail "no start prompt from the second window"
answer "$prompt"
busy=$(wait_window MESSAGE 30 "$prompt") || fail "the second window showed no box"
shot flash-alone-second-window-busy
[ "$(from_pid "$second")" -eq 0 ] || fail "the second window sent a download command to the drive being written"
answer "$busy"
stop_program
grep -q ' take busy\| Answer=busy' "$work/quorvel-sim.trace" || fail "the second window's flash was not refused the drive"

wait_transfers 60 || fail "the flash's process did not end after the drive had answered"
expect_downloads 7 18
expect_dumps "$work/one/AUTORUN.BIN"
expect_revision 0 1 1.20
grep -q '^quorvel: the window is gone: the download goes on until the drive has answered its final block\.$' \
  "$work/program-1.log" || fail "standard error did not say that the download goes on"
grep -q '^quorvel: DOWNLOAD OK: the drive accepted all 7 blocks\.$' "$work/program-1.log" ||
  fail "the result did not go to standard error"
grep -q '^quorvel: the window was gone: no restart was requested\. Restart the computer to finish\.$' \
  "$work/program-1.log" || fail "standard error did not say that no restart was requested"
grep -q ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD" && fail "a restart was requested without a window"
[ "$(events)" = "accepted unattended" ] || fail "the record holds: $(events)"
grep -q '"detail":"the window was gone","event":"unattended"' "$record" || fail "the record does not say who was gone"

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
[ "$(events)" = "accepted unattended confirmed unattended-told" ] || fail "the record holds: $(events)"
start_program "$work/three" "$work/program-4.log" "$work/machine"
wait_window QUORVEL 30 >/dev/null || fail "no main window"
sleep 2
[ -z "$(window MESSAGE)" ] || fail "how the flash came out was told twice"
stop_program
echo "1: the window killed at block 2: every block reached the drive, no restart; a second window was refused; told once"

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
[ "$(events)" = "process-lost" ] || fail "the record holds: $(events)"
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
