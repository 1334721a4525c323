#!/usr/bin/env bash
# An install, run as installed: `cmake --install` into a staging prefix, then
#  1. the default install (quorvel-flash's and the window's components) holds
#     no simulated machine, and not quorvel-mkimage either;
#  2. the program's RUNPATH names its manager relative to $ORIGIN, and with no
#     library path at all the installed program binds the installed SG_IO
#     manager, not the build tree's;
#  3. the installed demo (quorvel-demo) runs the installed program on the
#     installed simulated machine: discovery lists both drives, Exit ends it;
#     the installed quorvel-flash, its RUNPATH the program's, lists them too,
#     and writes a drive through the installed flash's process;
#  4. with the window fonts hidden (as on a system without fonts-wine), the
#     program still opens its window and ends cleanly.
#   install-e2e.sh BUILD_DIR SOURCE_DIR [SCREENSHOT_DIR]
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../scripts/lib.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/lib.sh"
e2e_setup install "$@"

# 1. The default install is the two programs; the simulated machine is optional.
cmake --install "$build" --prefix "$work/program" >/dev/null
[ -x "$work/program/bin/quorvel" ] || fail "the program was not installed"
[ -n "$(find "$work/program" -path '*/quorvel/sim*' -o -name quorvel-demo)" ] &&
  fail "the default install holds the simulated machine"
[ -n "$(find "$work/program" -name 'quorvel-mkimage*')" ] && fail "the default install holds quorvel-mkimage"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
cmake --install "$build" --prefix "$prefix" --component sim >/dev/null

# 2. The manager is found from where the program is installed.
dynamic=$(readelf -d "$prefix/bin/quorvel")
grep -q '(RPATH)' <<<"$dynamic" && fail "the program has an RPATH (LD_LIBRARY_PATH could not replace the manager)"
runpath=$(sed -n 's/.*(RUNPATH).*\[\(.*\)\]$/\1/p' <<<"$dynamic")
# shellcheck disable=SC2016
case "$runpath" in
  '$ORIGIN/'*) ;;
  *) fail "RUNPATH is not relative to \$ORIGIN: '$runpath'" ;;
esac
[[ "$runpath" == *:* ]] && fail "RUNPATH names more than one folder: $runpath"
manager=$(readlink -f "$prefix/bin/${runpath#\$ORIGIN/}/libwnaspi32.so.1")
[ -f "$manager" ] || fail "no manager where RUNPATH points: $runpath"
case "$manager" in "$prefix"/*) ;; *) fail "RUNPATH leads out of the install: $manager" ;; esac

# mapped_managers PID: the manager libraries the process has mapped.
mapped_managers() { awk '$6 ~ /libwnaspi32\.so/ { print $6 }' "/proc/$1/maps" | sort -u; }

mkdir "$work/run"
start_program --bare "$work/run" "$work/program.log" "" "$prefix/bin/quorvel"
# Without sg nodes the manager reports no adapters ("ASPI Not Found!!"); with
# some, the main window or a box comes: the manager is bound either way.
poll 60 bash -c "xdotool search --onlyvisible --pid $program_pid --name '^(MESSAGE|QUORVEL)\$' >/dev/null 2>&1" ||
  fail "the installed program showed no window"
bound=$(mapped_managers "$program_pid")
[ "$bound" = "$manager" ] || fail "the installed program bound '$bound', not the installed manager $manager"
stop_program

# 3. The installed demo on the installed simulated machine.
simulated=$(readlink -f "$prefix/lib/quorvel/sim/libwnaspi32.so.1")
[ -f "$simulated" ] || fail "the simulated machine's manager was not installed"
flash_runpath=$(readelf -d "$prefix/bin/quorvel-flash" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]$/\1/p')
[ "$flash_runpath" = "$runpath" ] || fail "quorvel-flash's RUNPATH '$flash_runpath' is not the program's '$runpath'"
mkdir "$work/flash"
cp "$prefix/share/quorvel/demo/demo.machine" "$work/flash/"
listed=$(cd "$work/flash" && LD_LIBRARY_PATH=$(dirname "$simulated") QUORVEL_SIM_MACHINE=$work/flash/demo.machine \
  "$prefix/bin/quorvel-flash" list) || fail "the installed quorvel-flash did not list the drives"
[ "$listed" = $'0:1     QUORVEL  CDRW-4824A       1.10 ata\n1:0     QUORVEL  DVDRW-1612B      2.04 ata' ] ||
  fail "the installed quorvel-flash listed: $listed"
# The flash's process, installed beside the manager, binds it from there;
# the installed quorvel-flash finds it and writes a drive through it.
transfer_runpath=$(readelf -d "$prefix/lib/quorvel/quorvel-transfer" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]$/\1/p')
[ "$(readlink -f "$prefix/lib/quorvel/${transfer_runpath#\$ORIGIN/}/libwnaspi32.so.1")" = "$manager" ] ||
  fail "quorvel-transfer's RUNPATH '$transfer_runpath' does not lead to the installed manager"
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 48 --blocks 5 \
  "$work/flash/FW.BIN"
(cd "$work/flash" && LD_LIBRARY_PATH=$(dirname "$simulated") QUORVEL_SIM_MACHINE=$work/flash/demo.machine \
  XDG_STATE_HOME=$work/flash/state "$prefix/bin/quorvel-flash" write FW.BIN --drive 0:1 --yes) \
  >"$work/flash/write.log" 2>&1 || { cat "$work/flash/write.log" >&2; fail "the installed quorvel-flash did not write the drive"; }
grep -q 'parent=.* Download=5 .*Phase=final.* Status=0x01' "$work/flash/quorvel-sim.trace" ||
  fail "the installed quorvel-flash's flash did not reach the drive's final block"
QUORVEL_DEMO_DIR=$work/demo "$prefix/bin/quorvel-demo" >"$work/demo.log" 2>&1 &
demo_pid=$!
main=""
for _ in $(seq 1 600); do
  main=$(xdotool search --onlyvisible --name '^QUORVEL$' 2>/dev/null | head -n 1 || true)
  [ -n "$main" ] && break
  kill -0 "$demo_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$main" ] || { cat "$work/demo.log" >&2; fail "the installed demo showed no window"; }
quorvel_pid=$(xdotool getwindowpid "$main")
sleep 0.5
xdotool search --onlyvisible --name '^MESSAGE$' >/dev/null 2>&1 && fail "a message box came at start of the demo"
[ "$(mapped_managers "$quorvel_pid")" = "$simulated" ] || fail "the demo did not bind the installed simulated machine"
trace=$work/demo/quorvel-sim.trace
grep -q '^START .* adapters=2 status=0x01' "$trace" || fail "the simulated machine was not started: $(cat "$trace")"
for drive in "HaId=0 Flags=0x08 Target=1" "HaId=1 Flags=0x08 Target=0"; do
  grep -q "$drive .* In=36 Status=0x01" "$trace" || fail "discovery did not find the drive at $drive"
done
shot installed-demo-window 0.3
focus "$main"
keys alt+s
keys x
status=0
for _ in $(seq 1 300); do kill -0 "$demo_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$demo_pid" 2>/dev/null && fail "the demo did not end after Exit"
wait "$demo_pid" || status=$?
[ "$status" -eq 0 ] || { cat "$work/demo.log" >&2; fail "the demo ended with $status"; }
[ ! -s "$work/demo/bus/sim-bus.pid" ] || fail "the demo left its private bus running"

# 4. No window fonts: the font folder hidden in a mount namespace of its own.
fonts=/usr/share/wine/fonts
if [ -d "$fonts" ] && unshare --mount true 2>/dev/null; then
  mkdir "$work/no-fonts"
  cp "$prefix/share/quorvel/demo/demo.machine" "$work/run/"
  start_program "$work/run" "$work/no-fonts.log" "$work/run/demo.machine" unshare --mount \
    bash -c 'mount --bind "$1" "$2" && LD_LIBRARY_PATH=$3 exec "$4"' - \
    "$work/no-fonts" "$fonts" "$(dirname "$simulated")" "$prefix/bin/quorvel"
  plain=$(wait_window QUORVEL 60) || fail "without the window fonts, no window came"
  [ -z "$(ls "/proc/$program_pid/root$fonts")" ] || fail "the fonts were not hidden"
  shot installed-no-fonts 0.3
  focus "$plain"
  keys alt+s
  keys x
  finish 30 || fail "without the window fonts, Exit did not end the program"
  [ "$exit_code" -eq 0 ] || fail "without the window fonts, exit code $exit_code"
else
  echo "no mount namespace here: the run without the window fonts is left out"
fi
echo "install end to end: RUNPATH $runpath binds the installed manager; the installed demo lists both drives"
