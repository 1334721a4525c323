#!/usr/bin/env bash
# Autorun end to end: the real program on the simulated machine under an X
# display. AUTORUN.BIN in the working directory names the second drive's model;
# the program must select that drive silently, ask once at the first paint,
# and on OK send the whole image, block by block, to that drive; the drive
# takes the new revision, the result box is answered and the restart ends the
# program through the simulated login1 service.
#   autorun_e2e.sh BUILD_DIR SOURCE_DIR [SCREENSHOT_DIR]
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
shots=${3:-}

if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
  exec "$source/scripts/with-display.sh" "$0" "$@"
fi

work=$(mktemp -d /tmp/quorvel-autorun-e2e-XXXXXX)
program_pid=""
bus_started=""
cleanup() {
  if [ -n "$program_pid" ] && kill -0 "$program_pid" 2>/dev/null; then kill "$program_pid" 2>/dev/null || true; fi
  if [ -n "$bus_started" ]; then "$source/scripts/sim-bus.sh" stop "$work/bus" >/dev/null 2>&1 || true; fi
  [ -n "${KEEP_WORK:-}" ] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  [ -f "$work/quorvel-sim.trace" ] && tail -n 8 "$work/quorvel-sim.trace" >&2
  [ -f "$work/program.log" ] && tail -n 20 "$work/program.log" >&2
  exit 1
}
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2; [ -f "$work/program.log" ] && tail -n 20 "$work/program.log" >&2' ERR

cat >"$work/machine" <<'M'
trace quorvel-sim.trace
state quorvel-sim.state
dump  dumps
adapters 2
device 0 0 type=0x05 vendor="QUORVEL " product="DVDRW-1612B     " revision="2.04"
device 0 2 type=0x00 vendor="ACMEDISK" product="FIXED DISK 2000 " revision="3.01"
device 1 4 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="1.10" delay=300 completion=later
M

mkdir "$work/run"
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 48 --blocks 5 \
  "$work/run/AUTORUN.BIN"

eval "$("$source/scripts/sim-bus.sh" start "$work/bus" "$build/sim/quorvel-sim-login1")"
bus_started=1

(
  cd "$work/run"
  export LD_LIBRARY_PATH="$build/sim${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
  export QUORVEL_SIM_MACHINE="$work/machine"
  unset QT_QPA_PLATFORM
  exec "$build/bin/quorvel"
) >"$work/program.log" 2>&1 &
program_pid=$!

# wait_box N: waits up to N seconds for a visible "MESSAGE" box; prints its id.
wait_box() {
  local i id
  for ((i = 0; i < $1 * 10; i++)); do
    id=$(xdotool search --all --onlyvisible --pid "$program_pid" --name '^MESSAGE$' 2>/dev/null | head -n 1 || true)
    if [ -n "$id" ]; then echo "$id"; return 0; fi
    kill -0 "$program_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
# answer ID: presses Return (the OK button) in the box.
answer() {
  xdotool windowraise "$1"
  xdotool windowfocus --sync "$1"
  sleep 0.3
  xdotool key --clearmodifiers Return
}

box=$(wait_box 60) || fail "no start prompt came"
[ -n "$shots" ] && { sleep 0.5; import -window root "$shots/autorun-prompt.png" || true; }
grep -q 'Download=' "$work/quorvel-sim.trace" && fail "a download command went out before the prompt was answered"
answer "$box"

# The result box comes once the final command has returned.
for ((i = 0; i < 600; i++)); do
  grep -q 'Phase=final' "$work/quorvel-sim.trace" 2>/dev/null && break
  kill -0 "$program_pid" 2>/dev/null || fail "the program ended before the final block"
  sleep 0.1
done
box=$(wait_box 60) || fail "no result box came"
[ -n "$shots" ] && { sleep 0.5; import -window root "$shots/autorun-result.png" || true; }
answer "$box"

# The restart request ends the program (SIGTERM from the login1 service).
for ((i = 0; i < 300; i++)); do
  kill -0 "$program_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$program_pid" 2>/dev/null && fail "the program did not end through the restart"
program_pid=""

trace="$work/quorvel-sim.trace"
# Only the matched drive (adapter 1, target 4) received download commands:
# first, three further blocks of 48 KiB, and the final 64 KiB (byte 5 = 0x40)
# that holds the trailer.
downloads=$(grep 'Download=' "$trace")
[ "$(wc -l <<<"$downloads")" -eq 5 ] || fail "expected 5 download commands, got: $downloads"
grep -v 'HaId=1 Flags=0x02 Target=4 ' <<<"$downloads" && fail "a download command went elsewhere"
expected="ff0001000000000000000000 first
ff00010000ff000000000000 next
ff00010000ff000000000000 next
ff00010000ff000000000000 next
ff0001000040000000000000 final"
got=$(sed -E 's/.* CDB=([0-9a-f]+) .* Phase=([a-z]+) .*/\1 \2/' <<<"$downloads")
[ "$got" = "$expected" ] || fail "commands were: $got"
grep -q 'Phase=final .*NewRevision="1.20".* Status=0x01' "$trace" || fail "the drive did not take 1.20"
grep -q 'revision 1 4 "1.20"' "$work/quorvel-sim.state" || fail "state file lacks the new revision"
grep -q 'reboot' "$QUORVEL_SIM_LOGIN1_RECORD" || fail "no restart was requested"

# What the drive received, byte for byte: each block from the start of the
# transfer buffer, 65536 bytes per command (bytes past a 48 KiB block are what
# the buffer held: zeros, as nothing longer was read before the final block).
image="$work/run/AUTORUN.BIN"
dumps=("$work"/dumps/cmd-*.bin)
[ "${#dumps[@]}" -eq 5 ] || fail "expected 5 dumps, got ${#dumps[@]}"
for i in 0 1 2 3; do
  { head -c $(((i + 1) * 49152)) "$image" | tail -c 49152; head -c 16384 /dev/zero; } |
    cmp -s - "${dumps[$i]}" || fail "block $((i + 1)) differs from the image"
done
tail -c 65536 "$image" | cmp -s - "${dumps[4]}" || fail "the final block differs from the image's last 64 KiB"
echo "autorun end to end: prompt, 5 commands to 1:4, revision 1.20 taken, restart requested"
