#!/usr/bin/env bash
# The simulated machine's private system bus with its login1 service, and a
# stand-in for the desktop's notification service on a session bus
# (aspi/sim/README.md).
#   eval "$(scripts/sim-bus.sh start DIR [LOGIN1_BINARY [LOGIN1_OPTIONS...]])"
#   eval "$(scripts/sim-bus.sh notices DIR [LOGIN1_BINARY])"
#   scripts/sim-bus.sh stop DIR
# start prints DBUS_SYSTEM_BUS_ADDRESS and QUORVEL_SIM_LOGIN1_RECORD for eval;
# notices serves org.freedesktop.Notifications on the session bus that
# DBUS_SESSION_BUS_ADDRESS names (a test's own, from dbus-run-session) and
# prints QUORVEL_SIM_NOTICES, the file its notices go to. The process ids are
# kept in DIR/sim-bus.pid for stop.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
# The bus's configuration: beside this script where the demo is installed,
# else in the source tree.
config=$here/sim-bus.conf
[ -f "$config" ] || config=$root/aspi/sim/sim-bus.conf

usage() {
  echo "usage: $0 start DIR [LOGIN1_BINARY] | $0 notices DIR [LOGIN1_BINARY] | $0 stop DIR" >&2
  exit 2
}

[ $# -ge 2 ] || usage
command=$1
dir=$2

# Ends the processes named in the pid file, and waits (up to 5 s) until they are gone.
stop_pids() {
  local pidfile=$1 pid pids=()
  [ -f "$pidfile" ] || return 0
  while read -r pid; do
    case "$pid" in
      ''|*[!0-9]*) continue ;;
    esac
    kill "$pid" 2>/dev/null && pids+=("$pid")
  done < "$pidfile"
  rm -f "$pidfile"
  for pid in "${pids[@]}"; do
    for _ in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      # an ended process that its parent has not reaped yet is gone as well
      [ "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" = Z ] && break
      sleep 0.05
    done
  done
}

# find_login1 [BINARY]: sets login1 to the stand-in program.
find_login1() {
  login1=${1:-${QUORVEL_SIM_LOGIN1:-}}
  if [ -z "$login1" ]; then
    for candidate in "$root"/build/sim/quorvel-sim-login1 "$root"/build*/sim/quorvel-sim-login1; do
      if [ -x "$candidate" ]; then login1=$candidate; break; fi
    done
  fi
  if [ -z "$login1" ] || [ ! -x "$login1" ]; then
    echo "sim-bus: quorvel-sim-login1 not found; build it or give its path" >&2
    exit 1
  fi
}

# serve NAME ADDRESS RECORD [OPTIONS...]: the stand-in on the bus at ADDRESS,
# its pid added to DIR/sim-bus.pid; waits until it owns its name.
serve() {
  local name=$1 address=$2 record=$3 ready=$dir/$1.ready pid
  shift 3
  rm -f "$ready"
  "$login1" --address "$address" --record "$record" --ready "$ready" "$@" \
    >"$dir/$name.log" 2>&1 </dev/null &
  pid=$!
  echo "$pid" >> "$dir/sim-bus.pid"
  for _ in $(seq 1 200); do
    [ -e "$ready" ] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "sim-bus: quorvel-sim-login1 ($name) failed:" >&2
  cat "$dir/$name.log" >&2
  stop_pids "$dir/sim-bus.pid"
  exit 1
}

case "$command" in
  stop)
    stop_pids "$dir/sim-bus.pid"
    ;;
  notices)
    find_login1 "${3:-}"
    if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
      echo "sim-bus: notices needs a session bus of its own (dbus-run-session)" >&2
      exit 1
    fi
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    case "$dir" in
      *"'"*) echo "sim-bus: the directory's path must not hold a quote: $dir" >&2; exit 1 ;;
    esac
    serve notices "$DBUS_SESSION_BUS_ADDRESS" "$dir/notices.record" --notifications
    printf "QUORVEL_SIM_NOTICES='%s'; export QUORVEL_SIM_NOTICES;\n" "$dir/notices.record"
    ;;
  start)
    find_login1 "${3:-}"
    daemon=$(command -v dbus-daemon || true)
    if [ -z "$daemon" ]; then
      echo "sim-bus: dbus-daemon not found (Debian package dbus-daemon)" >&2
      exit 1
    fi
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    case "$dir" in
      *"'"*) echo "sim-bus: the directory's path must not hold a quote: $dir" >&2; exit 1 ;;
    esac
    stop_pids "$dir/sim-bus.pid"          # a bus left over from an earlier start
    socket=$dir/system_bus_socket
    record=$dir/login1.record
    rm -f "$socket"
    address="unix:path=$socket"

    "$daemon" --config-file="$config" --address="$address" --nofork \
      --nopidfile >"$dir/dbus-daemon.log" 2>&1 </dev/null &
    daemon_pid=$!
    echo "$daemon_pid" > "$dir/sim-bus.pid"
    for _ in $(seq 1 100); do
      [ -S "$socket" ] && break
      kill -0 "$daemon_pid" 2>/dev/null || { echo "sim-bus: dbus-daemon failed:" >&2; cat "$dir/dbus-daemon.log" >&2; exit 1; }
      sleep 0.05
    done
    [ -S "$socket" ] || { echo "sim-bus: the bus socket did not appear" >&2; stop_pids "$dir/sim-bus.pid"; exit 1; }

    serve login1 "$address" "$record" "${@:4}"
    printf "DBUS_SYSTEM_BUS_ADDRESS='%s'; export DBUS_SYSTEM_BUS_ADDRESS;\n" "$address"
    printf "QUORVEL_SIM_LOGIN1_RECORD='%s'; export QUORVEL_SIM_LOGIN1_RECORD;\n" "$record"
    ;;
  *)
    usage
    ;;
esac
