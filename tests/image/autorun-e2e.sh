#!/usr/bin/env bash
# Autorun end to end: the real program on the simulated machine under an X
# display. AUTORUN.BIN in the working directory names the second drive's model;
# the program must select that drive silently, ask once at the first paint,
# and on OK send the whole image, block by block, to that drive; the drive
# takes the new revision, the result box is answered and the restart ends the
# program through the simulated login1 service.
# Then the program from a folder whose path holds a blank ("my tools"): its
# command line quotes the path, so nothing of the path is taken for an image
# name: no box at start without arguments, and a name given is the image
# loaded and flashed.
#   autorun-e2e.sh BUILD_DIR SOURCE_DIR [SCREENSHOT_DIR]
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../scripts/lib.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/lib.sh"
e2e_setup autorun "$@"

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

start_bus "$work/bus"
start_program "$work/run" "$work/program.log" "$work/machine"

prompt=$(wait_window MESSAGE 60) || fail "no start prompt came"
shot autorun-prompt 0.5
grep -q 'Download=' "$work/quorvel-sim.trace" && fail "a download command went out before the prompt was answered"
answer "$prompt"

# The result box comes once the final command has returned.
wait_trace 'Phase=final' 60 || fail "the program ended before the final block, or the final block did not come"
box=$(wait_window MESSAGE 60 "$prompt") || fail "no result box came"
shot autorun-result 0.5
answer "$box"

# The restart request ends the program (SIGTERM from the login1 service).
finish 30 || fail "the program did not end through the restart"

# Only the matched drive (adapter 1, target 4) received download commands:
# first, three further blocks of 48 KiB, and the final 64 KiB (byte 5 = 0x40)
# that holds the trailer.
expect_downloads 5 40
grep -v 'HaId=1 Flags=0x02 Target=4 ' <<<"$downloads" && fail "a download command went elsewhere"
expect_revision 1 4 1.20 taken
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

# --- the program under a path with a blank ----------------------------------
# A user of its own: no record of the flash above, whose check would show a box.
rm -rf "$work/state"
ln -s "$build/bin" "$work/my tools"
mkdir "$work/blank"
start_program "$work/blank" "$work/program-blank.log" "$work/machine" "$work/my tools/quorvel"
wait_window QUORVEL 60 >/dev/null ||
  fail "no main window from \"my tools/quorvel\" ($(windows MESSAGE | wc -l) box at start: a name taken from its path?)"
sleep 0.5
[ -z "$(windows MESSAGE)" ] || fail "a box came at the start of \"my tools/quorvel\" without arguments"
shot autorun-path-with-blank
stop_program

"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.30 --block-kb 48 --blocks 5 \
  "$work/blank/FW4824.BIN"
start_program "$work/blank" "$work/program-blank.log" "$work/machine" "$work/my tools/quorvel" fw4824.bin
blank=$program_pid
prompt=$(wait_window MESSAGE 60) || fail "no start prompt for fw4824.bin from \"my tools/quorvel\""
answer "$prompt"
wait_trace "parent=$blank .*Phase=final" 60 || fail "FW4824.BIN named after \"my tools/quorvel\" was not flashed"
box=$(wait_window MESSAGE 60 "$prompt") || fail "no result box came"
answer "$box"
finish 30 || fail "the program did not end through the restart"
expect_revision 1 4 1.30 taken
echo "a path with a blank: no box at start, the name after it loaded and flashed"
