# shellcheck shell=bash
# The shell library of the scripts and the end-to-end tests (sourced):
#   have_display         whether there is an X display to use;
#   own_session          a session bus and runtime directory of a test's own;
#   e2e_setup and on     the real program on the simulated machine under an X
#                        display, driven with xdotool;
#   expect_revision,     what a drive took, and the simulated machine's restart;
#   sim_restart
#   revision_of, reboots what the demo's simulated machine holds.
#
# An end-to-end test sets `set -euo pipefail`, sources this file and calls
#   e2e_setup NAME "$@"        (arguments: BUILD_DIR SOURCE_DIR [SCREENSHOT_DIR])
# which sets build, source and shots, starts the script again under
# scripts/with-display.sh when there is no display, makes the work directory
# $work (/tmp/quorvel-NAME-e2e-*; kept when KEEP_WORK is set) and ends the
# program and the private bus on exit. The demo uses the helpers alone: it sets
# build, source and shots itself and traps e2e_stop.
#
# State the helpers share: program_pid (the running program, "" when none),
# bus_dir (the private bus, "" when none), exit_code (set by finish).

# have_display: whether DISPLAY names an X server that answers.
have_display() { [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; }

# own_session SCRIPT [ARGUMENTS...]: unless already in it, runs the script
# again on a session bus of its own (AT-SPI's accessibility bus starts on it on
# demand), with a runtime directory of its own (mode 0700) for the buses' and
# a compositor's sockets; all go when it ends, and so does this shell, with
# its status.
own_session() {
  [ -z "${QUORVEL_OWN_SESSION:-}" ] || return 0
  local runtime status=0
  runtime=$(mktemp -d /tmp/quorvel-session-XXXXXX)
  QUORVEL_OWN_SESSION=1 XDG_RUNTIME_DIR=$runtime dbus-run-session -- bash "$@" || status=$?
  rm -rf "$runtime"
  exit "$status"
}

program_pid=""
bus_dir=""
exit_code=""

e2e_setup() {
  local name=$1
  shift
  if [ $# -lt 2 ]; then
    echo "usage: $0 BUILD_DIR SOURCE_DIR [SCREENSHOT_DIR]" >&2
    exit 2
  fi
  build=$(cd "$1" && pwd)
  source=$(cd "$2" && pwd)
  shots=${3:-}
  if ! have_display; then
    exec "$source/scripts/with-display.sh" "$0" "$@"
  fi
  work=$(mktemp -d "/tmp/quorvel-$name-e2e-XXXXXX")
  trap e2e_cleanup EXIT
  # A command that fails outside a check ends the script (set -e): say where.
  trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2; diagnose' ERR
}

# e2e_stop: ends the program (if it runs) and the private bus (if started).
e2e_stop() {
  stop_program
  if [ -n "$bus_dir" ]; then
    "$source/scripts/sim-bus.sh" stop "$bus_dir" >/dev/null 2>&1 || true
    bus_dir=""
  fi
}
e2e_cleanup() {
  e2e_stop
  # A failed test leaves no flash process of its own behind.
  local p
  for p in $(transfers); do kill -9 "$p" 2>/dev/null || true; done
  if [ -n "${KEEP_WORK:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}

# diagnose: what a failure report shows: the end of the machine's trace, the
# login1 record, the end of the program's logs.
diagnose() {
  local log
  [ -f "$work/quorvel-sim.trace" ] && tail -n 30 "$work/quorvel-sim.trace" >&2
  [ -n "${QUORVEL_SIM_LOGIN1_RECORD:-}" ] && [ -f "$QUORVEL_SIM_LOGIN1_RECORD" ] && cat "$QUORVEL_SIM_LOGIN1_RECORD" >&2
  [ -n "${QUORVEL_SIM_NOTICES:-}" ] && [ -f "$QUORVEL_SIM_NOTICES" ] && cat "$QUORVEL_SIM_NOTICES" >&2
  for log in "$work"/program*.log; do
    [ -f "$log" ] && { echo "--- $log" >&2; tail -n 30 "$log" >&2; }
  done
  # What the program showed when the check failed.
  if running && have_display; then
    local id
    echo "--- the program's windows:" >&2
    for id in $(xdotool search --all --onlyvisible --pid "$program_pid" --name . 2>/dev/null); do
      echo "  $id \"$(xdotool getwindowname "$id" 2>/dev/null)\"" >&2
    done
    import -window root "$work/failed.png" 2>/dev/null && echo "--- the screen: $work/failed.png (KEEP_WORK=1 keeps it)" >&2
  fi
  return 0
}
fail() {
  echo "FAIL: $*" >&2
  diagnose
  exit 1
}

# start_bus DIR [LOGIN1_OPTIONS...]: the private system bus with the simulated
# login1 service; exports DBUS_SYSTEM_BUS_ADDRESS and QUORVEL_SIM_LOGIN1_RECORD.
start_bus() {
  local settings
  bus_dir=$1
  shift
  settings=$("$source/scripts/sim-bus.sh" start "$bus_dir" "$build/sim/quorvel-sim-login1" "$@") ||
    fail "the private bus did not start"
  eval "$settings"
}

# start_notices: the desktop's notification service, a stand-in on the test's
# own session bus (own_session), its process beside the private bus's (so
# that stopping that bus ends it); exports QUORVEL_SIM_NOTICES, the file that
# records each notice.
start_notices() {
  local settings
  [ -n "$bus_dir" ] || fail "start_notices comes after start_bus"
  settings=$("$source/scripts/sim-bus.sh" notices "$bus_dir" "$build/sim/quorvel-sim-login1") ||
    fail "the notification service did not start"
  eval "$settings"
}
# notices: the notices recorded so far, one a line: SUMMARY | BODY.
notices() {
  sed -nE 's/.* notify app="[^"]*" icon="[^"]*" summary="(.*)" body="(.*)" timeout=.*/\1 | \2/p' \
    "$QUORVEL_SIM_NOTICES" 2>/dev/null || true
}

# start_program [--bare] DIR LOG MACHINE [PROGRAM [ARGUMENTS...]]: runs the
# program (by default the one built) in DIR on the simulated machine MACHINE
# ("" for none), the simulated managers on the library path, its output added
# to LOG. --bare: no library path at all. Sets program_pid.
start_program() {
  local bare=""
  if [ "$1" = --bare ]; then bare=1; shift; fi
  local dir=$1 log=$2 machine=$3 program=${4:-$build/bin/quorvel}
  shift 3
  [ $# -eq 0 ] || shift
  (
    cd "$dir" || exit 1
    if [ -n "$bare" ]; then
      unset LD_LIBRARY_PATH
    else
      export LD_LIBRARY_PATH="$build/sim${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
    fi
    if [ -n "$machine" ]; then export QUORVEL_SIM_MACHINE=$machine; else unset QUORVEL_SIM_MACHINE; fi
    # The record of flashes: the run's own (never the user's), unless the
    # caller chose one with QUORVEL_STATE_HOME.
    export XDG_STATE_HOME=${QUORVEL_STATE_HOME:-${work:-$dir}/state}
    unset QT_QPA_PLATFORM
    exec "$program" "$@"
  ) >>"$log" 2>&1 &
  program_pid=$!
}
# autorun_flash DIR LOG MACHINE: starts the program in DIR (which holds an
# AUTORUN.BIN), answers the start prompt with OK and then the result box;
# fails when either does not come.
autorun_flash() {
  local prompt box
  start_program "$1" "$2" "$3"
  prompt=$(wait_window MESSAGE 60) || fail "no start prompt came"
  answer "$prompt"
  box=$(wait_window MESSAGE 60 "$prompt") || fail "no result box came"
  answer "$box"
}
# running: whether the program still runs.
running() { [ -n "$program_pid" ] && kill -0 "$program_pid" 2>/dev/null; }
# poll SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds; fails
# when the time is up, or when the program has ended and COMMAND, run once
# more, still fails (it may have ended just after the last try).
poll() {
  local limit=$1 i
  shift
  for ((i = 0; i < limit * 10; i++)); do
    "$@" && return 0
    # The program may end between the two checks (the shell reaps it as soon
    # as it is told): COMMAND, asked once more, decides.
    running || { "$@"; return; }
    sleep 0.1
  done
  return 1
}
# finish SECONDS: waits for the program to end, and for the flash's process it
# started to end too; the program's exit code goes to exit_code.
finish() {
  poll "$1" ended || return 1
  exit_code=0
  wait "$program_pid" 2>/dev/null || exit_code=$?
  program_pid=""
  wait_transfers "$1"
}
# transfers: the flash processes of this run (quorvel-transfer, which a
# program starts for the blocks and which outlives it): those whose
# environment names the run's folder.
transfers() {
  local p
  for p in $(pgrep -f '/quorvel-transfer$' 2>/dev/null || true); do
    tr '\0' '\n' 2>/dev/null <"/proc/$p/environ" | grep -qF "=${work:-${demo:-/nowhere}}/" && echo "$p"
  done
  return 0
}
# wait_transfers SECONDS: waits until no flash process of this run is left.
wait_transfers() {
  local i
  for ((i = 0; i < $1 * 10; i++)); do
    [ -z "$(transfers)" ] && return 0
    sleep 0.1
  done
  return 1
}
ended() { ! running; }
# stop_program: ends the program if it still runs.
stop_program() {
  [ -n "$program_pid" ] || return 0
  kill "$program_pid" 2>/dev/null || true
  wait "$program_pid" 2>/dev/null || true
  program_pid=""
}

# windows NAME: the ids of the program's visible windows titled NAME.
windows() {
  xdotool search --all --onlyvisible --pid "$program_pid" --name "^$1\$" 2>/dev/null || true
}
# window NAME [NOT_ID]: prints the id of a visible window of the program
# titled NAME (other than NOT_ID); fails when there is none.
window() {
  local id
  id=$(windows "$1" | grep -vx "${2:-none}" | head -n 1 || true)
  [ -n "$id" ] && echo "$id"
}
# wait_window NAME SECONDS [NOT_ID]: waits for such a window; prints its id.
wait_window() { poll "$2" window "$1" "${3:-none}"; }
# wait_closed NAME SECONDS: waits until the program shows no window titled NAME.
wait_closed() { poll "$2" no_window "$1"; }
no_window() { [ -z "$(windows "$1")" ]; }
# visible_windows: the ids of all visible windows, on one line.
visible_windows() { xdotool search --onlyvisible --name '.' 2>/dev/null | tr '\n' ' ' || true; }
# new_window KNOWN_IDS...: prints the first visible window not among them.
new_window() {
  local id
  for id in $(visible_windows); do
    [[ " $* " == *" $id "* ]] || { echo "$id"; return 0; }
  done
  return 1
}
# wait_new_window SECONDS KNOWN_IDS...: waits for a window not among them; prints its id.
wait_new_window() {
  local limit=$1
  shift
  poll "$limit" new_window "$@"
}
# wait_trace PATTERN SECONDS: waits until the machine's trace holds PATTERN.
wait_trace() { poll "$2" grep -q -- "$1" "$work/quorvel-sim.trace"; }

# focus ID: raises the window and gives it the keyboard.
focus() {
  xdotool windowraise "$1" 2>/dev/null || true
  xdotool windowactivate --sync "$1" 2>/dev/null || xdotool windowfocus --sync "$1"
  sleep 0.2
}
# keys KEY...: key strokes to the focused window, modifiers held down released.
keys() { xdotool key --clearmodifiers "$@"; sleep 0.3; }
# answer ID [KEY]: presses KEY (Return: the default button) in the box. On a
# busy machine a box just mapped may not have the keyboard yet when the key
# comes: a box still shown 3 s later is given the key again, twice at most.
answer() {
  local try i
  for try in 1 2 3; do
    focus "$1"
    keys "${2:-Return}"
    for ((i = 0; i < 30; i++)); do
      shown "$1" || return 0
      sleep 0.1
    done
  done
}
# shown ID: whether the window is still mapped.
shown() { xwininfo -id "$1" 2>/dev/null | grep -q 'IsViewable'; }

# shot NAME [DELAY]: the screen as $shots/NAME.png after DELAY seconds (0.3);
# nothing without a screenshot directory.
shot() {
  [ -n "${shots:-}" ] || return 0
  sleep "${2:-0.3}"
  if import -window root "$shots/$1.png"; then
    echo "  screenshot: $shots/$1.png"
  else
    echo "  no screenshot $shots/$1.png" >&2
  fi
}

# expect_downloads COUNT FINAL: the trace holds COUNT download commands (kept
# in $downloads), in order: the first block (CDB byte 5 0x00), the further
# ones (0xff), and the final one, byte 5 its length in KiB (FINAL, hex).
expect_downloads() {
  local count=$1 final=$2 expected got i
  downloads=$(grep 'Download=' "$work/quorvel-sim.trace") || fail "no download command went out"
  [ "$(wc -l <<<"$downloads")" -eq "$count" ] || fail "expected $count download commands, got: $downloads"
  expected="ff0001000000000000000000 first"
  for ((i = 2; i < count; i++)); do expected+=$'\n'"ff00010000ff000000000000 next"; done
  expected+=$'\n'"ff00010000${final}000000000000 final"
  got=$(sed -E 's/.* CDB=([0-9a-f]+) .* Phase=([a-z]+) .*/\1 \2/' <<<"$downloads")
  [ "$got" = "$expected" ] || fail "commands were: $got"
}
# expect_dumps IMAGE [DUMP...]: what the drive received, byte for byte, for
# the 384 KiB image of six 60 KiB blocks and a final 24 KiB one (the dumps
# given, in order; by default every dump in $work/dumps): every command moves
# the first 64 KiB of the transfer buffer, which is never cleared, so a 60 KiB
# block leaves its last 4 KiB as the buffer began (zero), and the final block
# leaves the sixth block's bytes behind it.
expect_dumps() {
  local image=$1 i dumps
  shift
  part() { dd if="$image" iflag=skip_bytes,count_bytes skip="$1" count="$2" status=none; }
  if [ $# -gt 0 ]; then dumps=("$@"); else mapfile -t dumps < <(ls "$work/dumps"/cmd-*.bin | sort); fi
  [ "${#dumps[@]}" -eq 7 ] || fail "expected 7 dump files, found ${#dumps[@]}"
  for i in 0 1 2 3 4 5; do
    { part $((i * 61440)) 61440; head -c 4096 /dev/zero; } | cmp -s - "${dumps[$i]}" ||
      fail "block $((i + 1)) was not bytes $((i * 61440)) to $((i * 61440 + 61439)) of the image"
  done
  { part 368640 24576; part $((307200 + 24576)) 36864; head -c 4096 /dev/zero; } | cmp -s - "${dumps[6]}" ||
    fail "the final command did not carry the final block over the sixth"
}
# expect_revision ADAPTER TARGET REVISION [taken]: the final block was taken
# with the new REVISION, and the machine's state file keeps it for that drive:
# pending, accepted in this boot, until the machine restarts (the drive still
# runs its old firmware); with `taken`, taken by a restart since.
expect_revision() {
  grep -q "Phase=final .*NewRevision=\"$3\".* Status=0x01" "$work/quorvel-sim.trace" ||
    fail "the drive did not take $3"
  if [ "${4:-}" = taken ]; then
    grep -qx "revision $1 $2 \"$3\"" "$work/quorvel-sim.state" && ! grep -q "^pending $1 $2 " "$work/quorvel-sim.state" ||
      fail "the machine's restart did not take $3: $(cat "$work/quorvel-sim.state")"
  else
    grep -qx "pending $1 $2 \"$3\" boot=\"$(cat /proc/sys/kernel/random/boot_id)\"" "$work/quorvel-sim.state" ||
      fail "the state file does not keep $3 for the machine's restart: $(cat "$work/quorvel-sim.state")"
  fi
}
# sim_restart [MACHINE]: the simulated machine restarts (its drives take what
# they accepted), as its login1 stand-in restarts it; MACHINE defaults to
# $QUORVEL_SIM_MACHINE.
sim_restart() { "$build/sim/quorvel-sim-restart" "$@" >/dev/null || fail "the simulated machine did not restart"; }

# The demo's simulated machine, in $demo.

# revision_of ADAPTER TARGET: the firmware revision the drive runs: as the
# machine's state file holds it once a restart has taken a download, else as
# its machine file gives it.
revision_of() {
  local rev
  rev=$(grep -E "^revision $1 $2 " "$demo/quorvel-sim.state" 2>/dev/null | sed -E 's/.*"(.*)"/\1/')
  [ -n "$rev" ] || rev=$(grep -E "^device $1 $2 " "$demo/demo.machine" | sed -E 's/.*revision="([^"]*)".*/\1/')
  echo "$rev"
}

# reboots: how many restarts the login1 stand-in has recorded.
reboots() {
  local n
  n=$(grep -c ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD" 2>/dev/null) || true
  echo "${n:-0}"
}
