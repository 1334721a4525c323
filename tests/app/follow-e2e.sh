#!/usr/bin/env bash
# The window picks up a flash under way: the real programs on the simulated
# machine, under an X display, read through AT-SPI on a session bus of the
# test's own (the flashes' places in its runtime folder).
#  1. A window's flash, that window killed (SIGKILL) at block 2: a window
#     started then selects the drive without sending it anything, shows the
#     five fields of the flash ("WAIT..") and its bar moving with the blocks,
#     shows the result box, adopts the flash and restarts once; the record
#     tells the end once, as this window's; no desktop notice.
#  2. Two windows on one flash: the one that started it owns it (its box,
#     its restart); the one started meanwhile only views it (the same box,
#     no restart), and is idle again.
#  3. quorvel-flash's flash (no --restart), killed at block 2, the drive
#     refusing the final block: Down in a window started before it, with the
#     image loaded, follows it instead of refusing the busy drive: the box
#     with the drive's cause, the end recorded, no restart.
#   follow-e2e.sh BUILD_DIR SOURCE_DIR [SCREENSHOT_DIR]
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../scripts/lib.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/lib.sh"
own_session "$0" "$@"
e2e_setup follow "$@"

machine() {  # machine DELAY [DEVICE_OPTIONS...]: each block takes DELAY ms, the final one 2.5 s
  cat >"$work/machine" <<M
trace quorvel-sim.trace
state quorvel-sim.state
adapters 1
device 0 1 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="1.10" delay=$1 final-delay=2500 completion=later ${*:2}
M
}
image() {  # image PATH: 384 KiB, six blocks of 60 KiB and the final 24 KiB
  "$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 60 --blocks 7 "$1"
}
record=$work/state/quorvel/flashes.jsonl
# events: the record's events and who wrote each, in order, on one line.
events() {
  sed -E 's/.*"event":"([a-z-]+)".*"program":"([a-z-]+)".*/\1:\2/' "$record" 2>/dev/null | tr '\n' ' ' | sed 's/ $//'
}
# sent_by PID: the commands the process PID sent to the drive at 0:1 (INQUIRY too).
sent_by() { grep -cE "^SRB .* pid=$1 .*HaId=0 .*Target=1 " "$work/quorvel-sim.trace" || true; }
read_window() { /usr/bin/python3 "$source/tests/app/atspi-read.py" "$1" QUORVEL --values; }
box() { /usr/bin/python3 "$source/tests/app/atspi-box.py" "$@"; }
# bar_of PID: the value the window's bar shows.
bar_of() { read_window "$1" | sed -nE "s/^progress bar: 'Download progress' ([0-9]+)$/\1/p"; }
fields() {  # fields STATUS BAR: what AT-SPI reads of a window following the flash
  printf '%s\n' "combo box: 'DRIVE: ' 'QUORVEL CDRW-4824A      1.10'" \
    "label: 'MODEL NAME :' 'QUORVEL CDRW-4824A      '" "label: 'OLD VERSION :' '1.10'" \
    "label: 'NEW VERSION :' '1.20'" "label: 'DOWNLOAD FILE :' 'AUTORUN.BIN'" "label: 'STATUS :' '$1'" \
    "progress bar: 'Download progress' $2"
}
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
start_bus "$work/bus"
start_notices

# --- 1. a window's flash, its window killed: adopted, its restart once --------
# Blocks of 2 s: the window started after the kill is read well before the
# final block.
machine 2000
mkdir "$work/one" "$work/two"
image "$work/one/AUTORUN.BIN"
start_program "$work/one" "$work/program-1.log" "$work/machine"
box "$program_pid" MESSAGE "DOWNLOAD START" OK 60 >/dev/null || fail "no start prompt came"
wait_trace 'Download=2 ' 30 || fail "the blocks did not start"
kill -KILL "$program_pid"
wait "$program_pid" 2>/dev/null || true
start_program "$work/two" "$work/program-2.log" "$work/machine"
second=$program_pid
heard=$(read_window "$second") || fail "the window could not be read through AT-SPI"
shot follow-picked-up
bar=$(sed -nE "s/^progress bar: 'Download progress' ([0-9]+)$/\1/p" <<<"$heard")
[ "$heard" = "$(fields WAIT.. "$bar")" ] || fail "AT-SPI read the window as:"$'\n'"$heard"
grep -q 'Phase=final' "$work/quorvel-sim.trace" && fail "the test came too late: the final block was out"
# The bar follows the blocks the drive accepted: block n of 7 shows n * 100 / 7.
[[ " 14 28 42 57 71 85 " == *" $bar "* ]] || fail "the bar stood at $bar"
bar_moved() { [ "$(bar_of "$second")" -gt "$bar" ]; }
poll 10 bar_moved || fail "the bar did not move from $bar"
[ "$(sent_by "$second")" -eq 0 ] || fail "the window sent the drive being written a command"
said=$(box "$second" MESSAGE "DOWNLOAD OK!!" "" 60) || fail "no result box came"
shot follow-result
[ "$said" = $'  DOWNLOAD OK!!  \nRestart WINDOWS' ] || fail "the result box said: $said"
[ "$(reboots)" -eq 0 ] || fail "a restart came before the box was closed"
box "$second" MESSAGE "DOWNLOAD OK!!" OK >/dev/null || fail "the result box's OK could not be pressed"
finish 30 || fail "the restart did not end the window that adopted the flash"
grep -qE " reboot .* pid=$second " "$QUORVEL_SIM_LOGIN1_RECORD" || fail "the adopting window asked no restart"
[ "$(reboots)" -eq 1 ] || fail "$(reboots) restarts were asked for"
expect_downloads 7 18
expect_revision 0 1 1.20 taken
[ "$(events)" = "started:quorvel accepted:quorvel restart-requested:quorvel restart-accepted:quorvel" ] ||
  fail "the record holds: $(events)"
[ -z "$(notices)" ] || fail "the desktop was told of a flash a window saw to its end: $(notices)"
echo "1: a window started mid-flash showed it (fields, moving bar, box), sent the drive nothing, adopted it and restarted once"

# --- 2. two windows on one flash: one owns it, the other views it ---------------
rm -rf "$work/quorvel-sim.state" "$work/state"
: >"$work/quorvel-sim.trace"
machine 1500
mkdir "$work/three" "$work/four"
image "$work/three/AUTORUN.BIN"
start_program "$work/three" "$work/program-3.log" "$work/machine"
owner=$program_pid
box "$owner" MESSAGE "DOWNLOAD START" OK 60 >/dev/null || fail "no start prompt came"
wait_trace 'Download=2 ' 30 || fail "the blocks did not start"
start_program "$work/four" "$work/program-4.log" "$work/machine"
viewer=$program_pid
[[ "$(read_window "$viewer")" == *"label: 'STATUS :' 'WAIT..'"* ]] || fail "the second window did not show the flash"
box "$viewer" MESSAGE "DOWNLOAD OK!!" "" 60 >/dev/null || fail "the viewing window showed no result box"
box "$owner" MESSAGE "DOWNLOAD OK!!" OK 10 >/dev/null || fail "the owning window showed no result box"
program_pid=$owner
finish 30 || fail "the restart did not end the owning window"
box "$viewer" MESSAGE "DOWNLOAD OK!!" OK >/dev/null || fail "the viewing window's box could not be closed"
program_pid=$viewer
sleep 1.5  # a tick of the timer: no restart may follow
running || fail "the viewing window ended"
[ "$(reboots)" -eq 2 ] || fail "the viewing window asked for a restart (or the owner did not)"
grep -qE " reboot .* pid=$owner " "$QUORVEL_SIM_LOGIN1_RECORD" || fail "the owning window asked no restart"
[[ "$(read_window "$viewer")" == *"label: 'STATUS :' 'OK'"* ]] || fail "the viewing window does not say OK"
[ "$(sent_by "$viewer")" -eq 0 ] || fail "the viewing window sent the drive being written a command"
stop_program
[ "$(events)" = "started:quorvel accepted:quorvel restart-requested:quorvel restart-accepted:quorvel" ] ||
  fail "the record holds: $(events)"
echo "2: two windows on one flash: the starter restarted, the viewer showed the box and stayed idle"

# --- 3. quorvel-flash's flash, killed; Down on its drive: followed, no restart ---
rm -rf "$work/quorvel-sim.state" "$work/state"
: >"$work/quorvel-sim.trace"
machine 1500 refuse=final sense=5/24/00
mkdir "$work/five"
image "$work/five/AUTORUN.BIN"
start_program "$work/five" "$work/program-5.log" "$work/machine"
window=$program_pid
box "$window" MESSAGE "DOWNLOAD START" Cancel 60 >/dev/null || fail "no start prompt came"
start_program "$work/one" "$work/terminal.log" "$work/machine" "$build/bin/quorvel-flash" write AUTORUN.BIN \
  --drive 0:1 --yes
wait_trace 'Download=2 ' 30 || fail "the terminal's blocks did not start"
kill -KILL "$program_pid"
wait "$program_pid" 2>/dev/null || true
program_pid=$window
box "$window" QUORVEL READY Down >/dev/null || fail "Down could not be pressed"
said=$(box "$program_pid" MESSAGE "DOWNLOAD FAIL!!" "" 60) || fail "no result box came"
shot follow-terminal-refused
box "$program_pid" MESSAGE "DOWNLOAD FAIL!!" OK >/dev/null || fail "the result box's OK could not be pressed"
[ "$said" = $' DOWNLOAD FAIL!! \nRestart WINDOWS\nThe drive said: ILLEGAL REQUEST, invalid field in cdb (5/24/00).' ] ||
  fail "the result box said: $said"
sleep 1.5
running || fail "the window ended"
[ "$(reboots)" -eq 2 ] || fail "a restart was asked for a flash whose starter asked for none"
wait_transfers 10 || fail "the flash's process did not end once the window had seen the end"
stop_program
[ "$(events)" = "started:quorvel-flash refused:quorvel-flash restart-not-requested:quorvel" ] ||
  fail "the record holds: $(events)"
grep -qE "^SRB .*(pid|parent)=$window .*Download=" "$work/quorvel-sim.trace" && fail "the window sent a block"
grep -qE "^HOLD .* parent=$window .*Request=take Answer=busy" "$work/quorvel-sim.trace" || fail "Down did not first try the drive"
grep -q '"detail":"its starter asked for no restart","event":"restart-not-requested"' "$record" ||
  fail "the record does not say why no restart followed"
[ -z "$(notices)" ] || fail "the desktop was told of a flash a window saw to its end: $(notices)"
echo "3: quorvel-flash's flash killed: Down followed it, the refusal with its cause, no restart"
echo "follow end to end: a window started mid-flash shows it, adopts a flash whose starter is gone, views one whose starter is there"
