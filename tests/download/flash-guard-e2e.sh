#!/usr/bin/env bash
# What happens around a flash, with the real program on the simulated machine
# under an X display:
#  1. during the blocks the user presses System > Open by its access keys, the
#     image file is rewritten in place, and the program gets SIGTERM: no
#     dialog opens, the drive gets every block of the image as it was when the
#     download began, the result goes to standard error and the program ends
#     without a restart;
#  2. a second program started on the same machine cannot download to the
#     drive that the first one is flashing: " DOWNLOAD BUSY!! ", nothing sent;
#     the machine's manager held the drive for the first one from before its
#     first block until after its final one, so that a lock of the drive's
#     own (as the device manager would ask for one) fails meanwhile;
#  3. logind refuses the restart: the user is told;
#  4. logind is slow to answer the restart (polkit asking the user): Down, by
#     the toolbar and by the menu, sends nothing meanwhile, and once the
#     restart is accepted standard error says so.
#   flash-guard-e2e.sh BUILD_DIR SOURCE_DIR [SCREENSHOT_DIR]
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../scripts/lib.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/lib.sh"
e2e_setup flash-guard "$@"

machine() {  # machine DELAY FINAL_DELAY
  cat >"$work/machine" <<M
trace quorvel-sim.trace
state quorvel-sim.state
dump  dumps
adapters 1
device 0 1 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="1.10" delay=$1 final-delay=$2 completion=later
M
}
image() {  # image PATH: 384 KiB, six blocks of 60 KiB and the final 24 KiB
  "$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 60 --blocks 7 "$1"
}
from_pid() { grep -cE "(pid|parent)=$1 .*Download=" "$work/quorvel-sim.trace" || true; }

# --- 1. keys, a rewritten file and SIGTERM during the blocks -----------------
machine 1000 1000
mkdir "$work/one"
image "$work/one/AUTORUN.BIN"
cp "$work/one/AUTORUN.BIN" "$work/original.bin"
start_bus "$work/bus"
start_program "$work/one" "$work/program-1.log" "$work/machine"
prompt=$(wait_window MESSAGE 60) || fail "no start prompt came"
answer "$prompt"
wait_trace 'Download=2 ' 30 || fail "the blocks did not start"
main=$(wait_window QUORVEL 5) || fail "no main window"
known=$(visible_windows)
focus "$main"
keys alt+s o
sleep 1
[ -z "$(new_window $known)" ] || fail "a window opened during the flash (System > Open by its keys)"
shot flash-guard-keys-held-off
# Another image of the same length written over this one.
head -c 393216 /dev/zero | tr '\0' 'Z' | dd of="$work/one/AUTORUN.BIN" conv=notrunc status=none
kill -TERM "$program_pid"
sleep 0.3
grep -q 'Phase=final' "$work/quorvel-sim.trace" && fail "the test came too late: the flash had ended"
running || fail "SIGTERM ended the program in the middle of the flash"
finish 60 || fail "the program did not end after the flash"
expect_downloads 7 18
expect_revision 0 1 1.20
# Every block as the image was when the download began.
expect_dumps "$work/original.bin"
grep -q '^quorvel: DOWNLOAD OK: the drive accepted all 7 blocks.$' "$work/program-1.log" ||
  fail "the result did not go to standard error"
grep -q ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD" && fail "a restart was requested though the session asked the program to end"
echo "1: keys held off, the file's change sent nowhere, SIGTERM waited for the drive; no restart"

# --- 2. a second program on the drive being flashed -----------------------------
# Each part on a machine of its own: the drives as new, no record of flashes.
rm -rf "$work/dumps" "$work/quorvel-sim.state" "$work/state"
machine 50 6000
mkdir "$work/two-a" "$work/two-b"
image "$work/two-a/AUTORUN.BIN"
cp "$work/two-a/AUTORUN.BIN" "$work/two-b/AUTORUN.BIN"
start_program "$work/two-a" "$work/program-2a.log" "$work/machine"
first=$program_pid
prompt=$(wait_window MESSAGE 60) || fail "no start prompt from the first program"
answer "$prompt"
# Six blocks taken: the final one is in the drive for six seconds.
wait_trace "Download=6 " 30 || fail "the first program's blocks did not go out"
flock -n "$work/machine.0-1.lock" true && fail "the drive's own lock was free during the flash"
start_program "$work/two-b" "$work/program-2b.log" "$work/machine"
second=$program_pid
prompt=$(wait_window MESSAGE 60) || fail "no start prompt from the second program"
answer "$prompt"
busy=$(wait_window MESSAGE 30 "$prompt") || fail "the second program showed no box"
shot flash-guard-second-program-busy
[ "$(from_pid "$second")" -eq 0 ] || fail "the second program sent a download command to a drive being flashed"
answer "$busy"
stop_program
program_pid=$first
box=$(wait_window MESSAGE 60) || fail "no result box from the first program"
answer "$box"
finish 30 || fail "the first program did not end through the restart"
[ "$(from_pid "$first")" -eq 7 ] || fail "the first program's flash was disturbed"
# What each program asked of the manager, among its commands: the first held
# the drive from before its first block until its final one had returned;
# the second was told it was busy and held nothing.
asked() { grep -E "^(HOLD|SRB) .*(pid|parent)=$1 " "$work/quorvel-sim.trace" | grep -E '^HOLD|Download=' |
  sed -E 's/^HOLD .* HaId=([0-9]+) Target=([0-9]+) Request=([a-z]+) Answer=([a-z]+)$/hold \1:\2 \3 \4/;
          s/^SRB .* Phase=([a-z]+) .*/\1/'; }
[ "$(asked "$first")" = "$(printf '%s\n' 'hold 0:1 take held' first next next next next next final 'hold 0:1 release released')" ] ||
  fail "the first program's hold did not span its blocks: $(asked "$first")"
[ "$(asked "$second")" = "hold 0:1 take busy" ] || fail "the second program asked otherwise: $(asked "$second")"
flock -n "$work/machine.0-1.lock" true || fail "the drive's own lock was still held after the flash"
echo "2: the second program was refused the busy drive and sent nothing"

# --- 3. logind refuses the restart ----------------------------------------------
"$source/scripts/sim-bus.sh" stop "$work/bus" >/dev/null
start_bus "$work/bus-refusing" --refuse-reboot
rm -rf "$work/dumps" "$work/quorvel-sim.state" "$work/state"
machine 0 0
mkdir "$work/three"
image "$work/three/AUTORUN.BIN"
autorun_flash "$work/three" "$work/program-3.log" "$work/machine"
wait_closed MESSAGE 5 || true
refused=$(wait_window MESSAGE 30) || fail "the refused restart was not told"
shot flash-guard-restart-refused
grep -q ' reboot refused ' "$QUORVEL_SIM_LOGIN1_RECORD" || fail "logind was not asked"
running || fail "the program ended though the restart was refused"
answer "$refused"
stop_program
echo "3: the refused restart was told"

# --- 4. the restart's answer is slow in coming --------------------------------
"$source/scripts/sim-bus.sh" stop "$work/bus-refusing" >/dev/null
start_bus "$work/bus-slow" --answer-after 5000
rm -rf "$work/dumps" "$work/quorvel-sim.state" "$work/state"
mkdir "$work/four"
image "$work/four/AUTORUN.BIN"
autorun_flash "$work/four" "$work/program-4.log" "$work/machine"
wait_closed MESSAGE 5 || true
sleep 1.5  # the next tick asks for the restart
sent=$(from_pid "$program_pid")
main=$(wait_window QUORVEL 5) || fail "no main window"
focus "$main"
keys alt+f d
# Down on the toolbar: the 429 x 167 client area is the window's bottom, the
# button 55 pixels in, 2 below the client area's top.
eval "$(xdotool getwindowgeometry --shell "$main")"
xdotool mousemove --window "$main" 80 "$((HEIGHT - 167 + 12))" click 1
sleep 0.5
shot flash-guard-restart-pending
[ "$(from_pid "$program_pid")" -eq "$sent" ] || fail "a second flash started while the restart awaited its answer"
[ -z "$(window MESSAGE)" ] || fail "a box opened while the restart awaited its answer"
finish 30 || fail "the accepted restart did not end the program"
grep -q ' reboot interactive=true' "$QUORVEL_SIM_LOGIN1_RECORD" || fail "logind was not asked"
grep -q '^quorvel: the restart was requested and the system accepted it.$' "$work/program-4.log" ||
  fail "standard error did not say that the restart was accepted"
echo "4: nothing sent while the restart awaited its answer; its acceptance told"
echo "flash guard end to end: keys held off, the image read once, SIGTERM held for the drive, a second program refused, a refused restart told, no second flash before the restart's answer"
