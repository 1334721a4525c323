#!/usr/bin/env bash
# Start-up, seen from outside: the program against the baseline window
# (bench_minimal_window, the same kinds of widgets), alternating, on an X
# display, a session bus and settings folders of their own.
#   bench/first-frame.sh BUILD_DIR [ROUNDS] [bench_first_frame options...]
# The program runs against the instant manager (one drive), so that no
# start-up box comes before its window. Prints the time from the start of the
# process to its window's first full frame and the peak memory once the window
# is idle, each as min / median / max, and their ratios round by round.
# Set QUORVEL_BENCH_KEYS="alt+s o" to time, on the program alone, those keys
# to the first full frame of the window they open (the first Open).
set -euo pipefail
build=$(cd "$1" && pwd)
rounds=${2:-15}
shift $(( $# >= 2 ? 2 : 1 ))
program=$build/bin/quorvel
baseline=$build/bench/bench_minimal_window
watcher=$build/bench/bench_first_frame
for f in "$program" "$baseline" "$watcher" "$build/bench/instant/libwnaspi32.so.1"; do
  [ -e "$f" ] || { echo "missing $f (configure with -DQUORVEL_BENCH=ON and build)" >&2; exit 1; }
done

scratch=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT
mkdir -m 700 "$scratch/runtime"
mkdir "$scratch/home" "$scratch/config" "$scratch/cache" "$scratch/data" "$scratch/work"

# A display of its own: Xvfb picks a free number and writes it.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$scratch/display" 2>/dev/null &
pids+=($!)
disown
for _ in $(seq 100); do [ -s "$scratch/display" ] && break; sleep 0.05; done
[ -s "$scratch/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
display=:$(head -n 1 "$scratch/display")

# A session bus of its own.
bus=unix:path=$scratch/runtime/bus
dbus-daemon --session --address="$bus" --nofork --nopidfile 2>/dev/null &
pids+=($!)
disown
for _ in $(seq 100); do [ -S "$scratch/runtime/bus" ] && break; sleep 0.05; done

cd "$scratch/work"
run() {
  env -i PATH="$PATH" HOME="$scratch/home" LANG=C.UTF-8 DISPLAY="$display" QT_QPA_PLATFORM=xcb \
    XDG_RUNTIME_DIR="$scratch/runtime" XDG_CONFIG_HOME="$scratch/config" XDG_CACHE_HOME="$scratch/cache" \
    XDG_DATA_HOME="$scratch/data" DBUS_SESSION_BUS_ADDRESS="$bus" \
    LD_LIBRARY_PATH="$build/bench/instant" "$@"
}
if [ -n "${QUORVEL_BENCH_KEYS:-}" ]; then
  run "$watcher" --rounds "$rounds" --keys "$QUORVEL_BENCH_KEYS" "$@" -- "$program"
else
  run "$watcher" --rounds "$rounds" "$@" -- "$program" --vs "$baseline"
fi
