#!/usr/bin/env bash
# The whole download of the real program on the simulated machine, under an X
# display, driven as a user would: Open (the file dialog), Download from the
# menu's access keys, the result box answered. Checks what the drive received,
# command by command and byte for byte; the logind inhibitor held from before
# the first block until after the final one and released before the restart;
# the restart recorded (it ends the program); and the drive's new firmware at
# the next start.
#   download_e2e.sh BUILD_DIR SOURCE_DIR [SCREENSHOT_DIR]
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
shots=${3:-}

if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
  exec "$source/scripts/with-display.sh" "$0" "$@"
fi

work=$(mktemp -d /tmp/quorvel-download-e2e-XXXXXX)
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
  [ -f "$work/quorvel-sim.trace" ] && grep 'Download=' "$work/quorvel-sim.trace" | tail -n 10 >&2
  [ -n "${QUORVEL_SIM_LOGIN1_RECORD:-}" ] && [ -f "$QUORVEL_SIM_LOGIN1_RECORD" ] && cat "$QUORVEL_SIM_LOGIN1_RECORD" >&2
  [ -f "$work/program.log" ] && tail -n 20 "$work/program.log" >&2
  exit 1
}
shot() { [ -n "$shots" ] && { sleep 0.3; import -window root "$shots/$1.png" || true; }; return 0; }

# One drive (adapter 0, target 1) that completes from another thread and takes
# its time over the final block, so that the bar moves; a disk beside it.
cat >"$work/machine" <<'M'
trace quorvel-sim.trace
state quorvel-sim.state
dump  dumps
adapters 1
device 0 1 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="1.10" delay=50 final-delay=2500 completion=later
device 0 3 type=0x00 vendor="ACMEDISK" product="FIXED DISK 2000 " revision="3.01"
M
image=$work/FW-CDRW.BIN
# 384 KiB: six blocks of 60 KiB, then the final 24 KiB with the trailer.
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 60 --blocks 7 "$image"
[ "$(stat -c %s "$image")" -eq 393216 ] || fail "the image is not 384 KiB"

eval "$("$source/scripts/sim-bus.sh" start "$work/bus" "$build/sim/quorvel-sim-login1")"
bus_started=1
mkdir "$work/run"

start_program() {  # log file
  (
    cd "$work/run"
    export LD_LIBRARY_PATH="$build/sim${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
    export QUORVEL_SIM_MACHINE="$work/machine"
    unset QT_QPA_PLATFORM
    exec "$build/bin/quorvel"
  ) >"$1" 2>&1 &
  program_pid=$!
}
# wait_window NAME SECONDS [NOT_ID]: prints the id of a visible window so named.
wait_window() {
  local i id
  for ((i = 0; i < $2 * 10; i++)); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | grep -vx "${3:-none}" | head -n 1 || true)
    if [ -n "$id" ]; then echo "$id"; return 0; fi
    kill -0 "$program_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
# wait_new_window SECONDS KNOWN_IDS...: the first visible window not among them.
wait_new_window() {
  local limit=$1 i id; shift
  for ((i = 0; i < limit * 10; i++)); do
    for id in $(xdotool search --onlyvisible --name '.' 2>/dev/null || true); do
      [[ " $* " == *" $id "* ]] || { echo "$id"; return 0; }
    done
    kill -0 "$program_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
focus() { xdotool windowactivate --sync "$1" 2>/dev/null || xdotool windowfocus --sync "$1"; sleep 0.2; }
keys() { xdotool key --clearmodifiers "$@"; sleep 0.3; }

start_program "$work/program.log"
main=$(wait_window QUORVEL 60) || fail "the main window did not come"
known=$(xdotool search --onlyvisible --name '.' 2>/dev/null | tr '\n' ' ')

# Open: System > Open, the path typed into the dialog.
focus "$main"
keys alt+s o
dialog=$(wait_new_window 30 $known) || fail "the file dialog did not come"
focus "$dialog"
xdotool type --delay 10 "$image"
keys Return
# The name completer may take the first Return for itself.
box=""
for attempt in 1 2 3; do
  box=$(wait_window MESSAGE 10) || box=""
  [ -n "$box" ] && break
  if [ -z "$box" ] && xdotool search --onlyvisible --name '.' 2>/dev/null | grep -qx "$dialog"; then
    focus "$dialog"
    keys Return
  fi
done
[ -n "$box" ] || fail "no \"File Open OK !!\" box"
focus "$box"
keys Return

# Download: Flash > Download.
for ((i = 0; i < 50; i++)); do
  xdotool search --onlyvisible --name '^MESSAGE$' >/dev/null 2>&1 || break
  sleep 0.1
done
grep -q 'Download=' "$work/quorvel-sim.trace" && fail "a download command went out before Download"
focus "$main"
keys alt+f d

# The final block is in the drive for 2.5 s: the window waits, the bar moves.
for ((i = 0; i < 600; i++)); do
  grep -q 'Download=6 ' "$work/quorvel-sim.trace" 2>/dev/null && break
  kill -0 "$program_pid" 2>/dev/null || fail "the program ended during the download"
  sleep 0.1
done
sleep 1.5
shot download-final-block-in-flight
box=$(wait_window MESSAGE 60) || fail "no result box came"
grep -q 'Phase=final' "$work/quorvel-sim.trace" || fail "the result box came before the final block had returned"
shot download-result
grep -q ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD" && fail "the restart came before the result box was closed"
focus "$box"
keys Return

# The restart request ends the program (SIGTERM from the login1 service).
for ((i = 0; i < 100; i++)); do
  kill -0 "$program_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$program_pid" 2>/dev/null && fail "the program did not end through the restart"
program_pid=""

trace=$work/quorvel-sim.trace
record=$QUORVEL_SIM_LOGIN1_RECORD

# Seven commands to 0:1, byte 5 marking first, further and final (24 KiB) blocks.
downloads=$(grep 'Download=' "$trace")
[ "$(wc -l <<<"$downloads")" -eq 7 ] || fail "expected 7 download commands, got: $downloads"
grep -v ' Cmd=0x02 HaId=0 Flags=0x02 Target=1 Lun=0 BufLen=65536 SenseLen=14 CDBLen=12 ' <<<"$downloads" &&
  fail "a command's record was not as the program fills it"
expected="ff0001000000000000000000 first
ff00010000ff000000000000 next
ff00010000ff000000000000 next
ff00010000ff000000000000 next
ff00010000ff000000000000 next
ff00010000ff000000000000 next
ff0001000018000000000000 final"
got=$(sed -E 's/.* CDB=([0-9a-f]+) .* Phase=([a-z]+) .*/\1 \2/' <<<"$downloads")
[ "$got" = "$expected" ] || fail "commands were: $got"
grep -q 'Changed=' <<<"$downloads" && fail "the program touched the buffer while the drive held it"
grep -q 'Phase=final .*NewRevision="1.20".* Status=0x01' "$trace" || fail "the drive did not take 1.20"
grep -q '^revision 0 1 "1.20"' "$work/quorvel-sim.state" || fail "the state file lacks the new revision"

# Byte for byte: every command 65536 bytes from the start of the transfer
# buffer, never cleared. Blocks of 61440 bytes leave the buffer's last 4096
# bytes as they were (zero); the final 24 KiB block is followed by the rest
# of block 6, then those zeros.
part() { dd if="$image" iflag=skip_bytes,count_bytes skip="$1" count="$2" status=none; }
mapfile -t dumps < <(ls "$work/dumps"/cmd-*.bin | sort)
[ "${#dumps[@]}" -eq 7 ] || fail "expected 7 dump files"
for i in 0 1 2 3 4 5; do
  { part $((i * 61440)) 61440; head -c 4096 /dev/zero; } >"$work/expected"
  cmp -s "$work/expected" "${dumps[$i]}" || fail "command $((i + 1)) carried other bytes"
done
{ part 368640 24576; part $((5 * 61440 + 24576)) 36864; head -c 4096 /dev/zero; } >"$work/expected"
cmp -s "$work/expected" "${dumps[6]}" || fail "the final command carried other bytes"

# The inhibitor: taken before the first block, released after the final one
# returned and before the restart; the restart asked for interactively.
stamp() { sed -E 's/^([^ ]+) .*/\1/'; }
taken=$(grep ' inhibit taken ' "$record" | head -n 1)
released=$(grep ' inhibit released ' "$record" | head -n 1)
reboot=$(grep ' reboot ' "$record" | head -n 1)
[ -n "$taken" ] || fail "no inhibitor was taken"
[ -n "$released" ] || fail "the inhibitor was not released"
[ -n "$reboot" ] || fail "no restart was recorded"
[ "$(grep -c ' reboot ' "$record")" -eq 1 ] || fail "more than one restart"
grep -q 'what="shutdown:sleep" .*mode="block"' <<<"$taken" || fail "inhibitor of the wrong kind: $taken"
grep -q 'interactive=true' <<<"$reboot" || fail "restart not interactive: $reboot"
first=$(grep 'Download=1 ' "$trace" | sed -E 's/.* time=([^ ]+) .*/\1/')
final=$(grep 'Phase=final' "$trace" | sed -E 's/.* time=([^ ]+) .*/\1/')
[[ ! "$(stamp <<<"$taken")" > "$first" ]] || fail "the inhibitor came after the first block"
[[ ! "$final" > "$(stamp <<<"$released")" ]] || fail "the inhibitor was released before the final block returned"
[[ ! "$(stamp <<<"$released")" > "$(stamp <<<"$reboot")" ]] || fail "the inhibitor was still held at the restart"

# The next start: the drive reports its new firmware.
start_program "$work/program-2.log"
wait_window QUORVEL 60 >/dev/null || fail "the program did not start again"
shot download-after-restart
[ "$(grep -c '^START ' "$trace")" -eq 2 ] || fail "the machine did not start a second time"
kill "$program_pid" 2>/dev/null || true
wait "$program_pid" 2>/dev/null || true
program_pid=""
echo "download end to end: Open, Download, 7 commands byte-exact to 0:1, revision 1.20 taken, inhibitor held and released, restart requested"
