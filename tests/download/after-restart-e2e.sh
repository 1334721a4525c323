#!/usr/bin/env bash
# Did it take? The real program on the simulated machine under an X display:
# a flash, the restart that ends the program, and the next start with the
# drive at another address reporting the new version: one box says so, and
# the record says confirmed; the start after that says nothing.
#   after-restart-e2e.sh BUILD_DIR SOURCE_DIR [SCREENSHOT_DIR]
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../scripts/lib.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/lib.sh"
e2e_setup after-restart "$@"

machine() {  # machine ADAPTER TARGET REVISION
  cat >"$work/machine" <<M
trace quorvel-sim.trace
state quorvel-sim.state
adapters 2
device 0 0 type=0x05 vendor="QUORVEL " product="DVDRW-1612B     " revision="2.04"
device $1 $2 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="$3"
M
}
record=$work/state/quorvel/flashes.jsonl
count() { grep -c "\"event\":\"$1\"" "$record" || true; }

# --- the flash, and the restart ---------------------------------------------
machine 0 1 1.10
mkdir "$work/run"
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 48 --blocks 5 \
  "$work/run/AUTORUN.BIN"
start_bus "$work/bus"
autorun_flash "$work/run" "$work/program-1.log" "$work/machine"
finish 30 || fail "the restart did not end the program"
rm "$work/run/AUTORUN.BIN"
[ "$(count accepted)" -eq 1 ] || fail "the record holds no accepted flash"
grep -q '"event":"accepted".*"revision":"1.10"' "$record" || fail "the record lacks the old version"
[ "$(count restart-requested)" -eq 1 ] || fail "the record lacks the restart's request"

# --- the next start: the drive now at adapter 1, target 0, with 1.20 ----------
machine 1 0 1.20
rm -f "$work/quorvel-sim.state"
start_program "$work/run" "$work/program-2.log" "$work/machine"
main=$(wait_window QUORVEL 30) || fail "no main window after the restart"
told=$(wait_window MESSAGE 15) || fail "nothing said whether the firmware took"
shot after-restart-firmware-updated 0.5
[ "$(count confirmed)" -eq 1 ] || fail "the record does not say confirmed"
confirmed=$(grep '"event":"confirmed"' "$record")
grep -q '"revision":"1.20"' <<<"$confirmed" || fail "the confirmation lacks the new version"
grep -q '"adapter":1,' <<<"$confirmed" && grep -q '"target":0' <<<"$confirmed" ||
  fail "the confirmation lacks the drive's new address"
answer "$told"
wait_closed MESSAGE 5 || fail "the box stayed"
stop_program

# --- and the start after that: nothing more ------------------------------------
start_program "$work/run" "$work/program-3.log" "$work/machine"
wait_window QUORVEL 30 >/dev/null || fail "no main window"
sleep 2
[ -z "$(window MESSAGE)" ] || fail "the confirmation was said twice"
stop_program
[ "$(count confirmed)" -eq 1 ] || fail "confirmed twice"

echo "after the restart: confirmed once by identity at another address, not again"
