#!/usr/bin/env bash
# A flash that anyone of its user can follow, with the real programs on the
# simulated machine and no display; each time the terminal's quorvel-flash is
# SIGKILLed at block 2 and its flash goes on alone:
#  1. status says the flash under way (its block, who started it, gone);
#     list marks the drive and sends it no INQUIRY; check and write to it
#     say whose flash it is and the watch that follows it, nothing sent;
#     history shows it last; a follower that says garbage is let go (said),
#     one that never reads costs nothing; watch follows it to the drive's
#     acceptance, exit 0: the drive got every byte, the end is said and
#     recorded once, no desktop notice; status then says nothing is under
#     way;
#  2. two watchers of a flash whose starter asked for the restart: the
#     first adopts it and asks for the one restart, the other only views;
#  3. Ctrl+C ends a watch, never its flash: the flash ends alone, told by
#     the record and the desktop's notice;
#  4. another user's flash (setpriv, as root only): status tells of it; a
#     follower of this user is refused by its process (said there) and by
#     this user's own watch (its runtime folder is not ours); the flash
#     untouched;
#  5. bad places: no runtime folder, a socket left behind, a socket path too
#     long: each said in a line, nothing disturbed.
#   follow-e2e.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../scripts/lib.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/lib.sh"
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$(mktemp -d /tmp/quorvel-follow-e2e-XXXXXX)
trap 'stop_session_bus; e2e_cleanup' EXIT
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2; diagnose' ERR
flash=$build/bin/quorvel-flash
trace=$work/quorvel-sim.trace
# shellcheck source=cli-lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/cli-lib.sh"
# Every program of the run has the run's runtime folder (start_program's too).
export XDG_RUNTIME_DIR=$work/runtime

# machine FINAL: 0:1 takes 300 ms a block and FINAL ms for the final one, so
# that a flash killed at block 2 is still under way while the checks run,
# however busy the machine; 1:0 is quick.
machine() {
  cat >"$work/machine" <<M
trace quorvel-sim.trace
state quorvel-sim.state
dump  dumps
adapters 2
device 0 1 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="1.10" delay=300 final-delay=$1 completion=later
device 1 0 type=0x05 vendor="QUORVEL " product="DVDRW-1612B     " revision="2.04"
M
}
machine 15000
mkdir -p "$work/run" "$work/runtime"
chmod 700 "$work/runtime"
mkimage --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 60 --blocks 7 "$work/run/FW.BIN"
mkimage --model "QUORVEL DVDRW-1612B" --version 2.10 --block-kb 60 --blocks 3 "$work/run/FW1612.BIN"
start_bus "$work/bus"
place=$work/runtime/quorvel/flash-0-1
# inquiries: the INQUIRY commands 0:1 has received.
inquiries() { grep -c 'HaId=0 .*Target=1 .*CDB=12' "$trace" || true; }
# follower PLACE BYTES SECONDS OUT: a follower of this test's own making:
# connects to PLACE, sends BYTES (with \n), reads nothing for SECONDS, then
# writes what it was sent to OUT, and "ended" when the flash's process had
# let it go.
cat >"$work/follower.py" <<'PY'
import socket, sys, time
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
try:
    s.sendall(sys.argv[2].replace("\\n", "\n").encode())
except (BrokenPipeError, ConnectionResetError):
    pass  # let go at once: what it reads says so
time.sleep(float(sys.argv[3]))
s.settimeout(10)
got = b""
while True:
    try:
        part = s.recv(65536)
    except ConnectionResetError:  # closed with what it sent unread
        part = b""
    except socket.timeout:
        break
    if not part:
        got += b"ended\n"
        break
    got += part
open(sys.argv[4], "wb").write(got)
PY
follower() { python3 "$work/follower.py" "$@"; }

# --- 1. killed at block 2: status, list, check, write, history, watch ----------
fresh
session_bus
killed_mid_flash "$work/program-1.log" write FW.BIN --drive 0:1 --yes
killed=$(cat "$work/killed.pid")
cli status
[ "$status" -eq 0 ] || fail "status: exit $status: $(cat "$work/err")"
grep -qxE "0:1  QUORVEL CDRW-4824A  1\.10 -> 1\.20  FW\.BIN  block [2-6] of 7  since [-0-9]+T[0-9:]+Z  started by quorvel-flash \(pid $killed, gone\)" \
  "$work/out" && [ "$(wc -l <"$work/out")" -eq 1 ] || fail "status printed: $(cat "$work/out")"
cli status --json
python3 - "$work/out" "$killed" "$(sha256sum "$work/run/FW.BIN" | cut -d' ' -f1)" <<'PY' || fail "status --json: $(cat "$work/out")"
import json, sys
status = json.load(open(sys.argv[1]))
assert status["other-users"] == [], status
[flash] = status["flashes"]
assert flash["starter"] == {"program": "quorvel-flash", "pid": int(sys.argv[2]), "present": False}, flash
expected = {"drive": "0:1", "vendor": "QUORVEL", "model": "CDRW-4824A", "old": "1.10", "new": "1.20", "file": "FW.BIN",
            "size": 393216, "sha256": sys.argv[3], "blocks": 7, "result": "under-way", "restart": False}
assert all(flash[k] == v for k, v in expected.items()), flash
assert 2 <= flash["block"] <= 6 and flash["since"].endswith("Z"), flash
PY
before=$(inquiries)
cli list
grep -qxE "0:1     QUORVEL  CDRW-4824A       1\.10 unknown  being flashed: (block [2-6] of 7|the final block in the drive)" \
  "$work/out" || fail "list printed: $(cat "$work/out")"
grep -qx "1:0     QUORVEL  DVDRW-1612B      2.04 unknown" "$work/out" || fail "list printed: $(cat "$work/out")"
busy="DOWNLOAD BUSY!! A flash of this drive is under way: firmware 1\.20 from FW\.BIN, (block [2-6] of 7|the final block in the drive), started by quorvel-flash \(pid $killed, gone\) at [-0-9]+T[0-9:]+Z\. Nothing was sent to it; quorvel-flash watch --drive 0:1 follows it\."
cli check FW.BIN --drive 0:1
[ "$status" -eq 2 ] && [ ! -s "$work/out" ] && said "^quorvel-flash: $busy\$" || fail "check: exit $status: $(cat "$work/err")"
cli write FW.BIN --drive 0:1 --yes
[ "$status" -eq 2 ] && said "^quorvel-flash: $busy\$" || fail "write: exit $status: $(cat "$work/err")"
[ "$(inquiries)" -eq "$before" ] || fail "list, check or write sent INQUIRY to the drive being flashed"
[ "$(from_pid "$killed")" -eq "$(downloads)" ] || fail "a command went to the drive from another process than its flash's"
# A flash that ends meanwhile, on the other drive (of a machine of its own,
# whose trace is its own): history still shows the one under way last.
sed 's/^trace .*/trace other-drive.trace/; s/^dump .*/dump other-dumps/; /^device 0 1 /d' "$work/machine" >"$work/other-drive.machine"
QUORVEL_SIM_MACHINE=$work/other-drive.machine cli write FW1612.BIN --drive 1:0 --yes
[ "$status" -eq 0 ] || fail "a write to the other drive: exit $status: $(cat "$work/err")"
cli history
[ "$(wc -l <"$work/out")" -eq 2 ] && tail -n 1 "$work/out" | grep -qE '  0:1  QUORVEL CDRW-4824A +1\.10 -> 1\.20  under way$' ||
  fail "history printed: $(cat "$work/out")"
# The watch, with a follower that never reads and one that says garbage.
start_program "$work/run" "$work/watch-1.log" "$work/machine" "$flash" watch --drive 0:1
poll 10 grep -q 'following' "$work/watch-1.log" || fail "the watch did not begin: $(cat "$work/watch-1.log")"
python3 "$work/follower.py" "$place" 'quorvel-transfer 3\n' 30 "$work/stalled" &
stalled=$!
follower "$place" 'quorvel-transfer 3\nfrob\n' 0.5 "$work/garbled"
grep -qx ended "$work/garbled" || fail "the follower that said garbage was not let go"
finish 60 || fail "the watch did not end"
[ "$exit_code" -eq 0 ] || fail "the watch of an accepted flash ended with $exit_code: $(cat "$work/watch-1.log")"
kill "$stalled" 2>/dev/null || true
expect_downloads 7 18
expect_dumps "$work/run/FW.BIN"
expect_revision 0 1 1.20
log=$work/watch-1.log
head -n 1 "$log" | grep -qxE "quorvel-flash: following the flash of firmware 1\.20 into QUORVEL CDRW-4824A at 0:1 \(now 1\.10\): 7 blocks, 393216 bytes of FW\.BIN, started by quorvel-flash \(pid $killed, gone\) at [-0-9]+T[0-9:]+Z; (block [2-6] of 7|the final block in the drive)\." ||
  fail "the watch began with: $(head -n 1 "$log")"
grep -qx 'quorvel-flash: a follower of this flash was let go: it said what this channel does not carry ("frob"); the flash goes on.' "$log" ||
  fail "the garbled follower was not said"
grep -qE '^quorvel-flash: block 7 of 7 accepted, 393216 of 393216 bytes, [0-9]+\.[0-9] s$' "$log" || fail "no last block line"
[ "$(tail -n 2 "$log")" = "quorvel-flash: DOWNLOAD OK!! The drive at 0:1 accepted all 7 blocks; a restart finishes the update.
quorvel-flash: its starter asked for no restart: no restart was requested. Restart the computer to finish." ] ||
  fail "the watch ended with: $(tail -n 2 "$log")"
[ "$(events)" = "started started accepted restart-not-requested accepted restart-not-requested" ] ||
  fail "the record holds: $(events)"
grep '"event":"restart-not-requested"' "$work/state/quorvel/flashes.jsonl" | grep -q '"adapter":0,.*"detail":"its starter asked for no restart"' ||
  fail "the watch did not record the end of the flash it adopted"
expect_notices
cli status
[ "$status" -eq 0 ] && [ "$(cat "$work/out")" = "nothing under way." ] || fail "status after the flash: $(cat "$work/out")"
echo "1: killed at block 2: status, list (no INQUIRY), check and write (exit 2, nothing sent) and history told the flash"
echo "   under way; a garbled follower was let go, said; watch saw it to the drive's acceptance (exit 0), byte for"
echo "   byte, the end said and recorded once, no desktop notice"

# --- 2. two watchers, the starter's restart --------------------------------------
machine 5000
fresh
killed_mid_flash "$work/program-2.log" write FW.BIN --drive 0:1 --yes --restart
start_program "$work/run" "$work/watch-2a.log" "$work/machine" "$flash" watch --drive 0:1
poll 10 grep -q 'following' "$work/watch-2a.log" || fail "the first watch did not begin"
cli watch --drive 0:1
[ "$status" -eq 0 ] || fail "the second watch: exit $status: $(cat "$work/err")"
finish 60 || fail "the first watch did not end"
[ "$exit_code" -eq 0 ] || fail "the first watch ended with $exit_code: $(cat "$work/watch-2a.log")"
[ "$(reboots)" -eq 1 ] || fail "$(reboots) restarts were asked for"
[ "$(tail -n 3 "$work/watch-2a.log")" = "quorvel-flash: DOWNLOAD OK!! The drive at 0:1 accepted all 7 blocks; the restart that finishes the update follows.
quorvel-flash: asking the system for the restart that finishes the update.
quorvel-flash: the restart was requested and the system accepted it." ] || fail "the adopter said: $(cat "$work/watch-2a.log")"
[ "$(tail -n 1 "$work/err")" = "quorvel-flash: DOWNLOAD OK!! The drive at 0:1 accepted all 7 blocks; the restart that finishes the update follows." ] ||
  fail "the other watch said: $(cat "$work/err")"
[ "$(events)" = "started accepted restart-requested restart-accepted" ] || fail "the record holds: $(events)"
echo "2: two watchers: the first adopted the flash and asked for the one restart its starter wanted; the other viewed"

# --- 3. Ctrl+C ends the watch, never the flash ------------------------------------
fresh
session_bus
killed_mid_flash "$work/program-3.log" write FW.BIN --drive 0:1 --yes
start_program "$work/run" "$work/watch-3.log" "$work/machine" "$flash" watch --drive 0:1
poll 10 grep -q 'following' "$work/watch-3.log" || fail "the watch did not begin"
kill -INT "$program_pid"
finish 60 || fail "the flash did not end"
[ "$exit_code" -eq 130 ] || fail "Ctrl+C ended the watch with $exit_code"
grep -qx 'quorvel-flash: the watch ended: the flash goes on; quorvel-flash status shows it.' "$work/watch-3.log" ||
  fail "the watch's end was not said: $(cat "$work/watch-3.log")"
expect_downloads 7 18
[ "$(events)" = "started accepted unattended" ] || fail "the record holds: $(events)"
expect_notices "Firmware written: restart to finish" \
  "QUORVEL CDRW-4824A: firmware 1.20, written while quorvel-flash was gone. The drive accepted all 7 blocks. Restart the computer to finish the update."
echo "3: Ctrl+C ended the watch (130); its flash went on to every block, told by the record and the desktop's notice"

# --- 4. another user's flash ---------------------------------------------------------
if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null; then
  echo "4: skipped: another user's flash needs root and setpriv"
else
  # The other user (uid 1000) flashes 0:1 of the same machine, from a
  # runtime folder and a record of its own; the machine's files are made
  # its to write.
  fresh
  other=$work/other
  mkdir -p "$other/runtime"
  chown 1000:1000 "$other" "$other/runtime"
  chmod 700 "$other/runtime"
  chmod 777 "$work"
  chmod 666 "$trace"
  (cd "$work/run" && exec setpriv --reuid=1000 --regid=1000 --clear-groups env -u DBUS_SYSTEM_BUS_ADDRESS \
    -u DBUS_SESSION_BUS_ADDRESS HOME="$other" XDG_RUNTIME_DIR="$other/runtime" XDG_STATE_HOME="$other/state" \
    LD_LIBRARY_PATH="$build/sim" QUORVEL_SIM_MACHINE="$work/machine" "$flash" write FW.BIN --drive 0:1 --yes) \
    >"$work/other.log" 2>&1 &
  program_pid=$!
  wait_trace 'Download=2 ' 30 || fail "the other user's flash did not start: $(cat "$work/other.log")"
  cli status
  [ "$status" -eq 0 ] && grep -qxE "another user's flash: [a-z0-9]+ \(uid 1000\), its process [0-9]+ since [-0-9]+T[0-9:]+Z, on a drive this user cannot name" \
    "$work/out" || fail "status of another user's flash: $(cat "$work/out")"
  others=$(sed -E 's/.*its process ([0-9]+) .*/\1/' "$work/out")
  follower "$other/runtime/quorvel/flash-0-1" 'quorvel-transfer 3\n' 0.3 "$work/refused"
  [ "$(cat "$work/refused")" = "ended" ] || fail "another user's follower was served: $(cat "$work/refused")"
  XDG_RUNTIME_DIR=$other/runtime cli watch --drive 0:1
  [ "$status" -eq 2 ] && said "^quorvel-flash: no flash is under way at 0:1 \($other/runtime/quorvel is not a folder of this user's alone \(0700\)\); quorvel-flash status shows the flashes under way\.$" ||
    fail "a watch of another user's flash: exit $status: $(cat "$work/err")"
  finish 60 || fail "the other user's flash did not end"
  # Its process is another user's: waited for by its id.
  for ((i = 0; i < 100; i++)); do [ -d "/proc/$others" ] || break; sleep 0.1; done
  [ "$exit_code" -eq 0 ] || fail "the other user's flash ended with $exit_code: $(cat "$work/other.log")"
  grep -qx 'quorvel-flash: a front end of user 0 was refused: a flash is followed by its own user alone' "$work/other.log" ||
    fail "the flash's process did not say that it refused a follower: $(cat "$work/other.log")"
  expect_downloads 7 18
  expect_dumps "$work/run/FW.BIN"
  chmod 700 "$work"
  echo "4: another user's flash: status told of it; its process refused this user's follower (said), this user's"
  echo "   watch refused its runtime folder; the flash untouched, byte for byte"
fi

# --- 5. bad places -------------------------------------------------------------------
fresh
XDG_RUNTIME_DIR='' cli status
[ "$status" -eq 2 ] && [ ! -s "$work/out" ] &&
  said '^quorvel-flash: there is no runtime folder \(XDG_RUNTIME_DIR\): this user.s flashes under way cannot be looked for\.$' ||
  fail "status without a runtime folder: exit $status: $(cat "$work/err")"
# A socket left behind by a process that was killed.
mkdir -p "$work/runtime/quorvel"
python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$place"
cli watch --drive 0:1
[ "$status" -eq 2 ] && said "^quorvel-flash: no flash is under way at 0:1 \(the flash served at $place has ended\); " ||
  fail "a watch of a socket left behind: exit $status: $(cat "$work/err")"
cli status
[ "$(cat "$work/out")" = "nothing under way." ] || fail "status with a socket left behind: $(cat "$work/out")"
# Its next flash takes the place again; a runtime folder too deep for a
# socket's path leaves a flash unfollowed, said.
deep=$work/$(printf 'd%.0s' $(seq 1 110))
mkdir -p "$deep" && chmod 700 "$deep"
XDG_RUNTIME_DIR=$deep QUORVEL_SIM_MACHINE=$work/other-drive.machine cli write FW1612.BIN --drive 1:0 --yes
[ "$status" -eq 0 ] && said "^quorvel-flash: this flash cannot be followed from another program \(the path $deep/quorvel/flash-1-0 is too long for a local socket\); it goes on all the same\.$" ||
  fail "a flash with too long a place: exit $status: $(cat "$work/err")"
echo "5: no runtime folder, a socket left behind and too long a path each said in a line; the flash went on"
echo "quorvel-flash follow end to end: status, watch, list, check, write and history of a flash under way; adoption,"
echo "the one restart, Ctrl+C, another user's flash, bad places"
