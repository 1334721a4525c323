#!/usr/bin/env bash
# A flash that anyone of its user can follow, and what following costs it.
#   bench/follow.sh BUILD_DIR [ROUNDS] [FOLLOWERS] [DELAY_US] [BLOCKS] [FLASHES]
# Defaults: 15 rounds, 20 followers, 10 ms, 40 blocks, 8 flashes.
#
#   followers    quorvel-flash write --yes of BLOCKS blocks of 64 KiB into
#                bench/timed's drive (DELAY_US a command, ended later from
#                its own thread), three sides alternating round by round,
#                the order rotating: the flash alone; with FOLLOWERS
#                followers attached that read every event; with one follower
#                that never reads. The followers are one small Python
#                process of this script's, waiting for the flash's place and
#                connected as soon as it is served (before the first block's
#                answer); each says its hello and is then told every event
#                (the reading ones check that they got the drive's answer
#                and the release). The figure is quorvel-transfer's own: the
#                span from its first command's call to its last one's
#                status over the drive's own time summed (the flash ratio of
#                cli-flash.sh), and the ratio of each side's to the lone
#                flash's, round by round;
#   status       quorvel-flash status answering with FLASHES flashes under
#                way (the simulated machine, FLASHES drives each 60 s a
#                command, each flash's quorvel-flash killed once its first
#                block went out, as a lost terminal would), against status
#                in a runtime folder with none, the two alternating: the
#                wall time of the whole program, from the shell's fork to
#                its end, 20 runs each.
set -euo pipefail
build=$(cd "$1" && pwd)
rounds=${2:-15}
followers=${3:-20}
delay=${4:-10000}
blocks=${5:-40}
flashes=${6:-8}
for f in "$build/bin/quorvel-flash" "$build/bin/quorvel-transfer" "$build/bin/quorvel-mkimage" \
         "$build/bench/timed/libwnaspi32.so.1" "$build/sim/libwnaspi32.so.1"; do
  [ -e "$f" ] || { echo "missing $f (configure with -DQUORVEL_BENCH=ON and build)" >&2; exit 1; }
done
scratch=$(mktemp -d)
started=()
cleanup() {
  local p
  for p in "${started[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

spread() {
  sort -g | awk -v f="${1:-%.3f}" '{ a[NR] = $1 }
    END { m = NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2
          printf "min " f "  median " f "  max " f, a[1], m, a[NR] }'
}
load() { cut -d' ' -f1-3 /proc/loadavg; }
now_ns() { date +%s%N; }

mkdir -m 700 "$scratch/runtime" "$scratch/none"
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL BENCH-DRIVE" --version 1.01 --block-kb 64 \
  --blocks "$blocks" --size $((blocks * 65536)) "$scratch/FW.BIN"

# followers.py PLACE COUNT read|stall: COUNT followers of the flash served
# at PLACE, connected as soon as it is; `read`: each reads to its end and the
# line says how many events each got and whether each saw the drive's answer;
# `stall`: each says its hello and reads nothing, until it is killed.
cat >"$scratch/followers.py" <<'PY'
import os, select, socket, sys, time
place, count, mode = sys.argv[1], int(sys.argv[2]), sys.argv[3]
open(place + ".ready", "w").close()  # started: the flash may begin
deadline = time.time() + 30
while not os.path.exists(place):
    if time.time() > deadline:
        sys.exit("no flash was served at " + place)
    time.sleep(0.0005)
ends = []
for _ in range(count):
    s = socket.socket(socket.AF_UNIX)
    s.connect(place)
    s.sendall(b"quorvel-transfer 3\n")
    ends.append(s)
if mode == "stall":
    time.sleep(3600)
got = {s: b"" for s in ends}
while ends:
    ready, _, _ = select.select(ends, [], [], 30)
    if not ready:
        break
    for s in ready:
        part = s.recv(65536)
        got[s] += part
        if not part:
            ends.remove(s)
lines = [v.decode().split("\n") for v in got.values()]
snapshot = [l for l in lines[0] if l.startswith("snapshot ")]
answered = sum(1 for l in lines if "accepted %s" % sys.argv[4] in l and "released" in l)
print(answered, snapshot[0].split()[1] if snapshot else "-", min(len(l) for l in lines))
PY

# flash SIDE: one write --yes; quorvel-transfer's span over the drive's time.
flash() {
  local side=$1 fpid="" i
  rm -rf "$scratch/state" "$scratch/report" "$scratch/runtime/quorvel"
  mkdir -m 700 "$scratch/runtime/quorvel"
  # The followers wait for the flash's place, started before the flash.
  case $side in
    followed) python3 "$scratch/followers.py" "$scratch/runtime/quorvel/flash-0-0" "$followers" read "$blocks" \
                >"$scratch/followed" & fpid=$! ;;
    stalled) python3 "$scratch/followers.py" "$scratch/runtime/quorvel/flash-0-0" 1 stall "$blocks" & fpid=$! ;;
  esac
  if [ -n "$fpid" ]; then
    for ((i = 0; i < 600; i++)); do [ -e "$scratch/runtime/quorvel/flash-0-0.ready" ] && break; sleep 0.05; done
  fi
  (cd "$scratch" && env -i PATH="$PATH" HOME="$scratch" XDG_STATE_HOME="$scratch/state" \
    XDG_RUNTIME_DIR="$scratch/runtime" DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent \
    DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent LD_LIBRARY_PATH="$build/bench/timed" \
    QUORVEL_BENCH_DRIVE_US="$delay" QUORVEL_BENCH_DRIVE_LATER=1 QUORVEL_BENCH_DRIVE_REPORT="$scratch/report" \
    "$build/bin/quorvel-flash" write FW.BIN --drive 0:0 --yes) >/dev/null 2>"$scratch/err" ||
    { cat "$scratch/err" >&2; exit 1; }
  # The flash's process ends just after quorvel-flash: its figures then.
  for ((i = 0; i < 100; i++)); do grep -q '^program=quorvel-transfer ' "$scratch/report" 2>/dev/null && break; sleep 0.05; done
  if [ "$side" = followed ]; then
    wait "$fpid"
    read -r answered at least <"$scratch/followed"
    [ "$answered" -eq "$followers" ] || { echo "$answered of $followers followers saw the drive's answer" >&2; exit 1; }
    echo "$at" >>"$scratch/attached"
  elif [ -n "$fpid" ]; then
    kill "$fpid"
    wait "$fpid" 2>/dev/null || true
  fi
  sed -E 's/.* commands=([0-9]+) drive_ns=([0-9]+) span_ns=([0-9]+)/\1 \2 \3/' <(grep '^program=quorvel-transfer ' "$scratch/report")
}

echo "== a flash with followers: $blocks blocks of 64 KiB, the drive $((delay / 1000)) ms a block (later); alone, with $followers reading followers, with one that never reads; $rounds rounds, rotating (load average $(load))"
: >"$scratch/rounds"
: >"$scratch/attached"
sides=(alone followed stalled)
for ((round = 0; round < rounds; round++)); do
  declare -A ratio=()
  for ((k = 0; k < 3; k++)); do
    side=${sides[$(((round + k) % 3))]}
    read -r commands drive span < <(flash "$side")
    [ "$commands" -eq "$blocks" ] || { echo "$side: $commands commands, not $blocks" >&2; exit 1; }
    ratio[$side]=$(awk -v s="$span" -v d="$drive" 'BEGIN { printf "%.6f", s / d }')
  done
  echo "${ratio[alone]} ${ratio[followed]} ${ratio[stalled]}" >>"$scratch/rounds"
done
echo "  flash ratio, alone              $(awk '{ print $1 }' "$scratch/rounds" | spread '%.4f')"
echo "  flash ratio, $followers followers        $(awk '{ print $2 }' "$scratch/rounds" | spread '%.4f')"
echo "  flash ratio, one never reading  $(awk '{ print $3 }' "$scratch/rounds" | spread '%.4f')"
echo "  $followers followers over alone, round by round        $(awk '{ print $2 / $1 }' "$scratch/rounds" | spread '%.4f')"
echo "  one never reading over alone, round by round  $(awk '{ print $3 / $1 }' "$scratch/rounds" | spread '%.4f')"
echo "  the followers attached at block $(spread '%.0f' <"$scratch/attached") (accepted when their snapshot was taken)"

echo "== status with $flashes flashes under way against none (load average $(load))"
{
  echo "adapters $(((flashes + 7) / 8))"
  for ((i = 0; i < flashes; i++)); do
    echo "device $((i / 8)) $((i % 8)) type=0x05 vendor=\"QUORVEL \" product=\"BENCH-DRIVE     \" revision=\"1.00\" delay=60000 completion=later"
  done
} >"$scratch/drives.machine"
under() {
  env -i PATH="$PATH" HOME="$scratch" XDG_STATE_HOME="$scratch/state" XDG_RUNTIME_DIR="$1" \
    DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent \
    LD_LIBRARY_PATH="$build/sim" QUORVEL_SIM_MACHINE="$scratch/drives.machine" "${@:2}"
}
rm -rf "$scratch/state" "$scratch/runtime/quorvel"
for ((i = 0; i < flashes; i++)); do
  (cd "$scratch" && exec env -i PATH="$PATH" HOME="$scratch" XDG_STATE_HOME="$scratch/state" \
    XDG_RUNTIME_DIR="$scratch/runtime" DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent \
    DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent LD_LIBRARY_PATH="$build/sim" \
    QUORVEL_SIM_MACHINE="$scratch/drives.machine" "$build/bin/quorvel-flash" write FW.BIN --drive "$((i / 8)):$((i % 8))" --yes) \
    >/dev/null 2>&1 &
  started+=($!)
done
for ((i = 0; i < 600; i++)); do
  [ "$(under "$scratch/runtime" "$build/bin/quorvel-flash" status | grep -c ' started by ')" -eq "$flashes" ] && break
  sleep 0.1
done
# Each flash's process found by its quorvel-flash, then that program killed:
# the flashes go on alone, and are killed by their ids at the end.
for p in "${started[@]}"; do
  for t in $(ps -o pid= --ppid "$p"); do started+=("$t"); done
  kill -9 "$p"
done
under "$scratch/runtime" "$build/bin/quorvel-flash" status >"$scratch/status"
[ "$(grep -c ' started by quorvel-flash (pid [0-9]*, gone)$' "$scratch/status")" -eq "$flashes" ] ||
  { echo "status did not find the $flashes flashes:" >&2; cat "$scratch/status" >&2; exit 1; }
: >"$scratch/status-rounds"
for ((round = 0; round < 20; round++)); do
  t0=$(now_ns); under "$scratch/runtime" "$build/bin/quorvel-flash" status >/dev/null; t1=$(now_ns)
  under "$scratch/none" "$build/bin/quorvel-flash" status >/dev/null; t2=$(now_ns)
  echo "$(((t1 - t0) / 1000)) $(((t2 - t1) / 1000))" >>"$scratch/status-rounds"
done
echo "  status, $flashes under way   $(awk '{ print $1 / 1000 }' "$scratch/status-rounds" | spread '%.1f') ms"
echo "  status, none under way  $(awk '{ print $2 / 1000 }' "$scratch/status-rounds" | spread '%.1f') ms"
echo "  the difference, round by round  $(awk '{ print ($1 - $2) / 1000 }' "$scratch/status-rounds" | spread '%.1f') ms ($flashes flashes asked)"
