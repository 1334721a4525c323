#!/usr/bin/env bash
# quorvel-flash, the real program, on the simulated machine, with no display:
#  1. command lines and their exit statuses, as a table: usage errors (64),
#     --help and --version (0), refusals before anything is sent (2), and
#     nothing sent by any of them;
#  2. list and list --json: the machine's CD/DVD drives, in discovery's order;
#     here and in every run but the terminal's and the background ones, no
#     windowing plugin loaded (QT_QPA_PLATFORM=xcb and no display);
#  3. write --yes without a terminal: every command and byte of the image's
#     plan, the progress a line a block, the result, no restart; the inhibitor
#     held; the record of the flash, and history --json;
#  4. the question on a terminal (a pseudo-terminal): no writes nothing, yes
#     writes, with the bar redrawn on one line;
#  5. a drive that refuses block 3: exit 1, nothing after it; one that
#     refuses the final block: exit 1 and, even with --restart, no restart;
#  6. SIGTERM at block 2: every block, the result, no restart, exit 0; SIGKILL
#     at block 2: the flash's process sends every block all the same, says the
#     result, and requests no restart;
#  7. a second write to the drive while the first runs: refused (2), nothing
#     sent from it, the first undisturbed;
#  8. --restart: asked of logind once the drive took every block; accepted
#     (0), refused (3).
#   cli-e2e.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../scripts/lib.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/lib.sh"
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$(mktemp -d /tmp/quorvel-cli-e2e-XXXXXX)
# The run's session bus and its monitor go with it.
trap 'stop_session_bus; e2e_cleanup' EXIT
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2; diagnose' ERR
flash=$build/bin/quorvel-flash
trace=$work/quorvel-sim.trace
# The programs start_program starts have no runtime folder: their flashes
# cannot be followed. cli and killed_mid_flash give theirs one, $work/runtime.
unset XDG_RUNTIME_DIR

# machine DELAY: four adapters; the drive at 2:6 takes DELAY ms a command and
# ends it from its own thread; at 3:2 a drive that refuses its third command,
# at 3:5 one that refuses the final block; a disk and a device of qualifier 1
# that are not listed. Addresses of their own: the drives' locks are the
# machine's, and other runs on it flash 0:1 and 1:0.
machine() {
  cat >"$work/machine" <<M
trace quorvel-sim.trace
state quorvel-sim.state
dump  dumps
adapters 4
device 2 6 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="1.10" delay=$1 completion=later
device 2 3 type=0x00 vendor="ACMEDISK" product="FIXED DISK 2000 " revision="3.01"
device 3 2 type=0x05 vendor="QUORVEL " product="DVDRW-1612B     " revision="2.04" refuse=3 transport=usb
device 3 4 type=0x25 vendor="QUORVEL " product="OFFLINE-DRIVE   " revision="0.01"
device 3 5 type=0x05 vendor="QUORVEL " product="COMBO-52X       " revision="5.00" refuse=final
M
}
# shellcheck source=cli-lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/cli-lib.sh"

mkdir "$work/run" "$work/runtime"
machine 5
mkimage --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 60 --blocks 7 "$work/run/FW.BIN"
mkimage --model "QUORVEL DVDRW-1612B" --version 2.10 --block-kb 60 --blocks 5 "$work/run/FW1612.BIN"
mkimage --model "QUORVEL COMBO-52X" --version 5.10 --block-kb 60 --blocks 3 "$work/run/COMBO.BIN"
mkimage --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 60 --blocks 0 --size 4096 "$work/run/NOBLOCKS.BIN"
head -c 40 /dev/zero >"$work/run/SHORT.BIN"
long=$(printf 'd%.0s' $(seq 1 140))

# --- 1. command lines and exit statuses -------------------------------------
# STATUS|ARGUMENTS (words split at blanks)|standard error's first line
table=(
  "64|frob|^quorvel-flash: unknown command 'frob'; quorvel-flash --help shows the usage\.$"
  "64||^quorvel-flash: no command given; quorvel-flash --help shows the usage\.$"
  "64|list --yes|^quorvel-flash: list takes no --yes; quorvel-flash --help shows the usage\.$"
  "64|write FW.BIN|^quorvel-flash: write needs --drive A:T, the drive to write, or --all \(quorvel-flash list shows the drives\); quorvel-flash --help"
  "64|write FW.BIN --drive 0-1|^quorvel-flash: '0-1' is no drive: give it as A:T"
  "64|check|^quorvel-flash: check needs an IMAGE;"
  "0|--help|"
  "0|write --drive x --help|"
  "0|--version|"
  "2|check NONE.BIN|^quorvel-flash: File Not Opened!! NONE.BIN cannot be opened for reading"
  "2|check SHORT.BIN|^quorvel-flash: File Not Opened!! SHORT.BIN is too short to hold a trailer"
  "2|check $long.BIN|^quorvel-flash: File Path Too Long \(over 131 characters\) !!"
  "2|check FW1612.BIN --drive 2:6|^quorvel-flash: Different Model !! The image is for QUORVEL DVDRW-1612B; the drive at 2:6 is QUORVEL CDRW-4824A\.$"
  "2|check FW.BIN --drive 2:3|^quorvel-flash: Drive Not Found!! There is no CD/DVD drive at 2:3 \(quorvel-flash list shows the drives\)\.$"
  "2|write FW.BIN --drive 3:4 --yes|^quorvel-flash: Drive Not Found!! There is no CD/DVD drive at 3:4"
  "2|write FW1612.BIN --drive 2:6 --yes|^quorvel-flash: Different Model !!"
  "2|write NOBLOCKS.BIN --drive 2:6 --yes|^quorvel-flash: Flash File Not Valid!! The file names no blocks to send\. Nothing was sent to the drive\.$"
  "2|write FW.BIN --drive 2:6|^quorvel-flash: not written: there is no terminal to ask whether to write; give --yes to write without asking\. Nothing was sent to the drive\.$"
)
for row in "${table[@]}"; do
  IFS='|' read -r expected words first <<<"$row"
  # shellcheck disable=SC2086
  cli $words
  [ "$status" -eq "$expected" ] || fail "quorvel-flash $words: exit $status, not $expected: $(cat "$work/err")"
  if [ -n "$first" ]; then
    head -n 1 "$work/err" | grep -qE -- "$first" || fail "quorvel-flash $words said: $(head -n 1 "$work/err")"
  elif [ "$expected" -eq 0 ]; then
    [ ! -s "$work/err" ] || fail "quorvel-flash $words wrote on standard error: $(cat "$work/err")"
  fi
done
cli --help
grep -q '^Usage: quorvel-flash list \[--json\]$' "$work/out" || fail "--help printed no usage on standard output"
cli --version
[ "$(cat "$work/out")" = "quorvel-flash 2.02" ] || fail "--version printed: $(cat "$work/out")"
cli check FW.BIN --drive 2:6
[ "$status" -eq 0 ] || fail "check of a good image: exit $status: $(cat "$work/err")"
[ "$(cat "$work/err")" = "quorvel-flash: File Open OK !! 61440b 24Kb 7Cmd" ] || fail "check said: $(cat "$work/err")"
grep -qx 'model:        QUORVEL CDRW-4824A' "$work/out" && grep -qx 'blocks:       7' "$work/out" &&
  grep -qx 'final block:  24576 bytes' "$work/out" || fail "check printed: $(cat "$work/out")"
# No manager at all: the window's "ASPI Not Found!!".
status=0
(cd "$work/run" && LD_LIBRARY_PATH="$build/sim" QUORVEL_SIM_MACHINE="$work/none" "$flash" list) >"$work/out" 2>"$work/err" ||
  status=$?
[ "$status" -eq 2 ] && said '^quorvel-flash: ASPI Not Found!! ' || fail "without a manager: exit $status, $(cat "$work/err")"
[ "$(downloads)" -eq 0 ] || fail "a refused command line sent a download command"
echo "1: ${#table[@]} command lines gave their statuses and said why; nothing was sent"

# --- 2. list ----------------------------------------------------------------
cli list
[ "$status" -eq 0 ] || fail "list: exit $status"
expected=$'2:6     QUORVEL  CDRW-4824A       1.10 unknown\n3:2     QUORVEL  DVDRW-1612B      2.04 usb\n3:5     QUORVEL  COMBO-52X        5.00 unknown'
[ "$(cat "$work/out")" = "$expected" ] || fail "list printed:"$'\n'"$(cat "$work/out")"
cli list --json
[ "$status" -eq 0 ] || fail "list --json without a display: exit $status: $(cat "$work/err")"
[ ! -s "$work/err" ] || fail "list --json loaded a plugin or complained: $(cat "$work/err")"
python3 - "$work/out" <<'PY' || fail "list --json printed: $(cat "$work/out")"
import json, sys
drives = json.load(open(sys.argv[1]))
assert drives == [
    {"adapter": 2, "target": 6, "vendor": "QUORVEL", "model": "CDRW-4824A", "revision": "1.10", "transport": "unknown",
     "under-way": None},
    {"adapter": 3, "target": 2, "vendor": "QUORVEL", "model": "DVDRW-1612B", "revision": "2.04", "transport": "usb",
     "under-way": None},
    {"adapter": 3, "target": 5, "vendor": "QUORVEL", "model": "COMBO-52X", "revision": "5.00", "transport": "unknown",
     "under-way": None},
], drives
assert all(type(d["adapter"]) is int and type(d["target"]) is int for d in drives)
PY
echo "2: list and list --json gave the three drives in discovery's order, with no display and no plugin"

# --- 3. write --yes without a terminal, byte for byte -------------------------
fresh
start_bus "$work/bus"
cli write FW.BIN --drive 2:6 --yes
[ "$status" -eq 0 ] || fail "write: exit $status: $(cat "$work/err")"
expect_downloads 7 18
expect_revision 2 6 1.20
expect_dumps "$work/run/FW.BIN"
expected=(
  "^quorvel-flash: writing firmware 1\.20 into QUORVEL CDRW-4824A at 2:6 \(now 1\.10\): 7 blocks, 393216 bytes of FW\.BIN\.$"
  "^quorvel-flash: no session bus: nothing holds off logging out while the drive is written\.$"
)
for i in 1 2 3 4 5 6; do
  expected+=("^quorvel-flash: block $i of 7 accepted, $((i * 61440)) of 393216 bytes, [0-9]+\.[0-9] s$")
done
expected+=(
  "^quorvel-flash: block 7 of 7 accepted, 393216 of 393216 bytes, [0-9]+\.[0-9] s$"
  "^quorvel-flash: DOWNLOAD OK!! The drive at 2:6 accepted all 7 blocks; a restart finishes the update\.$"
  "^quorvel-flash: --restart was not given: no restart was requested\. Restart the computer to finish\.$"
)
mapfile -t lines <"$work/err"
[ "${#lines[@]}" -eq "${#expected[@]}" ] || fail "standard error had ${#lines[@]} lines:"$'\n'"$(cat "$work/err")"
for i in "${!expected[@]}"; do
  grep -qE -- "${expected[$i]}" <<<"${lines[$i]}" || fail "line $((i + 1)) of standard error: '${lines[$i]}'"
done
[ ! -s "$work/out" ] || fail "write printed on standard output: $(cat "$work/out")"
grep -q ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD" && fail "a restart was requested without --restart"
grep -q 'inhibit taken .*who="QUORVEL" .*pid=' "$QUORVEL_SIM_LOGIN1_RECORD" &&
  grep -q 'inhibit released' "$QUORVEL_SIM_LOGIN1_RECORD" || fail "the inhibitor was not held and let go"
[ "$(events)" = "started accepted restart-not-requested" ] || fail "the record holds: $(events)"
cli history --json
[ "$status" -eq 0 ] || fail "history --json: exit $status"
python3 - "$work/out" "$(sha256sum "$work/run/FW.BIN" | cut -d' ' -f1)" <<'PY' || fail "history --json: $(cat "$work/out")"
import json, sys
records = json.load(open(sys.argv[1]))
assert [r["event"] for r in records] == ["started", "accepted", "restart-not-requested"], records
started, accepted, after = records
# The flash's process wrote its start before the first block: its pid, the boot.
assert type(started["pid"]) is int and started["pid"] > 0 and started["block"] == 0, started
assert started["flash"] == accepted["flash"] and started["boot"] == accepted["boot"] != "", started
expected = {"program": "quorvel-flash", "vendor": "QUORVEL", "model": "CDRW-4824A", "revision": "1.10",
            "adapter": 2, "target": 6, "file": "FW.BIN", "size": 393216, "sha256": sys.argv[2],
            "version": "1.20", "block": 7, "blocks": 7, "quorvel-record": 1}
for key, value in expected.items():
    assert accepted[key] == value, (key, accepted[key])
assert after["flash"] == accepted["flash"] and after["detail"] == "--restart was not given", after
PY
cli history
[ "$(cat "$work/out")" = "$(grep -o '"time":"[^"]*"' "$work/state/quorvel/flashes.jsonl" | head -n 1 | cut -d'"' -f4)  2:6  QUORVEL CDRW-4824A  1.10 -> 1.20  accepted; no restart was requested (--restart was not given)" ] ||
  fail "history printed: $(cat "$work/out")"
cli history --raw
[ "$(wc -l <"$work/out")" -eq 3 ] && grep -q '^time="[^"]*" boot="[^"]*" flash="[^"]*" program="quorvel-flash" event="started" .* block=0 blocks=7 detail="" pid=[1-9][0-9]*$' "$work/out" && grep -q '^time="[^"]*" boot="[^"]*" flash="[^"]*" program="quorvel-flash" event="accepted" vendor="QUORVEL" model="CDRW-4824A" revision="1.10" adapter=2 target=6 file="FW.BIN" size=393216 sha256="[0-9a-f]\{64\}" version="1.20" block=7 blocks=7 detail=""$' "$work/out" ||
  fail "history printed: $(cat "$work/out")"
echo "3: write sent the image's 7 blocks byte for byte, said each, asked for no restart and recorded the flash"

# --- 4. the question on a terminal --------------------------------------------
# ask ANSWER ARGUMENTS...: the program on a pseudo-terminal (standard input,
# output and error), ANSWER typed once the question is out; its transcript
# in $work/tty, its exit status in $status.
ask() {
  local answer=$1
  shift
  status=0
  (cd "$work/run" && LD_LIBRARY_PATH="$build/sim" QUORVEL_SIM_MACHINE="$work/machine" XDG_STATE_HOME="$work/state" \
    python3 - "$answer" "$work/tty" "$flash" "$@" <<'PY') || status=$?
import os, pty, select, sys, time
answer, transcript, command = sys.argv[1].encode(), sys.argv[2], sys.argv[3:]
pid, fd = pty.fork()
if pid == 0:
    os.execv(command[0], command)
out, sent, deadline = b"", False, time.time() + 60
while time.time() < deadline:
    if select.select([fd], [], [], 0.1)[0]:
        try:
            data = os.read(fd, 4096)
        except OSError:
            data = b""
        if not data:
            break
        out += data
    if not sent and out.endswith(b"[y/N] "):
        os.write(fd, answer)
        sent = True
else:
    os.kill(pid, 9)
open(transcript, "wb").write(out)
sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
PY
}
fresh
ask $'n\n' write FW.BIN --drive 2:6
[ "$status" -eq 2 ] || fail "answered no: exit $status: $(cat -v "$work/tty")"
grep -qa 'quorvel-flash: Write firmware 1.20 into QUORVEL CDRW-4824A at 2:6, now 1.10? \[y/N\] n' "$work/tty" ||
  fail "the question was: $(cat -v "$work/tty")"
grep -qa '^quorvel-flash: not written: the answer was not yes. Nothing was sent to the drive.' "$work/tty" ||
  fail "the refusal was not said: $(cat -v "$work/tty")"
[ "$(downloads)" -eq 0 ] || fail "answered no, yet a download command went out"
ask $'yes\n' write FW.BIN --drive 2:6
[ "$status" -eq 0 ] || fail "answered yes: exit $status: $(cat -v "$work/tty")"
[ "$(downloads)" -eq 7 ] || fail "answered yes: $(downloads) download commands"
# The bar: drawn again from the start of its line, erasing what was there.
grep -qa $'\rquorvel-flash: \\[########################\\] block 7 of 7, 393216 of 393216 bytes, [0-9.]* s\e\\[K' "$work/tty" ||
  fail "no full bar: $(cat -v "$work/tty")"
grep -qa 'block 1 of 7 accepted' "$work/tty" && fail "a terminal got a line a block instead of the bar"
grep -qa $'\e\\[K\r\nquorvel-flash: DOWNLOAD OK!! The drive at 2:6 accepted all 7 blocks' "$work/tty" ||
  fail "the result did not follow the bar on a line of its own: $(cat -v "$work/tty")"
echo "4: on a terminal, no wrote nothing and yes wrote, with the bar on one line"

# --- 5. refusals during the flash ---------------------------------------------
fresh
cli write FW1612.BIN --drive 3:2 --yes --restart
[ "$status" -eq 1 ] || fail "a refused block 3: exit $status: $(cat "$work/err")"
got=$(grep 'Download=' "$trace" | sed -E 's/.* Download=([0-9]+) .* Status=(0x[0-9a-f]+)$/\1 \2/' | tr '\n' ' ')
[ "$got" = "1 0x01 2 0x01 3 0x04 " ] || fail "the drive received: $got"
said '^quorvel-flash: block 2 of 5 accepted, 122880 of 262144 bytes' || fail "block 2 was not said"
said '^quorvel-flash: DOWNLOAD FAIL!! The drive refused block 3 of 5\. The drive said: MEDIUM ERROR, write error \(3/0C/00\)\. Nothing more was sent to it; it may need attention\.$' ||
  fail "the refusal and its cause were not said: $(cat "$work/err")"
said 'block 3 of 5 accepted' && fail "the refused block was said to be accepted"
[ "$(events)" = "started refused" ] || fail "the record holds: $(events)"
cli write COMBO.BIN --drive 3:5 --yes --restart
[ "$status" -eq 1 ] || fail "a refused final block: exit $status: $(cat "$work/err")"
said '^quorvel-flash: DOWNLOAD FAIL!! The drive at 3:5 refused the final block \(3 of 3\); it may need attention\. The drive said: MEDIUM ERROR, write error \(3/0C/00\)\.$' ||
  fail "the refused final block was not said: $(cat "$work/err")"
said '^quorvel-flash: the drive refused the final block: no restart was requested\.' || fail "no word of the restart"
grep -q ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD" && fail "a restart was requested after a refused final block"
[ "$(events)" = "started refused started refused restart-not-requested" ] || fail "the record holds: $(events)"
echo "5: a refused block ended the flash (exit 1), a refused final block too, with no restart even with --restart;"
echo "   each with the drive's sense in words"

# --- 5b. why a block failed: no answer in time, the drive gone ------------------
# 2:4 on USB does not answer its first block; 2:5 goes away at block 3.
cat >>"$work/machine" <<M
device 2 4 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="1.10" transport=usb timeout=1
device 2 5 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="1.10" gone=3
M
fresh
cli write FW.BIN --drive 2:4 --yes
[ "$status" -eq 1 ] && [ "$(downloads)" -eq 1 ] || fail "a block not answered: exit $status, $(downloads) commands"
said '^quorvel-flash: DOWNLOAD FAIL!! The drive refused block 1 of 7\. The drive did not answer in time\. This drive is connected through USB; many USB adapters do not pass firmware commands\. Connect it to a SATA port and try again\. Nothing more was sent to it; it may need attention\.$' ||
  fail "no answer in time, on USB, was not said: $(cat "$work/err")"
grep '"cause":"timeout"' "$work/state/quorvel/flashes.jsonl" | grep -q '"event":"refused"' || fail "the record lacks the time-out"
fresh
cli write FW.BIN --drive 2:5 --yes --restart
[ "$status" -eq 1 ] && [ "$(downloads)" -eq 3 ] || fail "a drive gone at block 3: exit $status, $(downloads) commands"
said '^quorvel-flash: DOWNLOAD FAIL!! The drive went away at block 3 of 7 \(unplugged, reset or switched off\)\. Connect it again and write the same image again; restart the computer if it does not come back\.$' ||
  fail "the drive gone was not said: $(cat "$work/err")"
grep -q ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD" && fail "a restart was requested for a drive that went away"
[ "$(events)" = "started gone" ] || fail "the record holds: $(events)"
cli history
grep -q '  went away at block 3 of 7$' "$work/out" || fail "history said: $(cat "$work/out")"
machine 5
echo "5b: a block not answered in time said so, with the USB advice; a drive gone at block 3 said so, no restart"

# --- 6. SIGTERM at block 2 ----------------------------------------------------
fresh
machine 400
start_program "$work/run" "$work/program-6.log" "$work/machine" "$flash" write FW.BIN --drive 2:6 --yes
wait_trace 'Download=2 ' 30 || fail "the blocks did not start"
kill -TERM "$program_pid"
sleep 0.5
grep -q 'Phase=final' "$trace" && fail "the test came too late: the flash had ended"
running || fail "SIGTERM ended the program in the middle of the flash"
finish 60 || fail "the program did not end after the flash"
[ "$exit_code" -eq 0 ] || fail "after SIGTERM the accepted flash ended with $exit_code"
expect_downloads 7 18
expect_revision 2 6 1.20
log=$work/program-6.log
grep -q '^quorvel-flash: asked to end: the flash goes on until the drive has answered its final block; the program then ends without a restart\.$' "$log" ||
  fail "the held request was not said"
grep -q '^quorvel-flash: DOWNLOAD OK: the drive accepted all 7 blocks\.$' "$log" || fail "the result was not said"
grep -q '^quorvel-flash: asked to end during the download: no restart was requested\. Restart the computer to finish\.$' "$log" ||
  fail "standard error did not say that no restart was requested"
grep -q ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD" && fail "a restart was requested after SIGTERM"
[ "$(events)" = "started accepted restart-not-requested" ] || fail "the record holds: $(events)"
echo "6: SIGTERM at block 2 waited for every block and the drive's answer; no restart"

# --- 6b. SIGKILL at block 2: the flash's process finishes it --------------------
# quorvel-flash's standard error read through a pipe, as a script that
# captured it reads it, and a session bus of the run's own: the flash's
# process lets go of the killed program's streams at once (the reader sees
# their end long before the flash's), and tells its end in the record and in
# the desktop's notice.
fresh
session_bus
killed_mid_flash "$work/program-6b.log" write FW.BIN --drive 2:6 --yes
grep -q 'Phase=final' "$trace" &&
  fail "the reader of quorvel-flash's standard error saw its end only after the flash: the flash's process kept it"
wait_transfers 60 || fail "the flash's process did not end after the flash"
expect_downloads 7 18
expect_dumps "$work/run/FW.BIN"
expect_revision 2 6 1.20
log=$work/program-6b.log
[ "$(grep -v '^quorvel-flash: block [12] of 7 accepted, ' "$log")" = "quorvel-flash: writing firmware 1.20 into QUORVEL CDRW-4824A at 2:6 (now 1.10): 7 blocks, 393216 bytes of FW.BIN.
quorvel-flash: quorvel-flash is gone: the download goes on until the drive has answered its final block." ] ||
  fail "the killed program's standard error holds: $(cat "$log")"
grep -q ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD" && fail "a restart was requested after SIGKILL"
[ "$(events)" = "started accepted unattended" ] || fail "the record holds: $(events)"
grep '"event":"unattended"' "$work/state/quorvel/flashes.jsonl" | grep '"block":7' |
  grep -q '"detail":"quorvel-flash was gone"' || fail "the record does not say who was gone"
expect_notices "Firmware written: restart to finish" \
  "QUORVEL CDRW-4824A: firmware 1.20, written while quorvel-flash was gone. The drive accepted all 7 blocks. Restart the computer to finish the update."
echo "6b: SIGKILL at block 2: the flash's process let go of quorvel-flash's standard error at once, sent every"
echo "   block, asked for no restart, recorded the end and told it in the desktop's notice"

# --- 6c. the terminal's keys reach the front end's process group, not the flash --
# Ctrl+Z (SIGTSTP) and Ctrl+\ (SIGQUIT) go to every process of the terminal's
# foreground group. The flash's process, in a session of its own, sends every
# block.
ulimit -c 0
fresh
# job: quorvel-flash made the leader of a process group of its own, as a shell
# makes a job.
job() { start_program "$work/run" "$1" "$work/machine" perl -e 'setpgrp(0, 0); exec @ARGV or die' "$flash" write FW.BIN --drive 2:6 --yes; }
job "$work/program-6c.log"
wait_trace 'Download=2 ' 30 || fail "the blocks did not start"
kill -TSTP -- "-$program_pid"
poll 30 grep -q 'Phase=final' "$trace" || fail "Ctrl+Z stopped the flash: $(downloads) blocks went out"
kill -CONT -- "-$program_pid"
finish 60 || fail "quorvel-flash did not end once it went on"
[ "$exit_code" -eq 0 ] || fail "after Ctrl+Z and fg the accepted flash ended with $exit_code"
expect_downloads 7 18
[ "$(events)" = "started accepted restart-not-requested" ] || fail "after Ctrl+Z the record holds: $(events)"
fresh
job "$work/program-6d.log"
wait_trace 'Download=2 ' 30 || fail "the blocks did not start"
kill -QUIT -- "-$program_pid"
finish 60 || fail "the flash's process did not end after the flash"
[ "$exit_code" -eq 131 ] || fail "Ctrl+\\ did not end quorvel-flash as the test meant ($exit_code)"
expect_downloads 7 18
expect_dumps "$work/run/FW.BIN"
[ "$(events)" = "started accepted unattended" ] || fail "after Ctrl+\\ the record holds: $(events)"
echo "6c: Ctrl+Z and Ctrl+\\ to quorvel-flash's process group left its flash's process sending every block"

# --- 7. a second write to the drive being flashed ------------------------------
# The first write has no runtime folder: its flash says that it cannot be
# followed and goes on; to the second, which cannot find it, its holder is
# another program's.
fresh
start_program "$work/run" "$work/program-7.log" "$work/machine" "$flash" write FW.BIN --drive 2:6 --yes
first=$program_pid
wait_trace 'Download=2 ' 30 || fail "the first write's blocks did not start"
cli write FW.BIN --drive 2:6 --yes
[ "$status" -eq 2 ] || fail "the second write: exit $status: $(cat "$work/err")"
said '^quorvel-flash: DOWNLOAD BUSY!! Another program is writing to this drive\. Nothing was sent to it\.$' ||
  fail "the second write said: $(cat "$work/err")"
finish 60 || fail "the first write did not end"
grep -qx "quorvel-flash: this flash cannot be followed from another program (there is no runtime folder (XDG_RUNTIME_DIR)); it goes on all the same." \
  "$work/program-7.log" || fail "the flash without a runtime folder did not say so: $(cat "$work/program-7.log")"
[ "$exit_code" -eq 0 ] || fail "the first write ended with $exit_code"
[ "$(grep -c 'Download=' "$trace")" -eq "$(from_pid "$first")" ] || fail "the second write sent a download command"
[ "$(from_pid "$first")" -eq 7 ] || fail "the first write's flash was disturbed"
echo "7: a second write to the drive being flashed was refused and sent nothing"

# --- 8. --restart ---------------------------------------------------------------
fresh
machine 5
cli write FW.BIN --drive 2:6 --yes --restart
[ "$status" -eq 0 ] || fail "an accepted restart: exit $status: $(cat "$work/err")"
said 'accepted all 7 blocks; the restart that finishes the update follows\.$' || fail "no word of the restart to come"
said '^quorvel-flash: the restart was requested and the system accepted it\.$' || fail "the acceptance was not said"
grep -q ' reboot interactive=true' "$QUORVEL_SIM_LOGIN1_RECORD" || fail "logind was not asked for the restart"
[ "$(events)" = "started accepted restart-requested restart-accepted" ] || fail "the record holds: $(events)"
expect_revision 2 6 1.20 taken
"$source/scripts/sim-bus.sh" stop "$work/bus" >/dev/null
start_bus "$work/bus-refusing" --refuse-reboot
fresh
cli write FW.BIN --drive 2:6 --yes --restart
[ "$status" -eq 3 ] || fail "a refused restart: exit $status: $(cat "$work/err")"
said '^quorvel-flash: RESTART FAILED!! The system did not restart: it was not allowed \(Interactive authentication required\.\)\. Restart the computer to finish the firmware update\.$' ||
  fail "the refusal was not said: $(cat "$work/err")"
grep -q ' reboot refused ' "$QUORVEL_SIM_LOGIN1_RECORD" || fail "logind was not asked"
[ "$(events)" = "started accepted restart-requested restart-refused" ] || fail "the record holds: $(events)"
echo "8: --restart asked logind once the drive took every block: accepted (0), refused (3)"
echo "quorvel-flash end to end: statuses, list, write byte for byte, the question, refusals, SIGTERM, a busy drive, the restart"
