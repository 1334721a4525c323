#!/usr/bin/env bash
# The real program natively on a Wayland compositor: a headless Weston of the
# test's own (its own runtime directory and socket, no X display), the
# simulated machine, and the windows reached through AT-SPI, the one way in
# that needs no input device (a headless Weston has none).
#  1. Autorun: the window comes up with the image loaded, the start prompt is
#     answered OK, the drive gets every block byte for byte, the result box
#     comes and is answered, and the restart ends the program. Screenshots
#     through Weston's screenshooter are kept.
#  2. The compositor killed in the middle of a flash: the toolkit's Wayland
#     plugin ends the process at once, as SIGKILL would. The test shows how
#     many blocks the drive got and asserts only that the program ends.
# Skips (exit 77) only where Weston cannot start.
#   wayland-e2e.sh BUILD_DIR SOURCE_DIR [SCREENSHOT_DIR]
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../scripts/lib.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/lib.sh"
# Nothing may reach an X server: the program is native or fails, and AT-SPI
# must not find the address of another session's bus on an X display.
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
cleanup() {
  stop_weston
  e2e_cleanup
}
trap cleanup EXIT
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2; diagnose' ERR

# start_weston SOCKET: a headless Weston that draws into memory (pixman), so
# that its screenshooter, which --debug opens to any client, has a picture.
start_weston() {
  socket=$1
  weston --backend=headless-backend.so --use-pixman --width=1024 --height=768 --socket="$socket" \
    --no-config --debug >"$work/weston-$socket.log" 2>&1 &
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

if ! command -v weston >/dev/null; then
  echo "SKIPPED: Weston is not installed here (scripts/deps.sh test installs it)"
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
rm -rf "$work/dumps" "$work/quorvel-sim.state" "$work/quorvel-sim.trace"
machine 400 1000
mkdir "$work/two"
cp "$work/one/AUTORUN.BIN" "$work/two/AUTORUN.BIN"
start_native "$work/two" "$work/program-2.log"
box MESSAGE "DOWNLOAD START !!" OK 60 >/dev/null || fail "no start prompt came"
wait_trace 'Download=2 ' 30 || fail "the blocks did not start"
stop_weston
finish 60 || fail "the program did not end once its compositor was gone"
got=$(grep -c 'Download=' "$work/quorvel-sim.trace" || true)
echo "2: compositor killed during the flash: the program ended (exit $exit_code); the drive got $got of 7 blocks"
echo "   its last words: $(tail -n 1 "$work/program-2.log")"
echo "wayland end to end: native window on Weston, a whole flash through AT-SPI; a killed compositor ends the program"
