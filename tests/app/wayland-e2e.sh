#!/usr/bin/env bash
# The real program natively on a Wayland compositor: a Weston of the test's own
# (its own runtime directory and socket), nested in an Xvfb of its own through
# Weston's X11 backend, the simulated machine, and the windows reached through
# AT-SPI, the one way in that needs no input tool. Nested, Weston has a seat
# (the X server's keyboard and pointer): Qt 6.4's Wayland plugin crashes
# drawing a line edit's cursor on a compositor without one, as a headless
# Weston is. Only Weston talks to that X server; the program and AT-SPI never.
#  1. Autorun: the window comes up with the image loaded, the start prompt is
#     answered OK, the drive gets every block byte for byte, the result box
#     comes and is answered, and the restart ends the program. Screenshots
#     through Weston's screenshooter are kept.
#  2. The compositor killed at the second block of a flash: the toolkit's
#     Wayland plugin ends the window at once, and the flash's own process
#     carries the flash on: every block reaches the drive byte for byte, the
#     drive takes the new revision, the record says the flash went on
#     unattended, the desktop is told (a stand-in notification service on the
#     session bus), the window's standard error is let go, and no restart is
#     requested.
# Skips (exit 77) only where Weston or its X server cannot start.
#   wayland-e2e.sh BUILD_DIR SOURCE_DIR [SCREENSHOT_DIR]
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../scripts/lib.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/lib.sh"
# Nothing but Weston may reach an X server: the program is native or fails,
# and AT-SPI must not find the address of another session's bus on an X
# display.
unset DISPLAY XAUTHORITY
# A session bus for AT-SPI; Weston's socket in the same runtime directory.
own_session "$0" "$@"
if [ $# -lt 2 ]; then
  echo "usage: $0 BUILD_DIR SOURCE_DIR [SCREENSHOT_DIR]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$(mktemp -d /tmp/quorvel-wayland-e2e-XXXXXX)
shots=${3:-$work/shots}
mkdir -p "$shots"
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1

weston_pid=""
stop_weston() {
  [ -n "$weston_pid" ] || return 0
  kill -KILL "$weston_pid" 2>/dev/null || true
  wait "$weston_pid" 2>/dev/null || true
  weston_pid=""
}
xvfb_pid=""
stop_xvfb() {
  [ -n "$xvfb_pid" ] || return 0
  kill "$xvfb_pid" 2>/dev/null || true
  wait "$xvfb_pid" 2>/dev/null || true
  xvfb_pid=""
}
cleanup() {
  stop_weston
  stop_xvfb
  e2e_cleanup
}
trap cleanup EXIT
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2; diagnose' ERR

# start_xvfb: the X server Weston draws into, on a display number the server
# picks itself (-displayfd), so that tests run side by side never share one;
# sets xdisplay. -noreset: Weston killed is its last client, and the next
# Weston must find the same server.
start_xvfb() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/xvfb.display" \
    >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    xdisplay=$(head -n 1 "$work/xvfb.display" 2>/dev/null || true)
    [ -n "$xdisplay" ] && { xdisplay=":$xdisplay"; return 0; }
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  return 1
}
# start_weston SOCKET: Weston in a window of the Xvfb, drawing with pixman,
# so that its screenshooter, which --debug opens to any client, has a picture.
# The X display is Weston's alone.
start_weston() {
  socket=$1
  DISPLAY=$xdisplay weston --backend=x11-backend.so --use-pixman --width=1024 --height=768 \
    --socket="$socket" --no-config --debug >"$work/weston-$socket.log" 2>&1 &
  weston_pid=$!
  for _ in $(seq 100); do
    [ -S "$XDG_RUNTIME_DIR/$socket" ] && return 0
    kill -0 "$weston_pid" 2>/dev/null || break
    sleep 0.1
  done
  return 1
}
# weston_shot NAME: the compositor's whole screen as $shots/NAME.png.
weston_shot() {
  local dir=$work/shooter
  mkdir -p "$dir"
  sleep 0.5
  (cd "$dir" && WAYLAND_DISPLAY=$socket weston-screenshooter >/dev/null 2>&1) || fail "Weston took no screenshot"
  mv "$dir"/wayland-screenshot-*.png "$shots/$1.png"
  echo "  screenshot: $shots/$1.png"
}
# start_native DIR LOG: the program on Weston, natively.
start_native() {
  start_program "$1" "$2" "$work/machine" env QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY="$socket" "$build/bin/quorvel"
}
# box TITLE TEXT [BUTTON] [SECONDS]: waits for the program's window TITLE
# showing TEXT, prints its texts, presses BUTTON in it.
box() { /usr/bin/python3 "$source/tests/app/atspi-box.py" "$program_pid" "$@"; }
# The drive at an address of this test's own (adapter 1, target 5): the lock
# that keeps a second flash off a drive is named by its address, machine-wide.
machine() {  # machine DELAY FINAL_DELAY
  cat >"$work/machine" <<M
trace quorvel-sim.trace
state quorvel-sim.state
dump  dumps
adapters 2
device 1 5 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="1.10" delay=$1 final-delay=$2 completion=later
M
}

if ! command -v weston >/dev/null || ! command -v Xvfb >/dev/null; then
  echo "SKIPPED: Weston or Xvfb is not installed here (scripts/deps.sh test installs them)"
  exit 77
fi
if ! start_xvfb; then
  echo "SKIPPED: Xvfb cannot start here:"
  tail -n 5 "$work/xvfb.log" 2>/dev/null || true
  exit 77
fi
if ! start_weston quorvel-wayland-1; then
  echo "SKIPPED: Weston cannot start here:"
  tail -n 5 "$work/weston-quorvel-wayland-1.log" 2>/dev/null || true
  exit 77
fi

# --- 1. a whole flash by autorun --------------------------------------------
machine 50 500
mkdir "$work/one"
# 384 KiB: six blocks of 60 KiB, then the final 24 KiB.
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 60 --blocks 7 \
  "$work/one/AUTORUN.BIN"
start_bus "$work/bus"
start_notices
start_native "$work/one" "$work/program-1.log"
heard=$(/usr/bin/python3 "$source/tests/app/atspi-read.py" "$program_pid" QUORVEL) ||
  fail "the window could not be found through AT-SPI"
grep -q 'libqwayland' "/proc/$program_pid/maps" || fail "the program does not run on Qt's Wayland plugin"
expected="combo box: 'DRIVE: ' 'QUORVEL CDRW-4824A      1.10'
label: 'MODEL NAME :' 'QUORVEL CDRW-4824A      '
label: 'OLD VERSION :' '1.10'
label: 'NEW VERSION :' '1.20'
label: 'DOWNLOAD FILE :' 'AUTORUN.BIN'
label: 'STATUS :' 'READY'
progress bar: 'Download progress'"
[ "$heard" = "$expected" ] || fail "AT-SPI read the window as:"$'\n'"$heard"
prompt=$(box MESSAGE "DOWNLOAD START !!" "" 60) || fail "no start prompt came"
[ "$prompt" = $'File Open OK !!\n(61440b 24Kb 7Cmd)\n\n DOWNLOAD START !!' ] || fail "the prompt said: $prompt"
weston_shot wayland-start-prompt
box MESSAGE "DOWNLOAD START !!" OK >/dev/null || fail "the prompt's OK could not be pressed"
result=$(box MESSAGE "DOWNLOAD OK!!" "" 60) || fail "no result box came; a box said: $(box MESSAGE "" "" 1 || true)"
weston_shot wayland-result
expect_downloads 7 18
expect_revision 1 5 1.20
expect_dumps "$work/one/AUTORUN.BIN"
grep -q ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD" && fail "the restart came before the result box was closed"
box MESSAGE "DOWNLOAD OK!!" OK >/dev/null || fail "the result box's OK could not be pressed"
finish 30 || fail "the program did not end through the restart"
grep -q ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD" || fail "no restart was asked for"
echo "1: natively on Weston, autorun answered through AT-SPI: all 7 blocks byte for byte, \"${result%%$'\n'*}\", the restart"

# --- 2. the compositor killed during a flash --------------------------------
stop_weston
start_weston quorvel-wayland-2 || fail "Weston did not start a second time"
# The machine, and the record of flashes, as new: the record then holds this
# flash alone.
rm -rf "$work/dumps" "$work/quorvel-sim.state" "$work/quorvel-sim.trace" "$work/state"
machine 400 1000
mkdir "$work/two"
cp "$work/one/AUTORUN.BIN" "$work/two/AUTORUN.BIN"
restarts=$(reboots)
start_native "$work/two" "$work/program-2.log"
box MESSAGE "DOWNLOAD START !!" OK 60 >/dev/null || fail "no start prompt came"
wait_trace 'Download=2 ' 30 || fail "the blocks did not start"
stop_weston
finish 60 || fail "the program or its flash's process did not end once the drive had answered"
grep -q 'Wayland connection broke' "$work/program-2.log" || fail "the compositor was not lost as the test meant"
expect_downloads 7 18
expect_dumps "$work/two/AUTORUN.BIN"
expect_revision 1 5 1.20
# Said by the flash's process only when the window went before the drive had
# answered: the window ended while the blocks still went out.
grep -qx 'quorvel: the window is gone: the download goes on until the drive has answered its final block.' \
  "$work/program-2.log" || fail "standard error did not say that the download goes on"
grep -q 'DOWNLOAD OK\|no restart was requested' "$work/program-2.log" &&
  fail "the flash's process kept the window's standard error"
[ "$(reboots)" -eq "$restarts" ] || fail "a restart was requested without a window"
[ "$(notices)" = "Firmware written: restart to finish | QUORVEL CDRW-4824A: firmware 1.20, written while the window was gone. The drive accepted all 7 blocks. Restart the computer to finish the update." ] ||
  fail "the desktop was told: $(notices)"
record=$(/usr/bin/python3 -c '
import json, sys
for line in open(sys.argv[1]):
    r = json.loads(line)
    print(r["event"], "%d/%d" % (r["block"], r["blocks"]), r["version"], r["detail"])
' "$work/state/quorvel/flashes.jsonl") || fail "the record of flashes could not be read"
[ "$record" = $'started 0/7 1.20 \naccepted 7/7 1.20 \nunattended 7/7 1.20 the window was gone' ] ||
  fail "the record of flashes says:"$'\n'"$record"
echo "2: compositor killed at block 2: the window ended (exit $exit_code), its flash's process went on:"
echo "   all 7 blocks byte for byte, 1.20 taken, recorded unattended, the desktop told, no restart"
echo "wayland end to end: native window on a nested Weston, a whole flash through AT-SPI; a killed compositor cuts no flash"
