#!/usr/bin/env bash
# Drive discovery end to end: the real program on the simulated machine under
# an X display. Checks from the machine's trace what the devices received at
# start (every adapter and target asked once, in order, with the exact INQUIRY
# request), then picks another drive with the keyboard (the "CHANGE DRIVE"
# box), and ends through System > Exit with exit code 0. Then the refusals:
# no CD/DVD drive, no adapters, and no manager library at all.
#   discovery-e2e.sh BUILD_DIR SOURCE_DIR [SCREENSHOT_DIR]
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../scripts/lib.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/lib.sh"
e2e_setup discovery "$@"

# start MACHINE_FILE [PROGRAM]: runs the program on that machine in the background.
start() { start_program "$work" "$work/program.log" "$@"; }

# expect_probes TRACE ADAPTERS: every target 0..7 of every adapter asked once,
# adapter first, with nothing but the INQUIRY request in the record.
expect_probes() {
  local trace=$1 adapters=$2 expected="" a t
  for ((a = 0; a < adapters; a++)); do
    for ((t = 0; t < 8; t++)); do
      expected+="Cmd=0x02 HaId=$a Flags=0x08 Target=$t Lun=0 BufLen=36 SenseLen=14 CDBLen=6 CDB=120000002400"$'\n'
    done
  done
  local got
  got=$(grep '^SRB ' "$trace" | sed -E 's/^SRB seq=[0-9]+ time=[^ ]+ pid=[0-9]+ parent=[0-9]+ (Cmd=[^ ]+ HaId=[^ ]+ Flags=[^ ]+ Target=[^ ]+ Lun=[^ ]+ BufLen=[^ ]+ SenseLen=[^ ]+ CDBLen=[^ ]+ CDB=[0-9a-f]+) .*/\1/')
  [ "$got"$'\n' = "$expected" ] || fail "probes were:"$'\n'"$got"
  # Fields the program leaves zero appear in the trace only when not zero.
  grep -E '^SRB .*(CDBRest|StatusIn|Hdr_Rsvd|Rsvd1|Rsvd2|PostProc|HaStatIn|TargStatIn|SenseIn)=' "$trace" &&
    fail "a request carried a field the program leaves zero"
  grep -q 'Download=' "$trace" && fail "a download command went out at start"
  return 0
}

# 1. Three adapters: drives at 0:5, 1:0 and 2:7 (a short identification),
#    a disk, a device of qualifier 1 and a tape, which are not listed.
cat >"$work/machine" <<'M'
trace quorvel-sim.trace
adapters 3
device 0 2 type=0x00 vendor="ACMEDISK" product="FIXED DISK 2000 " revision="3.01"
device 0 5 type=0x05 vendor="QUORVEL " product="DVDRW-1612B     " revision="2.04"
device 1 0 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="1.10"
device 1 3 type=0x25 vendor="QUORVEL " product="GHOST-0000      " revision="0.00"
device 1 6 type=0x01 vendor="ACMETAPE" product="DAT-72          " revision="0.90"
device 2 7 type=0x05 vendor="QUORVEL " product="SHORT\x00" revision="9.99"
M
start "$work/machine"
main=$(wait_window QUORVEL 60) || fail "the main window did not come"
sleep 0.5
xdotool search --onlyvisible --name '^MESSAGE$' >/dev/null 2>&1 && fail "a message box came at start"
trace="$work/quorvel-sim.trace"
[ "$(grep -c '^START ' "$trace")" -eq 1 ] || fail "the manager was asked for its adapters more than once"
grep -q '^START .* adapters=3 status=0x01' "$trace" || fail "START line: $(grep '^START' "$trace")"
expect_probes "$trace" 3
for addr in "HaId=0 Flags=0x08 Target=5" "HaId=1 Flags=0x08 Target=0" "HaId=2 Flags=0x08 Target=7" \
  "HaId=0 Flags=0x08 Target=2" "HaId=1 Flags=0x08 Target=3" "HaId=1 Flags=0x08 Target=6"; do
  grep -q "$addr .* In=36 Status=0x01" "$trace" || fail "no answered INQUIRY for $addr"
done
[ "$(grep -c 'Status=0x82' "$trace")" -eq 18 ] || fail "the empty addresses were not all refused"
shot discovery-window 0

# The user picks the next drive: a click on the list opens it, Down and
# Return choose the second entry, and the "CHANGE DRIVE" box comes.
eval "$(xdotool getwindowgeometry --shell "$main")"
menu=$((HEIGHT - 167))
xdotool mousemove $((X + 300)) $((Y + menu + 12)) click 1
sleep 0.5
xdotool key Down Return
box=$(wait_window "CHANGE DRIVE" 30) || fail "no CHANGE DRIVE box after picking another drive"
shot change-drive
answer "$box"
sleep 0.5
xdotool search --onlyvisible --name '^CHANGE DRIVE$' >/dev/null 2>&1 && fail "the CHANGE DRIVE box stayed"
grep -c '^SRB ' "$trace" | grep -qx 24 || fail "the drive change sent a command"

# System > Exit by its access keys ends the program with 0.
focus "$main"
keys alt+s
keys x
finish 30 || fail "Exit did not end the program"
[ "$exit_code" -eq 0 ] || fail "exit code $exit_code after Exit"

# refused SECONDS MACHINE [PROGRAM]: the start shows one "MESSAGE" box; once
# it is answered, the program ends by itself with 0.
refused() {
  start "$2" "${3:-}"
  local box
  box=$(wait_window MESSAGE "$1") || fail "no refusal box ($2)"
  answer "$box"
  finish 30 || fail "the program did not end after the refusal ($2)"
  [ "$exit_code" -eq 0 ] || fail "exit code $exit_code after the refusal ($2)"
}

# 2. No CD/DVD drive: "Drive Not Found!!" after every pair was asked.
cat >"$work/machine2" <<'M'
trace quorvel-sim2.trace
adapters 1
device 0 0 type=0x00 vendor="ACMEDISK" product="FIXED DISK 2000 " revision="3.01"
M
refused 60 "$work/machine2"
expect_probes "$work/quorvel-sim2.trace" 1

# 3. No adapters (answered with SS_COMP): "ASPI Not Found!!", nothing probed.
cat >"$work/machine3" <<'M'
trace quorvel-sim3.trace
adapters 0
M
refused 60 "$work/machine3"
grep -q '^START .* adapters=0 status=0x01' "$work/quorvel-sim3.trace" || fail "machine 3 was not started"
grep -q '^SRB ' "$work/quorvel-sim3.trace" && fail "a probe went out with 0 adapters"

# 4. No manager library at all: the program alone in a directory of its own,
#    with no library path: "ASPI Not Found!!", never a crash.
mkdir "$work/alone"
cp "$build/bin/quorvel" "$work/alone/quorvel"
start_program --bare "$work" "$work/program.log" "" "$work/alone/quorvel"
box=$(wait_window MESSAGE 60) || fail "no refusal box without a manager library"
answer "$box"
finish 30 || fail "the program did not end without a manager library"
[ "$exit_code" -eq 0 ] || fail "exit code $exit_code without a manager library"

echo "discovery end to end: 24 probes in order, change of drive, Exit; three refusals end with 0"
