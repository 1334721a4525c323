#!/usr/bin/env bash
# quorvel-flash writing several drives at once, the real program on the
# simulated machine, with no display:
#  1. four drives of one model, 300 ms a block, one write with four --drive:
#     every drive's blocks byte for byte, the four flashes overlapping in
#     time, exit 0, four accepted flashes in the record;
#  2. --all with a drive that refuses block 3 and a drive of another model:
#     the refusing drive gets 3 commands, the other model none, the rest every
#     block; exit 1; its line and the table name it;
#  3. a drive busy with another write of this user's: refused, said as the
#     flash under way that it is, nothing sent to it from the tower, the
#     others written;
#  4. SIGTERM in the middle: every drive finishes, no restart;
#  5. --restart: one restart once every drive has accepted; none when one
#     refused.
#   tower-e2e.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../scripts/lib.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/lib.sh"
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$(mktemp -d /tmp/quorvel-tower-e2e-XXXXXX)
trap e2e_cleanup EXIT
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2; diagnose' ERR
flash=$build/bin/quorvel-flash
trace=$work/quorvel-sim.trace
record=$work/state/quorvel/flashes.jsonl

# machine: four drives of one model at 0:1 0:2 1:0 1:1, 300 ms a command, the
# one at 1:1 refusing its third when REFUSE is given; another model at 1:2.
machine() {
  cat >"$work/machine" <<M
trace quorvel-sim.trace
state quorvel-sim.state
dump  dumps
adapters 2
device 0 1 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="1.10" delay=300 completion=later
device 0 2 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="1.10" delay=300 completion=later
device 1 0 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="1.10" delay=300 completion=later
device 1 1 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="1.10" delay=300 completion=later ${1:-}
device 1 2 type=0x05 vendor="QUORVEL " product="DVDRW-1612B     " revision="2.04"
M
}
fresh() { rm -rf "$work/dumps" "$work/quorvel-sim.state" "$work/state"; : >"$trace"; }
# tower LOG ARGUMENTS...: quorvel-flash started in the background.
tower() {
  local log=$1
  shift
  start_program "$work/run" "$log" "$work/machine" "$flash" "$@"
}
# commands A:T: the download commands drive A:T received, one a line.
commands() { grep -E "^SRB .* HaId=${1%:*} .* Target=${1#*:} .*Download=" "$trace" || true; }
# dumps_of A:T: its dump files, in the order received.
dumps_of() { commands "$1" | sed -E 's/.* Dump="([^"]*)".*/\1/'; }
# first and last A:T: when its first and last download commands completed.
first() { commands "$1" | head -n 1 | sed -E 's/.* time=([^ ]+) .*/\1/'; }
last() { commands "$1" | tail -n 1 | sed -E 's/.* time=([^ ]+) .*/\1/'; }
events() { sed -E 's/.*"event":"([a-z-]+)".*"target":([0-9]+).*/\1/' "$record" 2>/dev/null | sort | uniq -c | tr -s ' ' | tr '\n' ';'; }

mkdir "$work/run"
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 60 --blocks 7 \
  "$work/run/FW.BIN"
start_bus "$work/bus"

# --- 1. four drives at once ----------------------------------------------------
# An X display and no session bus: no flash's process starts a bus of its own
# (the bus library would launch one for the display, and hold each process up
# for seconds), and the run says once that nothing holds off logging out.
[ -n "${DISPLAY:-}" ] || fail "no X display to run with"
machine
fresh
mkdir -p "$work/home" "$work/runtime"
user_home=$HOME
export HOME=$work/home XDG_RUNTIME_DIR=$work/runtime
unset DBUS_SESSION_BUS_ADDRESS
tower "$work/tower-1.log" write FW.BIN --drive 0:1 --drive 0:2 --drive 1:0 --drive 1:1 --yes
export HOME=$user_home
finish 60 || fail "the tower did not end"
[ ! -e "$work/home/.dbus" ] || fail "a flash's process started a session bus: $(find "$work/home/.dbus")"
[ "$(grep -c 'no session bus: nothing holds off logging out' "$work/tower-1.log")" -eq 1 ] ||
  fail "the missing session bus was not said once: $(cat "$work/tower-1.log")"
[ "$(grep -c 'no restart was requested' "$work/tower-1.log")" -eq 1 ] &&
  grep -qx 'quorvel-flash: 0:1, 0:2, 1:0, 1:1: --restart was not given: no restart was requested\. Restart the computer to finish\.' \
    "$work/tower-1.log" || fail "no restart was not said once for the four drives: $(cat "$work/tower-1.log")"
[ "$exit_code" -eq 0 ] || fail "four accepted flashes ended with $exit_code: $(cat "$work/tower-1.log")"
for drive in 0:1 0:2 1:0 1:1; do
  mapfile -t dumps < <(dumps_of "$drive")
  expect_dumps "$work/run/FW.BIN" "${dumps[@]}"
  grep -qx "pending ${drive%:*} ${drive#*:} \"1.20\" boot=\"$(cat /proc/sys/kernel/random/boot_id)\"" \
    "$work/quorvel-sim.state" || fail "$drive does not keep 1.20 for the restart"
done
# Overlapping: every drive's first block came before any drive's last.
latest_first=$(for d in 0:1 0:2 1:0 1:1; do first "$d"; done | sort | tail -n 1)
earliest_last=$(for d in 0:1 0:2 1:0 1:1; do last "$d"; done | sort | head -n 1)
[[ "$latest_first" < "$earliest_last" ]] || fail "the flashes did not overlap: a first block at $latest_first, a last at $earliest_last"
[ "$(grep -c '"event":"accepted"' "$record")" -eq 4 ] || fail "the record holds: $(events)"
for drive in 0:1 0:2 1:0 1:1; do
  grep -qE "^$drive +QUORVEL CDRW-4824A +1\.10 +1\.20 +accepted$" "$work/tower-1.log" || fail "the table lacks $drive accepted"
done
grep -q ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD" && fail "a restart was requested without --restart"
echo "1: four drives at once, byte for byte, overlapping in time; exit 0; four accepted flashes recorded;"
echo "   no session bus started, its absence and the restart not requested each said once"

# --- 2. --all: a drive refuses block 3, another model is left alone -------------
machine refuse=3
fresh
tower "$work/tower-2.log" write FW.BIN --all --yes
finish 60 || fail "the tower did not end"
[ "$exit_code" -eq 1 ] || fail "a refused block ended the tower with $exit_code"
[ "$(commands 1:1 | wc -l)" -eq 3 ] || fail "the refusing drive got $(commands 1:1 | wc -l) commands, not 3"
[ "$(commands 1:2 | wc -l)" -eq 0 ] || fail "the drive of another model got a download command"
for drive in 0:1 0:2 1:0; do [ "$(commands "$drive" | wc -l)" -eq 7 ] || fail "$drive did not get every block"; done
grep -q '^quorvel-flash: 1:1: DOWNLOAD FAIL!! The drive refused block 3 of 7\.' "$work/tower-2.log" ||
  fail "the refusing drive's line was not said"
grep -qE '^1:1 +QUORVEL CDRW-4824A +1\.10 +- +refused at block 3 of 7: The drive said: MEDIUM ERROR, write error \(3/0C/00\)\.$' \
  "$work/tower-2.log" || fail "the table does not name the refusing drive and why"
grep -q 'left alone, another model: 1:2 QUORVEL DVDRW-1612B' "$work/tower-2.log" || fail "the other model was not said"
echo "2: --all: the refusing drive stopped at block 3, the other model untouched, the rest written; exit 1"

# --- 2b. why: a drive refusing as an unknown command, one gone at block 3 --------
machine "sense=5/20/00 refuse=1 transport=usb"
sed -i 's/^\(device 1 0 .*\)$/\1 gone=3/' "$work/machine"
fresh
tower "$work/tower-2b.log" write FW.BIN --drive 0:1 --drive 1:0 --drive 1:1 --yes --json
finish 60 || fail "the tower did not end"
[ "$exit_code" -eq 1 ] || fail "a refused and a gone drive ended the tower with $exit_code"
python3 - "$work/tower-2b.log" <<'EOF' || fail "the summary: $(grep '"drives"' "$work/tower-2b.log")"
import json, sys
summary = [json.loads(l) for l in open(sys.argv[1]) if l.startswith('{"drives"')][0]
drives = {d["drive"]: d for d in summary["drives"]}
assert drives["0:1"]["result"] == "accepted" and drives["0:1"]["cause"] == "", drives["0:1"]
assert drives["1:0"]["result"] == "gone" and drives["1:0"]["block"] == 3, drives["1:0"]
assert drives["1:1"]["result"] == "refused" and drives["1:1"]["block"] == 1, drives["1:1"]
assert drives["1:1"]["cause"] == ("The drive said: ILLEGAL REQUEST, invalid command operation code (5/20/00). "
                                 "This drive is connected through USB; many USB adapters do not pass firmware "
                                 "commands. Connect it to a SATA port and try again."), drives["1:1"]["cause"]
EOF
grep -q '^{"block":3,"blocks":7,"drive":"1:0","event":"gone"}$' "$work/tower-2b.log" || fail "no gone event"
grep -q '^quorvel-flash: 1:0: DOWNLOAD FAIL!! The drive went away at block 3 of 7 ' "$work/tower-2b.log" ||
  fail "the gone drive's line was not said"
grep -q '"event":"gone".*"target":0' "$record" || fail "the record does not say gone"
echo "2b: a refusal said in the drive's words with the USB advice, a drive gone at block 3; JSON and record say each"

# --- 3. a drive busy with another write -----------------------------------------
machine
fresh
start_program "$work/run" "$work/single-3.log" "$work/machine" "$flash" write FW.BIN --drive 0:2 --yes
single=$program_pid
wait_trace 'HaId=0 .* Target=2 .*Download=1 ' 30 || fail "the single write did not start"
program_pid=""
tower "$work/tower-3.log" write FW.BIN --drive 0:1 --drive 0:2 --drive 1:0 --yes
finish 60 || fail "the tower did not end"
[ "$exit_code" -eq 1 ] || fail "a busy drive ended the tower with $exit_code"
# The single write is this user's flash, found under way: said with where it
# stands, who started it and the watch that follows it.
busy="DOWNLOAD BUSY!! A flash of this drive is under way: firmware 1\.20 from FW\.BIN, block [0-6] of 7, started by quorvel-flash \(pid $single, running\) at [-0-9T:]+Z\. Nothing was sent to it; quorvel-flash watch --drive 0:2 follows it\."
grep -qE "^quorvel-flash: 0:2: $busy\$" "$work/tower-3.log" || fail "the busy drive was not said: $(cat "$work/tower-3.log")"
grep -qE "^0:2 +QUORVEL CDRW-4824A +1\.10 +- +not written: $busy\$" "$work/tower-3.log" ||
  fail "the table does not say the busy drive was not written"
[ "$(commands 0:2 | wc -l)" -eq 7 ] || fail "the busy drive got other commands than the single write's"
[ "$(commands 0:2 | grep -cE "parent=$single ")" -eq 7 ] || fail "the tower sent the busy drive a command"
for drive in 0:1 1:0; do [ "$(commands "$drive" | wc -l)" -eq 7 ] || fail "$drive did not get every block"; done
program_pid=$single
finish 60 || fail "the single write did not end"
echo "3: a drive busy with another write was refused, nothing sent; the others written"

# --- 4. SIGTERM in the middle -----------------------------------------------------
machine
fresh
tower "$work/tower-4.log" write FW.BIN --drive 0:1 --drive 1:0 --yes --restart
wait_trace 'Download=2 ' 30 || fail "the blocks did not start"
kill -TERM "$program_pid"
sleep 0.5
grep -q 'Phase=final' "$trace" && fail "the test came too late: a flash had ended"
running || fail "SIGTERM ended the tower in the middle of the flashes"
finish 60 || fail "the tower did not end after the flashes"
[ "$exit_code" -eq 0 ] || fail "after SIGTERM the accepted flashes ended with $exit_code"
for drive in 0:1 1:0; do [ "$(commands "$drive" | wc -l)" -eq 7 ] || fail "$drive did not get every block after SIGTERM"; done
grep -q '^quorvel-flash: asked to end: the flashes go on until every drive has answered its final block' \
  "$work/tower-4.log" || fail "the held request was not said"
grep -q ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD" && fail "a restart was requested after SIGTERM"
[ "$(grep -c '"event":"restart-not-requested"' "$record")" -eq 2 ] || fail "the record holds: $(events)"
echo "4: SIGTERM in the middle: every drive finished, no restart"

# --- 5. --restart ------------------------------------------------------------------
machine refuse=3
fresh
tower "$work/tower-5a.log" write FW.BIN --drive 0:1 --drive 1:1 --yes --restart
finish 60 || fail "the tower did not end"
[ "$exit_code" -eq 1 ] || fail "a refused drive with --restart ended with $exit_code"
grep -q ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD" && fail "a restart was requested though a drive refused"
machine
fresh
tower "$work/tower-5b.log" write FW.BIN --drive 0:1 --drive 1:0 --yes --restart
finish 60 || fail "the tower did not end"
[ "$exit_code" -eq 0 ] || fail "the restart after two accepted flashes ended with $exit_code"
[ "$(reboots)" -eq 1 ] || fail "$(reboots) restarts were requested, not one"
[ "$(grep -c '"event":"restart-requested"' "$record")" -eq 2 ] || fail "the record holds: $(events)"
[ "$(grep -c '"event":"restart-accepted"' "$record")" -eq 2 ] || fail "the record holds: $(events)"
echo "5: --restart: none after a refusal; one, once both drives accepted"
echo "quorvel-flash tower end to end: four at once, --all with a refusal, a busy drive, SIGTERM, the restart"
