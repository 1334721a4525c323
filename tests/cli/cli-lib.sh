# shellcheck shell=bash
# What the end-to-end tests of quorvel-flash share (sourced after scripts/lib.sh,
# with build, work, flash and trace set): the program run to its end on the
# simulated machine ($work/machine) in $work/run, what it said, the record's
# events, and a run killed in the middle of a flash on a session bus of the
# run's own whose desktop notices a monitor keeps.

# fresh: the drives as new, no record of flashes.
fresh() {
  rm -rf "$work/dumps" "$work/quorvel-sim.state" "$work/state"
  : >"$trace"
}
mkimage() { "$build/bin/quorvel-mkimage" --quiet "$@"; }

# cli ARGUMENTS...: the program in $work/run on the machine, to its end:
# standard output in $work/out, standard error in $work/err, the exit status
# in $status. Standard input is not a terminal. There is no display, and an
# X platform is asked for: a program that loaded a windowing plugin would
# end; the plugins it loads are said on standard error, which the checks
# read. No session bus either: the flash's process says once that nothing holds
# off logging out. Its runtime folder is $work/runtime unless XDG_RUNTIME_DIR
# is set (empty: none); its machine $work/machine unless QUORVEL_SIM_MACHINE
# names another.
cli() {
  status=0
  (cd "$work/run" && env -u DISPLAY -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR-$work/runtime}" \
    QT_QPA_PLATFORM=xcb QT_DEBUG_PLUGINS=1 \
    LD_LIBRARY_PATH="$build/sim" QUORVEL_SIM_MACHINE="${QUORVEL_SIM_MACHINE:-$work/machine}" XDG_STATE_HOME="$work/state" \
    "$flash" "$@") </dev/null >"$work/out" 2>"$work/err" || status=$?
}
# said REGEX: standard error has a line matching it.
said() { grep -qE -- "$1" "$work/err"; }
downloads() { grep -c 'Download=' "$trace" 2>/dev/null || true; }
from_pid() { grep -cE "(pid|parent)=$1 .*Download=" "$trace" || true; }
# events: the record's events of quorvel-flash, in order, on one line.
events() {
  python3 -c 'import json, sys
print(" ".join(json.loads(l)["event"] for l in open(sys.argv[1]) if json.loads(l)["program"] == "quorvel-flash"))' \
    "$work/state/quorvel/flashes.jsonl" 2>/dev/null || true
}

# stop_session_bus: the run's session bus and its monitor ended (on exit).
stop_session_bus() {
  [ -z "${session_pid:-}" ] || kill "$session_pid" "$monitor_pid" 2>/dev/null || true
  session_pid=""
}
# session_bus: a session bus of the run's own (no notification service on
# it), at $session_address, for the programs that killed_mid_flash starts; a
# monitor writes every call to the desktop's notifications to $work/notices.
# Replaces the one before, at an address of its own: the bus before removes
# its socket as it goes, whenever that is.
session_buses=0
session_bus() {
  stop_session_bus
  session_buses=$((session_buses + 1))
  session_address=unix:path=$work/session-$session_buses
  rm -f "$work/notices"
  session_pid=$(dbus-daemon --session --address="$session_address" --fork --print-pid) || fail "no session bus"
  dbus-monitor --address "$session_address" "interface='org.freedesktop.Notifications'" >"$work/notices" 2>&1 &
  monitor_pid=$!
  poll_file 10 "$work/notices" || fail "the notifications' monitor did not start"
}
poll_file() { local i; for ((i = 0; i < $1 * 10; i++)); do [ -s "$2" ] && return 0; sleep 0.1; done; return 1; }
# expect_notices [SUMMARY BODY]...: the desktop's notices so far, each its
# summary and its body, in order; none when none is given.
expect_notices() {
  local got expected=""
  got=$(sed -n '/member=Notify$/,+5p' "$work/notices" | sed -n '5~6p;6~6p' | sed -E 's/^ *string "(.*)"$/\1/')
  while [ $# -gt 0 ]; do expected+="${expected:+$'\n'}$1"; shift; done
  [ "$got" = "$expected" ] || fail "the desktop's notices were:"$'\n'"$got"
}
# killed_mid_flash LOG ARGUMENTS...: quorvel-flash started on the session
# bus, its standard error read through a pipe into LOG, SIGKILLed at block 2;
# returns once the pipe's reader has seen the end of what it reads, with
# nothing of the program left to wait for.
killed_mid_flash() {
  local log=$1 reader status=0
  shift
  rm -f "$work/killed.pid"
  (
    set -o pipefail
    (cd "$work/run" && echo "$BASHPID" >"$work/killed.pid" &&
      exec env LD_LIBRARY_PATH="$build/sim" QUORVEL_SIM_MACHINE="$work/machine" XDG_STATE_HOME="$work/state" \
        XDG_RUNTIME_DIR="$work/runtime" DBUS_SESSION_BUS_ADDRESS="$session_address" "$flash" "$@") 2>&1 </dev/null |
      cat >"$log"
  ) &
  reader=$!
  program_pid=$reader
  wait_trace 'Download=2 ' 30 || fail "the blocks did not start"
  kill -KILL "$(cat "$work/killed.pid")"
  wait "$reader" || status=$?
  program_pid=""
  [ "$status" -eq 137 ] || fail "quorvel-flash was not killed as the test meant ($status)"
}

