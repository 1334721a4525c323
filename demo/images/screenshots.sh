#!/usr/bin/env bash
# Takes the demo's screenshots of Open on the simulated machine of
# demo/machine/demo.machine, driving the real program and its file dialog
# with xdotool under an X display (Xvfb when there is none):
#   open-ok.png          the "File Open OK !!" box for FW4824.BIN
#   open-ready.png       the window afterwards: model, old and new version, file, READY
#   different-model.png  "Different Model !!" for FW1612.BIN
#   autorun-prompt.png   the start prompt with FW4824.BIN as AUTORUN.BIN
#   autorun-cmdline.png  after "quorvel fw1612.bin" and Cancel: the second drive
#                        selected by itself, its image READY
#   demo/images/screenshots.sh BUILD_DIR OUT_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source=$(cd "$here/../.." && pwd)
build=$(cd "${1:?usage: screenshots.sh BUILD_DIR OUT_DIR}" && pwd)
mkdir -p "${2:?usage: screenshots.sh BUILD_DIR OUT_DIR}"
out=$(cd "$2" && pwd)

if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
  exec "$source/scripts/with-display.sh" "$0" "$@"
fi

work=$(mktemp -d /tmp/quorvel-demo-shots-XXXXXX)
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill "$pid" 2>/dev/null || true; fi
  "$source/scripts/sim-bus.sh" stop "$work/bus" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "screenshots: $*" >&2; exit 1; }

cp "$source/demo/machine/demo.machine" "$work/demo.machine"
mkdir "$work/run"
"$here/make-images.sh" "$build" "$work/run" >/dev/null
eval "$("$source/scripts/sim-bus.sh" start "$work/bus" "$build/sim/quorvel-sim-login1")"

start() {
  (
    cd "$work/run"
    export LD_LIBRARY_PATH="$build/sim${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
    export QUORVEL_SIM_MACHINE="$work/demo.machine"
    unset QT_QPA_PLATFORM
    exec "$build/bin/quorvel" "$@"
  ) >>"$work/program.log" 2>&1 &
  pid=$!
}
# window NAME: waits for a visible window of the program titled NAME; prints its id.
window() {
  local i id
  for ((i = 0; i < 300; i++)); do
    id=$(xdotool search --all --onlyvisible --pid "$pid" --name "^$1\$" 2>/dev/null | head -n 1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
focus() { xdotool windowraise "$1"; xdotool windowfocus --sync "$1"; sleep 0.5; }
# shot_window ID FILE [MARGIN]: the window and MARGIN pixels around it (a box
# over the main window), cut from the screen.
shot_window() {
  sleep 1
  local X Y WIDTH HEIGHT SCREEN WINDOW m=${3:-0}
  eval "$(xdotool getwindowgeometry --shell "$1")"
  import -window root -crop "$((WIDTH + 2 * m))x$((HEIGHT + 2 * m))+$((X - m))+$((Y - m))" +repage "$out/$2"
}
shot() { shot_window "$main" "$1" 40; }
# quit ID: Exit from the menu (System, Exit); waits until the program has ended.
quit() {
  local i
  for ((i = 0; i < 5; i++)); do
    focus "$1"
    xdotool key --clearmodifiers alt+s
    sleep 0.5
    xdotool key x
    for ((j = 0; j < 30; j++)); do kill -0 "$pid" 2>/dev/null || { pid=""; return 0; }; sleep 0.1; done
  done
  fail "Exit did not end the program"
}
# open NAME: Open from the menu (System, Open) and type NAME into the dialog.
open() {
  focus "$main"
  xdotool key --clearmodifiers alt+s
  sleep 0.3
  xdotool key o
  local dialog
  dialog=$(window "Open") || fail "no file dialog"
  sleep 1
  focus "$dialog"
  xdotool type --delay 20 "$1"
  xdotool key Return
}

start
main=$(window QUORVEL) || fail "the main window did not come"
open FW4824.BIN
box=$(window MESSAGE) || fail "no box after Open"
shot open-ok.png
focus "$box"; xdotool key Return
shot_window "$main" open-ready.png

open FW1612.BIN
box=$(window MESSAGE) || fail "no box after the second Open"
shot different-model.png
focus "$box"; xdotool key Return
sleep 0.5
quit "$main"

cp "$work/run/FW4824.BIN" "$work/run/AUTORUN.BIN"
start
box=$(window MESSAGE) || fail "no start prompt"
shot autorun-prompt.png
focus "$box"; xdotool key Escape  # Cancel
main=$(window QUORVEL)
sleep 0.5
quit "$main"

rm "$work/run/AUTORUN.BIN"
start fw1612.bin
box=$(window MESSAGE) || fail "no start prompt for the command-line name"
main=$(window QUORVEL)
focus "$box"; xdotool key Escape
shot_window "$main" autorun-cmdline.png
quit "$main"
echo "screenshots in $out"
