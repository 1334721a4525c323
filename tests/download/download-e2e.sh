#!/usr/bin/env bash
# The whole download of the real program on the simulated machine, under an X
# display, driven as a user would: Open (the file dialog), Download from the
# menu's access keys, the result box answered. Checks what the drive received,
# command by command and byte for byte; the logind inhibitor held from before
# the first block until after the final one and released before the restart;
# the restart recorded (it ends the program); and the drive's new firmware at
# the next start.
#   download-e2e.sh BUILD_DIR SOURCE_DIR [SCREENSHOT_DIR]
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../scripts/lib.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/lib.sh"
e2e_setup download "$@"

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

start_bus "$work/bus"
mkdir "$work/run"
start_program "$work/run" "$work/program.log" "$work/machine"
main=$(wait_window QUORVEL 60) || fail "the main window did not come"
known=$(visible_windows)

# Open: System > Open, the path typed into the dialog.
focus "$main"
keys alt+s o
dialog=$(wait_new_window 30 $known) || fail "the file dialog did not come"
focus "$dialog"
xdotool type --delay 10 "$image"
keys Return
# The name completer may take the first Return for itself.
box=""
for _ in 1 2 3; do
  box=$(wait_window MESSAGE 10) || box=""
  [ -n "$box" ] && break
  if [[ " $(visible_windows) " == *" $dialog "* ]]; then
    answer "$dialog"
  fi
done
[ -n "$box" ] || fail "no \"File Open OK !!\" box"
answer "$box"

# Download: Flash > Download.
wait_closed MESSAGE 5 || fail "the \"File Open OK !!\" box stayed"
grep -q 'Download=' "$work/quorvel-sim.trace" && fail "a download command went out before Download"
focus "$main"
keys alt+f d

# The final block is in the drive for 2.5 s: the window waits, the bar moves.
wait_trace 'Download=6 ' 60 || fail "the program ended during the download, or the sixth block did not come"
sleep 1.5
shot download-final-block-in-flight
box=$(wait_window MESSAGE 60) || fail "no result box came"
grep -q 'Phase=final' "$work/quorvel-sim.trace" || fail "the result box came before the final block had returned"
shot download-result
grep -q ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD" && fail "the restart came before the result box was closed"
answer "$box"

# The restart request ends the program (SIGTERM from the login1 service).
finish 10 || fail "the program did not end through the restart"

trace=$work/quorvel-sim.trace
record=$QUORVEL_SIM_LOGIN1_RECORD

# Seven commands to 0:1, byte 5 marking first, further and final (24 KiB) blocks.
expect_downloads 7 18
grep -v ' Cmd=0x02 HaId=0 Flags=0x02 Target=1 Lun=0 BufLen=65536 SenseLen=14 CDBLen=12 ' <<<"$downloads" &&
  fail "a command's record was not as the program fills it"
grep -q 'Changed=' <<<"$downloads" && fail "the program touched the buffer while the drive held it"
expect_revision 0 1 1.20 taken

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
start_program "$work/run" "$work/program-2.log" "$work/machine"
wait_window QUORVEL 60 >/dev/null || fail "the program did not start again"
shot download-after-restart
[ "$(grep -c '^START ' "$trace")" -eq 2 ] || fail "the machine did not start a second time"
stop_program
echo "download end to end: Open, Download, 7 commands byte-exact to 0:1, revision 1.20 taken, inhibitor held and released, restart requested"
